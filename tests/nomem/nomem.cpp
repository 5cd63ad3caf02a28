/* Allocation failure on demand: a preload library that counts the heap
 * allocations of a program (the malloc family and C++ operator new) and makes
 * the Nth one fail, as a receiver that runs out of memory would. Everything
 * else goes to the allocator behind it (the C library's, or a sanitizer's). */
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>

namespace {

typedef void *(*MallocFn)(size_t);
typedef void *(*CallocFn)(size_t, size_t);
typedef void *(*ReallocFn)(void *, size_t);
typedef void (*FreeFn)(void *);
typedef int (*MemalignFn)(void **, size_t, size_t);

struct {
  MallocFn malloc;
  CallocFn calloc;
  ReallocFn realloc;
  FreeFn free;
  MemalignFn posix_memalign;
  int resolving;       /* inside dlsym: allocations come from "bootstrap" */
  int counting;        /* set once the program's own start-up begins */
  int busy;            /* inside our own reporting: not counted, never failed */
  uint64_t count;      /* allocations counted so far */
  uint64_t fail_at;    /* 0: none */
  uint64_t fail_from;  /* 0: none */
  uint64_t failed;     /* allocations refused */
  int trace;
  char count_path[512];
  alignas(16) unsigned char bootstrap[8192];
  size_t bootstrap_used;
} Nomem;

/* Memory for the allocations dlsym makes while the real functions are
 * looked up; never freed. */
void *NomemBootstrap(size_t size) {
  size = (size + 15) & ~(size_t)15;
  if (Nomem.bootstrap_used + size > sizeof(Nomem.bootstrap)) return nullptr;
  void *p = Nomem.bootstrap + Nomem.bootstrap_used;
  Nomem.bootstrap_used += size;
  memset(p, 0, size);
  return p;
}

int NomemIsBootstrap(const void *p) {
  return (const unsigned char *)p >= Nomem.bootstrap &&
         (const unsigned char *)p < Nomem.bootstrap + sizeof(Nomem.bootstrap);
}

void NomemResolve(void) {
  if (Nomem.malloc || Nomem.resolving) return;
  Nomem.resolving = 1;
  Nomem.malloc = (MallocFn)dlsym(RTLD_NEXT, "malloc");
  Nomem.calloc = (CallocFn)dlsym(RTLD_NEXT, "calloc");
  Nomem.realloc = (ReallocFn)dlsym(RTLD_NEXT, "realloc");
  Nomem.free = (FreeFn)dlsym(RTLD_NEXT, "free");
  Nomem.posix_memalign = (MemalignFn)dlsym(RTLD_NEXT, "posix_memalign");
  Nomem.resolving = 0;
}

uint64_t NomemNumber(const char *name) {
  const char *v = getenv(name);
  return v ? strtoull(v, nullptr, 10) : 0;
}

/* Writes the stack of the refused allocation to standard error (NOMEM_TRACE). */
void NomemTrace(uint64_t n) {
  Nomem.busy = 1;
  char line[64];
  int len = snprintf(line, sizeof line, "nomem: allocation %llu refused\n", (unsigned long long)n);
  if (write(2, line, (size_t)len) < 0) {
  }
  void *frames[48];
  int depth = backtrace(frames, 48);
  backtrace_symbols_fd(frames, depth, 2);
  Nomem.busy = 0;
}

/* Counts one allocation. Returns 1 when it is to fail. */
int NomemRefuse(void) {
  if (!Nomem.counting || Nomem.busy) return 0;
  uint64_t n = ++Nomem.count;
  int refuse = n == Nomem.fail_at || (Nomem.fail_from && n >= Nomem.fail_from);
  if (!refuse) return 0;
  Nomem.failed++;
  if (Nomem.trace) NomemTrace(n);
  errno = ENOMEM;
  return 1;
}

void *NomemAllocate(size_t size) {
  if (Nomem.resolving) return NomemBootstrap(size);
  NomemResolve();
  if (NomemRefuse()) return nullptr;
  return Nomem.malloc(size);
}

void NomemRelease(void *p) {
  if (!p || NomemIsBootstrap(p)) return;
  NomemResolve();
  Nomem.free(p);
}

void *NomemAligned(size_t alignment, size_t size) {
  NomemResolve();
  if (NomemRefuse()) return nullptr;
  void *p = nullptr;
  if (Nomem.posix_memalign(&p, alignment < sizeof(void *) ? sizeof(void *) : alignment, size) != 0)
    return nullptr;
  return p;
}

/* The throwing forms of operator new fail as the standard says. */
void *NomemNew(size_t size) {
  void *p = NomemAllocate(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void *NomemNewAligned(size_t size, std::align_val_t alignment) {
  void *p = NomemAligned((size_t)alignment, size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

/* NOMEM_COUNT: the number of allocations the run made, for a sweep to know
 * how far it goes. */
__attribute__((destructor)) void NomemEnd(void) {
  if (!Nomem.count_path[0]) return;
  Nomem.busy = 1;
  int fd = open(Nomem.count_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[96];
  int len = snprintf(line, sizeof line, "%llu %llu\n", (unsigned long long)Nomem.count,
                     (unsigned long long)Nomem.failed);
  if (write(fd, line, (size_t)len) < 0) {
  }
  close(fd);
}

/* Counting starts here, after the dynamic loader and the libraries the
 * program needs have started: what is counted is the program's own work.
 * The C library's time zone is loaded first, uncounted: a lack of memory
 * there gives no sign (the process silently keeps UTC), so no program could
 * take a failure path for it. */
__attribute__((constructor)) void NomemStart(void) {
  NomemResolve();
  tzset();
  Nomem.fail_at = NomemNumber("NOMEM_FAIL_AT");
  Nomem.fail_from = NomemNumber("NOMEM_FAIL_FROM");
  Nomem.trace = NomemNumber("NOMEM_TRACE") != 0;
  const char *path = getenv("NOMEM_COUNT");
  if (path) snprintf(Nomem.count_path, sizeof Nomem.count_path, "%s", path);
  Nomem.counting = 1;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void *malloc(size_t size) { return NomemAllocate(size); }

__attribute__((visibility("default"))) void free(void *p) { NomemRelease(p); }

__attribute__((visibility("default"))) void *calloc(size_t n, size_t size) {
  if (Nomem.resolving) return NomemBootstrap(n * size);
  NomemResolve();
  if (NomemRefuse()) return nullptr;
  return Nomem.calloc(n, size);
}

__attribute__((visibility("default"))) void *realloc(void *p, size_t size) {
  if (NomemIsBootstrap(p)) {
    void *q = NomemAllocate(size);
    size_t held = (size_t)(Nomem.bootstrap + sizeof(Nomem.bootstrap) - (unsigned char *)p);
    if (q) memcpy(q, p, size < held ? size : held);
    return q;
  }
  NomemResolve();
  if (size > 0 && NomemRefuse()) return nullptr; /* "p" stays as it was */
  return Nomem.realloc(p, size);
}

__attribute__((visibility("default"))) void *reallocarray(void *p, size_t n, size_t size) {
  if (size && n > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(p, n * size);
}

__attribute__((visibility("default"))) int posix_memalign(void **out, size_t alignment,
                                                          size_t size) {
  void *p = NomemAligned(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

__attribute__((visibility("default"))) void *aligned_alloc(size_t alignment, size_t size) {
  return NomemAligned(alignment, size);
}

__attribute__((visibility("default"))) void *memalign(size_t alignment, size_t size) {
  return NomemAligned(alignment, size);
}

__attribute__((visibility("default"))) char *strdup(const char *s) {
  size_t n = strlen(s) + 1;
  char *p = (char *)NomemAllocate(n);
  if (p) memcpy(p, s, n);
  return p;
}

__attribute__((visibility("default"))) char *strndup(const char *s, size_t most) {
  size_t n = strnlen(s, most);
  char *p = (char *)NomemAllocate(n + 1);
  if (!p) return nullptr;
  memcpy(p, s, n);
  p[n] = 0;
  return p;
}

}  // extern "C"

/* C++ allocation: a sanitizer runtime brings operators of its own that do
 * not go through malloc, so every form is defined here and routed through
 * the functions above. */
__attribute__((visibility("default"))) void *operator new(size_t size) { return NomemNew(size); }
__attribute__((visibility("default"))) void *operator new[](size_t size) { return NomemNew(size); }
__attribute__((visibility("default"))) void *operator new(size_t size,
                                                          const std::nothrow_t &) noexcept {
  return NomemAllocate(size ? size : 1);
}
__attribute__((visibility("default"))) void *operator new[](size_t size,
                                                            const std::nothrow_t &) noexcept {
  return NomemAllocate(size ? size : 1);
}
__attribute__((visibility("default"))) void *operator new(size_t size, std::align_val_t a) {
  return NomemNewAligned(size, a);
}
__attribute__((visibility("default"))) void *operator new[](size_t size, std::align_val_t a) {
  return NomemNewAligned(size, a);
}
__attribute__((visibility("default"))) void *operator new(size_t size, std::align_val_t a,
                                                          const std::nothrow_t &) noexcept {
  return NomemAligned((size_t)a, size ? size : 1);
}
__attribute__((visibility("default"))) void *operator new[](size_t size, std::align_val_t a,
                                                            const std::nothrow_t &) noexcept {
  return NomemAligned((size_t)a, size ? size : 1);
}
__attribute__((visibility("default"))) void operator delete(void *p) noexcept { NomemRelease(p); }
__attribute__((visibility("default"))) void operator delete[](void *p) noexcept { NomemRelease(p); }
__attribute__((visibility("default"))) void operator delete(void *p, size_t) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete[](void *p, size_t) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete(void *p,
                                                            const std::nothrow_t &) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete[](void *p,
                                                              const std::nothrow_t &) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete(void *p, std::align_val_t) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete[](void *p, std::align_val_t) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete(void *p, size_t,
                                                            std::align_val_t) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete[](void *p, size_t,
                                                              std::align_val_t) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete(void *p, std::align_val_t,
                                                            const std::nothrow_t &) noexcept {
  NomemRelease(p);
}
__attribute__((visibility("default"))) void operator delete[](void *p, std::align_val_t,
                                                              const std::nothrow_t &) noexcept {
  NomemRelease(p);
}
