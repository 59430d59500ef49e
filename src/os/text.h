// Text at the kernel boundary. On Linux file names are bytes and the module
// speaks std::wstring (one code point per wchar_t); the conversion is
// lossless: a byte that is not part of valid UTF-8 becomes U+DC80..U+DCFF and
// turns back into the same byte, so any file name survives the round trip.
// On Windows names are UTF-16 and std::wstring holds them as they are; the
// byte form is UTF-8 in which a lone surrogate keeps its three-byte form, so
// any name survives there too.
// Pure functions; safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace os {

// Separator between directory levels in every path the module forms.
#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
inline constexpr char kPathSeparatorA = '\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
inline constexpr char kPathSeparatorA = '/';
#endif

std::wstring FromUtf8(std::string_view bytes);
std::string ToUtf8(std::wstring_view text);

// The lower-case form of one character, the same whatever the process's
// locale; characters without one are returned as they are.
wchar_t LowerCase(wchar_t ch);

}  // namespace os
