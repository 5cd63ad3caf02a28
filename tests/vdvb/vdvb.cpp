/* Virtual DVB adapter for tests: a preload library that makes the demux
 * devices of adapter 0 play transport stream files, on a virtual clock.
 * The environment variables are described in README.md beside this file. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "demux/tsfilter.h"

namespace {

constexpr int VDVB_DEVICES = 16;
constexpr int VDVB_MAX_FD = 4096;
constexpr char VDVB_PREFIX[] = "/dev/dvb/adapter0/demux";

/* One open demux device: the stream file behind it and its filter. */
struct VdvbDevice {
  int index;
  int stream_fd;       /* the stream file; the device's own descriptor is on /dev/null */
  int silent;          /* opens, never delivers */
  int changing;        /* stamps a running number into every section */
  uint32_t stamp;
  uint32_t timeout_ms;
  uint64_t reads;
  TsFilter ts;
};

struct {
  VdvbDevice *open[VDVB_MAX_FD];
  int64_t clock_offset_ns;  /* added to CLOCK_MONOTONIC */
  int (*real_open)(const char *, int, ...);
  int (*real_openat)(int, const char *, int, ...);
  ssize_t (*real_read)(int, void *, size_t);
  int (*real_close)(int);
  int (*real_ioctl)(int, unsigned long, ...);
  int (*real_poll)(struct pollfd *, nfds_t, int);
  int (*real_clock_gettime)(clockid_t, struct timespec *);
} Vdvb;

template <typename T>
void VdvbResolve(T *slot, const char *name) {
  if (!*slot) *slot = (T)dlsym(RTLD_NEXT, name);
}

/* The C library's names of the calls as this build makes them: a 32-bit
 * target built with 64-bit file offsets and time (_FILE_OFFSET_BITS=64,
 * _TIME_BITS=64) calls open64, openat64, __ioctl_time64 and
 * __clock_gettime64, and the definitions below take those names too. */
#ifdef __USE_FILE_OFFSET64
constexpr char VDVB_OPEN[] = "open64", VDVB_OPENAT[] = "openat64";
#else
constexpr char VDVB_OPEN[] = "open", VDVB_OPENAT[] = "openat";
#endif
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
constexpr char VDVB_IOCTL[] = "__ioctl_time64", VDVB_CLOCK_GETTIME[] = "__clock_gettime64";
#else
constexpr char VDVB_IOCTL[] = "ioctl", VDVB_CLOCK_GETTIME[] = "clock_gettime";
#endif

void VdvbResolveAll(void) {
  VdvbResolve(&Vdvb.real_open, VDVB_OPEN);
  VdvbResolve(&Vdvb.real_openat, VDVB_OPENAT);
  VdvbResolve(&Vdvb.real_read, "read");
  VdvbResolve(&Vdvb.real_close, "close");
  VdvbResolve(&Vdvb.real_ioctl, VDVB_IOCTL);
  VdvbResolve(&Vdvb.real_poll, "poll");
  VdvbResolve(&Vdvb.real_clock_gettime, VDVB_CLOCK_GETTIME);
}

/* Appends one line to the file named by VDVB_TRACE, if any. */
void VdvbTrace(const char *format, ...) __attribute__((format(printf, 1, 2)));
void VdvbTrace(const char *format, ...) {
  const char *path = getenv("VDVB_TRACE");
  if (!path || !*path) return;
  char line[512];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof(line) - 1, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > (int)sizeof(line) - 2) n = (int)sizeof(line) - 2;
  line[n++] = '\n';
  int fd = Vdvb.real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line, (size_t)n) != n) {
  }
  Vdvb.real_close(fd);
}

/* The value of "<name><index>", or of "<name>" when index < 0. */
const char *VdvbEnv(const char *name, int index) {
  if (index < 0) return getenv(name);
  char key[64];
  snprintf(key, sizeof(key), "%s%d", name, index);
  return getenv(key);
}

int VdvbEnvFlag(const char *name, int index) {
  const char *v = VdvbEnv(name, index);
  return v && *v && strcmp(v, "0") != 0;
}

