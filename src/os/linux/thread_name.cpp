#include "os/thread_name.h"

#include <pthread.h>

namespace os {

void NameCurrentThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

}  // namespace os
