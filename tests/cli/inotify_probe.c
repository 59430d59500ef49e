// Preloaded into a strandel process by the CLI tests: the first inotify
// instance the process makes creates the file $STRANDEL_TEST_INOTIFY_MARK, and
// its first watch $STRANDEL_TEST_INOTIFY_WATCH_MARK, so a test can tell whether
// a command started the module, and whether it watched anything.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

static void MarkAt(const char* variable) {
  const char* mark = getenv(variable);
  if (mark == NULL) return;
  const int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

static void Mark(void) { MarkAt("STRANDEL_TEST_INOTIFY_MARK"); }

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

int inotify_add_watch(int fd, const char* path, uint32_t mask) {
  MarkAt("STRANDEL_TEST_INOTIFY_WATCH_MARK");
  int (*real)(int, const char*, uint32_t) =
      (int (*)(int, const char*, uint32_t))dlsym(RTLD_NEXT, "inotify_add_watch");
  return real(fd, path, mask);
}
