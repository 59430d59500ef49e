#include "os/directory_ops.h"

#include <sys/stat.h>

#include <cerrno>

#include "os/last_error.h"
#include "os/text.h"

namespace os {

BOOL CreateDirectory(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  if (::mkdir(bytes.c_str(), 0777) == 0) return TRUE;
  ErrorFromErrno(errno, bytes, ErrnoContext::kCreateDirectory);
  return FALSE;
}

}  // namespace os
