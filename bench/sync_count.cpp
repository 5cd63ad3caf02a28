/* Counts the durable flushes a program asks for: loaded with LD_PRELOAD, it
   passes fsync, fdatasync, syncfs and sync on and notes each in a file. */
/* The file BENCH_SYNC_COUNT names is created empty when the program starts
   and gets one line per flush, written at once (a program that ends with
   _exit or a signal keeps its count): "fsync 3" is the third fsync. A
   missing file means the counter was not loaded. */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

int g_calls = 0;

void SyncNote(const char *what) {
  const char *path = getenv("BENCH_SYNC_COUNT");
  if (!path || !*path) return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[64];
  int n = snprintf(line, sizeof(line), "%s %d\n", what, ++g_calls);
  if (n > 0 && write(fd, line, (size_t)n) != n) {
    /* A count that cannot be noted shows as a short file; the flush goes on. */
  }
  close(fd);
}

template <typename F>
F SyncReal(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void SyncStart() {
  const char *path = getenv("BENCH_SYNC_COUNT");
  if (!path || !*path) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = SyncReal<int (*)(int)>("fsync");
  SyncNote("fsync");
  return real(fd);
}

extern "C" int fdatasync(int fd) {
  static auto real = SyncReal<int (*)(int)>("fdatasync");
  SyncNote("fdatasync");
  return real(fd);
}

extern "C" int syncfs(int fd) {
  static auto real = SyncReal<int (*)(int)>("syncfs");
  SyncNote("syncfs");
  return real(fd);
}

extern "C" void sync(void) {
  static auto real = SyncReal<void (*)(void)>("sync");
  SyncNote("sync");
  real();
}
