// A descriptor that one thread makes readable to wake another's poll.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "os/linux/unique_fd.h"

namespace host {

inline os::UniqueFd MakeWakeFd() { return os::UniqueFd(::eventfd(0, EFD_CLOEXEC)); }

// Readable from now on: nobody reads it back.
inline void Wake(int fd) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

}  // namespace host
