#include "os/trace_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace os {
namespace {

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

TraceSink SinkFromEnvironment() {
  const char* target = std::getenv("STRANDEL_TRACE");
  if (target == nullptr || *target == '\0') return {};
  if (std::strcmp(target, "stderr") == 0) {
    return [](std::string_view message) { WriteAll(STDERR_FILENO, message); };
  }
  const int fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  return [fd](std::string_view message) { WriteAll(fd, message); };
}

}  // namespace os