/* True when "count" is one of the comma-separated numbers in "name". */
int VdvbEnvListHas(const char *name, uint64_t count) {
  const char *v = getenv(name);
  while (v && *v) {
    char *end;
    unsigned long long n = strtoull(v, &end, 10);
    if (end == v) return 0;
    if (n == count) return 1;
    v = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end) return 0;
  }
  return 0;
}

void VdvbAdvanceMs(uint64_t ms) { Vdvb.clock_offset_ns += (int64_t)ms * 1000000; }

/* The device index of a demux path of adapter 0, or -1 for any other path. */
int VdvbDeviceIndex(const char *path) {
  size_t n = sizeof(VDVB_PREFIX) - 1;
  if (!path || strncmp(path, VDVB_PREFIX, n) != 0) return -1;
  const char *digits = path + n;
  char *end;
  long index = strtol(digits, &end, 10);
  if (end == digits || *end || index < 0 || index >= VDVB_DEVICES) return -1;
  if (digits[0] == '0' && digits[1]) return -1; /* "demux01" is no device name */
  return (int)index;
}

/* Opens virtual device "index". Returns the descriptor, or -1 with errno. */
int VdvbOpenDevice(int index, int flags) {
  const char *stream = VdvbEnv("VDVB_DEMUX", index);
  int silent = VdvbEnvFlag("VDVB_SILENT", index);
  if ((!stream || !*stream) && !silent) {
    VdvbTrace("missing %d", index);
    errno = ENOENT;
    return -1;
  }
  if ((flags & O_ACCMODE) != O_RDWR || (flags & (O_CREAT | O_TRUNC | O_APPEND))) {
    VdvbTrace("refused %d open flags=0x%X", index, (unsigned)flags);
    errno = EINVAL;
    return -1;
  }
  /* The stream is read through its own descriptor, which this library
   * passes to the real read; the program gets another one as the device. */
  int stream_fd = Vdvb.real_open(stream && *stream ? stream : "/dev/null", O_RDONLY | O_CLOEXEC);
  if (stream_fd < 0) {
    VdvbTrace("unreadable %d %s", index, stream ? stream : "");
    errno = ENOENT;
    return -1;
  }
  int fd = Vdvb.real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0 || fd >= VDVB_MAX_FD) {
    if (fd >= 0) Vdvb.real_close(fd);
    Vdvb.real_close(stream_fd);
    errno = EMFILE;
    return -1;
  }
  VdvbDevice *d = new VdvbDevice();
  d->index = index;
  d->stream_fd = stream_fd;
  d->silent = silent;
  d->changing = VdvbEnvFlag("VDVB_CHANGING", index);
  d->stamp = 0;
  d->timeout_ms = 0;
  d->reads = 0;
  TsFilterReset(&d->ts);
  Vdvb.open[fd] = d;
  VdvbTrace("open %d", index);
  return fd;
}

VdvbDevice *VdvbFind(int fd) { return fd >= 0 && fd < VDVB_MAX_FD ? Vdvb.open[fd] : nullptr; }

int VdvbOpenPath(const char *path, int flags, mode_t mode, int dirfd, int at) {
  VdvbResolveAll();
  int index = VdvbDeviceIndex(path);
  if (index >= 0) return VdvbOpenDevice(index, flags);
  if (path && strncmp(path, "/dev/dvb/", 9) == 0) {
    VdvbTrace("missing %s", path);
    errno = ENOENT;
    return -1;
  }
  return at ? Vdvb.real_openat(dirfd, path, flags, mode) : Vdvb.real_open(path, flags, mode);
}

