// Preloaded into a strandel process by the CLI tests: the first inotify
// instance the process makes creates the file $STRANDEL_TEST_INOTIFY_MARK, so
// a test can tell whether a command started watching.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

static void Mark(void) {
  const char* mark = getenv("STRANDEL_TEST_INOTIFY_MARK");
  if (mark == NULL) return;
  const int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

int inotify_init(void) {
  Mark();
  int (*real)(void) = (int (*)(void))dlsym(RTLD_NEXT, "inotify_init");
  return real();
}

int inotify_init1(int flags) {
  Mark();
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "inotify_init1");
  return real(flags);
}
