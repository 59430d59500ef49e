// Names for the module's threads, as `top -H`, `ps -L` and debuggers show them
// (/proc/<pid>/task/<tid>/comm). Thread-safe.
#pragma once

namespace os {

// Names the calling thread. At most 15 bytes: the kernel refuses longer names.
void NameCurrentThread(const char* name);

}  // namespace os