mode_t VdvbMode(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

/* The bytes that pass in "ms" milliseconds at VDVB_BITRATE (0: unlimited). */
uint64_t VdvbBudget(uint32_t ms) {
  const char *v = getenv("VDVB_BITRATE");
  uint64_t bitrate = v ? strtoull(v, nullptr, 10) : 0;
  if (bitrate == 0) return 0;
  uint64_t bytes = (uint64_t)ms * bitrate / 8000;
  return bytes ? bytes : 1;
}

/* Advances the clock by the transmission time of "bytes" at VDVB_BITRATE. */
uint64_t VdvbSpendBytes(uint64_t bytes) {
  const char *v = getenv("VDVB_BITRATE");
  uint64_t bitrate = v ? strtoull(v, nullptr, 10) : 0;
  if (bitrate == 0) return 0;
  uint64_t ms = bytes * 8000 / bitrate;
  VdvbAdvanceMs(ms);
  return ms;
}

ssize_t VdvbRead(VdvbDevice *d, void *buf, size_t size) {
  d->reads++;
  if (VdvbEnvListHas("VDVB_OVERFLOW_AT", d->reads)) {
    VdvbTrace("overflow %d read=%llu", d->index, (unsigned long long)d->reads);
    errno = EOVERFLOW;
    return -1;
  }
  if (VdvbEnvListHas("VDVB_FAIL_AT", d->reads)) {
    VdvbTrace("fail %d read=%llu", d->index, (unsigned long long)d->reads);
    errno = EIO;
    return -1;
  }
  if (d->silent) {
    /* A real driver would block here for ever; the caller should have
     * bounded its wait with poll. */
    VdvbTrace("blocked %d", d->index);
    VdvbAdvanceMs(3600u * 1000u);
    errno = EINTR;
    return -1;
  }
  if (!d->ts.running) {
    VdvbTrace("refused %d read without filter", d->index);
    errno = EINVAL;
    return -1;
  }
  uint64_t fed = 0;
  int played = TsFilterPlayFile(&d->ts, d->stream_fd, VdvbBudget(d->timeout_ms), &fed);
  uint64_t spent = VdvbSpendBytes(fed);
  if (played == TS_PLAY_SECTION) {
    int n = TsFilterTake(&d->ts, (uint8_t *)buf, size > TS_SECTION_MAX ? TS_SECTION_MAX : (int)size);
    if (d->changing && n >= 7) {
      uint8_t *s = (uint8_t *)buf;
      d->stamp++;
      for (int k = 0; k < 4; k++) s[n - 4 + k] = (uint8_t)(d->stamp >> (24 - 8 * k));
    }
    return n;
  }
  if (played == TS_PLAY_ERROR) {
    errno = EIO;
    return -1;
  }
  /* No matching section within a lap of the stream or within the time the
   * bit rate allows: the filter's timeout passes in virtual time. */
  if (spent < d->timeout_ms) VdvbAdvanceMs(d->timeout_ms - spent);
  VdvbTrace("timeout %d %u", d->index, d->timeout_ms);
  errno = ETIMEDOUT;
  return -1;
}

int VdvbSetFilter(VdvbDevice *d, const struct dmx_sct_filter_params *p) {
  if (p->flags != DMX_IMMEDIATE_START || p->pid > 0x1FFF) {
    VdvbTrace("refused %d DMX_SET_FILTER pid=0x%X flags=0x%X", d->index, p->pid, p->flags);
    errno = EINVAL;
    return -1;
  }
  TsFilterSet(&d->ts, p->pid, p->filter.filter, p->filter.mask, p->filter.mode, DMX_FILTER_SIZE);
  d->timeout_ms = p->timeout;
  VdvbTrace("filter %d pid=0x%X filter=%02X.%02X mask=%02X.%02X timeout=%u", d->index, p->pid,
            p->filter.filter[0], p->filter.filter[1], p->filter.mask[0], p->filter.mask[1],
            p->timeout);
  return 0;
}

int VdvbIoctl(VdvbDevice *d, unsigned long request, void *arg) {
  if (request == DMX_SET_BUFFER_SIZE) {
    if (VdvbEnvFlag("VDVB_REFUSE_BUFFER", -1)) {
      VdvbTrace("refused %d DMX_SET_BUFFER_SIZE %lu", d->index, (unsigned long)arg);
      errno = EINVAL;
      return -1;
    }
    VdvbTrace("buffer %d %lu", d->index, (unsigned long)arg);
    return 0;
  }
  if (request == DMX_SET_FILTER) return VdvbSetFilter(d, (const struct dmx_sct_filter_params *)arg);
  if (request == DMX_STOP) {
    TsFilterStop(&d->ts);
    VdvbTrace("stop %d", d->index);
    return 0;
  }
  VdvbTrace("refused %d ioctl 0x%lX", d->index, request);
  errno = ENOTTY;
  return -1;
}

}  // namespace

/* Only the interposed calls leave the library; the section filter inside
 * stays private so it never stands in for the program's own copy. */
