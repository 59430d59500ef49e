// File attributes in the Windows shape the engine tests: directory from the
// file type; read-only when the owner write bit is clear; hidden when the name
// begins with "."; system for lost+found at the root of a volume.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "strandel/strandel.h"

// The Windows values, under the names Windows gives them; there they come
// from <windows.h>.
#ifndef _WIN32
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
#endif

namespace os {

// INVALID_FILE_ATTRIBUTES (last error set) when nothing is at path. A link is
// described as itself, never followed.
DWORD GetFileAttributes(const std::wstring& path);

// The same from an entry's mode and name, and the directory that holds it.
DWORD AttributesOf(uint32_t mode, const std::string& name, int parent_fd);

}  // namespace os
