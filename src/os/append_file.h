// Appending whole records to a text file that several threads and processes
// share: each record is one write on an O_APPEND descriptor, so records never
// interleave. A file created here gets mode 0600; a symbolic link at the
// path is refused (kCannotOpen), never followed.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace os {

enum class AppendResult { kWritten, kCannotOpen, kWriteFailed };

AppendResult AppendToFile(const std::string& path, std::string_view record);

}  // namespace os