#define VDVB_EXPORT __attribute__((visibility("default")))

extern "C" {

VDVB_EXPORT int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = VdvbMode(flags, ap);
  va_end(ap);
  return VdvbOpenPath(path, flags, mode, AT_FDCWD, 0);
}

VDVB_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = VdvbMode(flags, ap);
  va_end(ap);
  return VdvbOpenPath(path, flags, mode, dirfd, 1);
}

VDVB_EXPORT int __open_2(const char *path, int flags) { return VdvbOpenPath(path, flags, 0, AT_FDCWD, 0); }
/* The 64-bit names are the same calls; with 64-bit file offsets open and
 * openat above already carry them. */
#ifndef __USE_FILE_OFFSET64
VDVB_EXPORT int open64(const char *path, int flags, ...) __attribute__((alias("open")));
VDVB_EXPORT int openat64(int dirfd, const char *path, int flags, ...) __attribute__((alias("openat")));
#endif
VDVB_EXPORT int __open64_2(const char *path, int flags) __attribute__((alias("__open_2")));

VDVB_EXPORT ssize_t read(int fd, void *buf, size_t size) {
  VdvbResolveAll();
  VdvbDevice *d = VdvbFind(fd);
  return d ? VdvbRead(d, buf, size) : Vdvb.real_read(fd, buf, size);
}

VDVB_EXPORT ssize_t __read_chk(int fd, void *buf, size_t size, size_t buflen) {
  if (size > buflen) abort();
  return read(fd, buf, size);
}

VDVB_EXPORT int close(int fd) {
  VdvbResolveAll();
  VdvbDevice *d = VdvbFind(fd);
  if (d) {
    VdvbTrace("close %d", d->index);
    Vdvb.real_close(d->stream_fd);
    delete d;
    Vdvb.open[fd] = nullptr;
  }
  return Vdvb.real_close(fd);
}

VDVB_EXPORT int ioctl(int fd, unsigned long request, ...) {
  VdvbResolveAll();
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  VdvbDevice *d = VdvbFind(fd);
  return d ? VdvbIoctl(d, request, arg) : Vdvb.real_ioctl(fd, request, arg);
}

VDVB_EXPORT int poll(struct pollfd *fds, nfds_t count, int timeout) {
  VdvbResolveAll();
  int virtual_fds = 0, ready = 0;
  for (nfds_t i = 0; i < count; i++) {
    VdvbDevice *d = VdvbFind(fds[i].fd);
    if (!d) continue;
    virtual_fds++;
    /* A device that delivers answers its read at once (the read itself
     * runs the virtual timeout); a silent one is never ready. */
    fds[i].revents = d->silent ? 0 : (short)(fds[i].events & (POLLIN | POLLPRI));
    if (fds[i].revents) ready++;
  }
  if (virtual_fds == 0) return Vdvb.real_poll(fds, count, timeout);
  if (virtual_fds < (int)count) {
    /* Real descriptors alongside: look at them without waiting. */
    for (nfds_t i = 0; i < count; i++) {
      if (VdvbFind(fds[i].fd)) continue;
      struct pollfd one = fds[i];
      if (Vdvb.real_poll(&one, 1, 0) > 0) ready++;
      fds[i].revents = one.revents;
    }
  }
  if (ready == 0 && timeout > 0) {
    VdvbAdvanceMs((uint64_t)timeout);
    VdvbTrace("poll-timeout %d", timeout);
  }
  return ready;
}

VDVB_EXPORT int clock_gettime(clockid_t clock, struct timespec *ts) {
  VdvbResolveAll();
  int r = Vdvb.real_clock_gettime(clock, ts);
  if (r != 0 || (clock != CLOCK_MONOTONIC && clock != CLOCK_MONOTONIC_COARSE &&
                 clock != CLOCK_MONOTONIC_RAW && clock != CLOCK_BOOTTIME))
    return r;
  int64_t ns = (int64_t)ts->tv_nsec + Vdvb.clock_offset_ns % 1000000000;
  ts->tv_sec += Vdvb.clock_offset_ns / 1000000000 + ns / 1000000000;
  ts->tv_nsec = ns % 1000000000;
  return r;
}

}  // extern "C"
