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

#include <iterator>

#include "demux/tsfilter.h"

namespace {

constexpr int VDVB_DEVICES = 16;
constexpr int VDVB_MAX_FD = 4096;
constexpr int VDVB_MAX_USERS = 64;
constexpr uint64_t VDVB_KERNEL_BUFFER = 8192; /* a demux filter's queue until DMX_SET_BUFFER_SIZE */
constexpr int64_t VDVB_BLOCK_NS = 3600ll * 1000000000ll; /* "for ever", on the virtual clock */
constexpr char VDVB_PREFIX[] = "/dev/dvb/adapter0/demux";

struct VdvbMux;

/* One open descriptor of a demux device: its filter and its queue. */
struct VdvbDevice {
  int index;
  int stream_fd;       /* without a bit rate: its own copy of the stream file */
  int silent;          /* opens, never delivers */
  int changing;        /* stamps a running number into every section */
  uint32_t stamp;
  uint32_t timeout_ms;
  uint64_t reads;
  TsFilter ts;         /* the filter; ts.ready is the queue of sections */
  VdvbMux *mux;        /* with a bit rate: the device's one stream */
  uint64_t buffer_size;/* the queue's size in bytes */
  uint64_t queued;     /* bytes of the sections in the queue */
  int error;           /* what the next read reports first: ETIMEDOUT, EOVERFLOW or 0 */
  int64_t deadline_ns; /* stream time at which a wait without a section times out */
  int stalled;         /* VDVB_STALL has held this descriptor once */
};

/* With VDVB_BITRATE, the stream of one device: it passes once, in virtual
 * time, for every descriptor open on the device. */
struct VdvbMux {
  int index;
  int stream_fd;
  uint64_t size;       /* bytes of the stream file (0: nothing ever comes) */
  uint64_t bitrate;
  int64_t start_ns;    /* the virtual clock when the device was first opened */
  uint64_t passed;     /* bytes of the stream passed since then */
  uint8_t chunk[TS_PLAY_CHUNK];
  size_t chunk_len, chunk_at;
  TsFilter align;      /* no filter: the packet alignment a descriptor opened late takes over */
  VdvbDevice *users[VDVB_MAX_USERS];
  int user_count;
};

struct {
  VdvbDevice *open[VDVB_MAX_FD];
  VdvbMux *mux[VDVB_DEVICES];
  int open_count[VDVB_DEVICES];
  int any_opened;
  int64_t first_open_ns;    /* the virtual clock at the first open of any device */
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

/* VDVB_BITRATE in bit/s; 0 when unset: the stream passes in no time. */
uint64_t VdvbBitrate(void) {
  const char *v = getenv("VDVB_BITRATE");
  return v ? strtoull(v, nullptr, 10) : 0;
}

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

/* ---- One multiplex per device (VDVB_BITRATE) ---- */

/* "a" times "b" divided by "c" (not 0), rounded down and kept to 64 bits,
 * as exact 128-bit arithmetic gives it; 32-bit targets have no 128-bit
 * integers, so the product is formed in two halves and divided bit by bit. */
uint64_t VdvbMulDiv(uint64_t a, uint64_t b, uint64_t c) {
  uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  uint64_t cross = (a_lo * b_lo >> 32) + (a_hi * b_lo & 0xFFFFFFFFu) + (a_lo * b_hi & 0xFFFFFFFFu);
  uint64_t lo = (a_lo * b_lo & 0xFFFFFFFFu) | cross << 32;
  uint64_t hi = a_hi * b_hi + (a_hi * b_lo >> 32) + (a_lo * b_hi >> 32) + (cross >> 32);
  uint64_t quotient = 0, rest = 0;
  for (int i = 127; i >= 0; i--) {
    uint64_t carry = rest >> 63;
    rest = rest << 1 | ((i >= 64 ? hi >> (i - 64) : lo >> i) & 1);
    if (carry || rest >= c) {
      rest -= c;
      if (i < 64) quotient |= (uint64_t)1 << i;
    }
  }
  return quotient;
}

/* The virtual clock value at which the first "bytes" of the stream of "m" have passed. */
int64_t VdvbMuxTime(const VdvbMux *m, uint64_t bytes) {
  return m->start_ns + (int64_t)VdvbMulDiv(bytes, 8000000000u, m->bitrate);
}

int64_t VdvbMuxNow(const VdvbMux *m) { return VdvbMuxTime(m, m->passed); }

/* The mux of device "index", made at its first open from "stream". Returns
 * null when the stream cannot be read. */
VdvbMux *VdvbMuxFor(int index, const char *stream, uint64_t bitrate) {
  if (Vdvb.mux[index]) return Vdvb.mux[index];
  int fd = Vdvb.real_open(stream, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  VdvbMux *m = new VdvbMux();
  m->index = index;
  m->stream_fd = fd;
  off_t size = lseek(fd, 0, SEEK_END);
  m->size = size > 0 ? (uint64_t)size : 0;
  lseek(fd, 0, SEEK_SET);
  m->bitrate = bitrate;
  m->start_ns = Vdvb.clock_offset_ns;
  TsFilterReset(&m->align);
  Vdvb.mux[index] = m;
  return m;
}

/* Queues what the filter of "d" cuts from "length" stream bytes, as a
 * kernel demux does: a section that does not fit the rest of the queue (or
 * that the filter found no memory for) is dropped and the next read reports
 * the overflow; while an error waits, every new section is dropped. Without
 * a filter the bytes only keep the descriptor's packet alignment. */
void VdvbDeliver(VdvbDevice *d, const uint8_t *bytes, size_t length) {
  size_t before = d->ts.ready.size();
  TsFilterFeed(&d->ts, bytes, length);
  if (TsFilterTakeLost(&d->ts) && d->error == 0) d->error = EOVERFLOW;
  auto section = std::next(d->ts.ready.begin(), (long)before);
  while (section != d->ts.ready.end()) {
    if (d->error == 0 && d->queued + section->size() <= d->buffer_size) {
      d->queued += section->size();
      ++section;
      continue;
    }
    if (d->error == 0) d->error = EOVERFLOW;
    section = d->ts.ready.erase(section);
  }
}

/* Starts the stream of "m" again from the file's start: a discontinuity. */
void VdvbMuxRewind(VdvbMux *m) {
  lseek(m->stream_fd, 0, SEEK_SET);
  m->chunk_len = m->chunk_at = 0;
  TsFilterDiscontinuity(&m->align);
  for (int i = 0; i < m->user_count; i++) TsFilterDiscontinuity(&m->users[i]->ts);
}

/* Lets "want" bytes of the stream pass every descriptor on "m". */
void VdvbMuxPass(VdvbMux *m, uint64_t want) {
  while (want > 0) {
    if (m->size == 0) { /* nothing on air: only time passes */
      m->passed += want;
      return;
    }
    if (m->chunk_at == m->chunk_len) {
      ssize_t n = Vdvb.real_read(m->stream_fd, m->chunk, sizeof(m->chunk));
      /* An unreadable or emptied file: from now on nothing comes. */
      if (n < 0 || (n == 0 && lseek(m->stream_fd, 0, SEEK_CUR) == 0)) m->size = 0;
      if (n <= 0) {
        VdvbMuxRewind(m);
        continue;
      }
      m->chunk_len = (size_t)n;
      m->chunk_at = 0;
    }
    size_t take = m->chunk_len - m->chunk_at;
    if (take > want) take = (size_t)want;
    const uint8_t *at = m->chunk + m->chunk_at;
    TsFilterFeed(&m->align, at, take);
    for (int i = 0; i < m->user_count; i++) VdvbDeliver(m->users[i], at, take);
    m->chunk_at += take;
    m->passed += take;
    want -= take;
  }
}

/* Marks every descriptor on "m" whose wait for a section has run out. */
void VdvbMuxDeadlines(VdvbMux *m) {
  int64_t now = VdvbMuxNow(m);
  for (int i = 0; i < m->user_count; i++) {
    VdvbDevice *d = m->users[i];
    if (d->ts.running && d->error == 0 && d->ts.ready.empty() && d->timeout_ms > 0 &&
        now >= d->deadline_ns)
      d->error = ETIMEDOUT;
  }
}

/* Brings the stream of "m" up to the virtual clock (time passed while the
 * program waited elsewhere). Whole laps beyond two are skipped. */
void VdvbMuxCatchUp(VdvbMux *m) {
  int64_t ahead = Vdvb.clock_offset_ns - m->start_ns;
  if (ahead <= 0) return;
  uint64_t target = VdvbMulDiv((uint64_t)ahead, m->bitrate, 8000000000u);
  if (target <= m->passed) return;
  if (m->size > 0 && target - m->passed > 2 * m->size)
    m->passed += (target - m->passed) / m->size * m->size - m->size;
  while (m->passed < target) {
    uint64_t step = target - m->passed;
    VdvbMuxPass(m, step < TS_PACKET_SIZE ? step : TS_PACKET_SIZE);
    VdvbMuxDeadlines(m);
  }
}

/* Lets the stream of "m" run, a packet's worth at a time, until "done"
 * holds or its time reaches "limit_ns"; the virtual clock follows. */
template <typename Done>
void VdvbMuxRun(VdvbMux *m, int64_t limit_ns, Done done) {
  VdvbMuxCatchUp(m);
  while (!done() && VdvbMuxNow(m) < limit_ns) {
    VdvbMuxPass(m, TS_PACKET_SIZE);
    VdvbMuxDeadlines(m);
  }
  int64_t now = VdvbMuxNow(m);
  if (now > Vdvb.clock_offset_ns) Vdvb.clock_offset_ns = now;
}

/* A descriptor on a mux has something for its next read. */
int VdvbMuxReady(const VdvbDevice *d) { return !d->ts.running || d->error || !d->ts.ready.empty(); }

/* The wait of "d" for a section starts again now. */
void VdvbRestartWait(VdvbDevice *d) {
  if (d->mux) d->deadline_ns = VdvbMuxNow(d->mux) + (int64_t)d->timeout_ms * 1000000;
}

/* VDVB_STALL=PID:MS: the hold, in ms, of the first read that delivers a
 * section of PID to "d"; 0 when none applies. */
uint64_t VdvbStallMs(const VdvbDevice *d) {
  const char *v = getenv("VDVB_STALL");
  unsigned pid = 0;
  unsigned long long ms = 0;
  if (d->stalled || !v || sscanf(v, "%x:%llu", &pid, &ms) != 2 || pid != d->ts.pid) return 0;
  return ms;
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
  if (Vdvb.open_count[index] > 0 && VdvbEnvFlag("VDVB_SINGLE_OPEN", -1)) {
    VdvbTrace("busy %d", index);
    errno = EBUSY;
    return -1;
  }
  /* The stream is read through descriptors of this library, passed to the
   * real read; the program gets another one, on /dev/null, as the device. */
  uint64_t bitrate = VdvbBitrate();
  VdvbMux *mux = nullptr;
  int stream_fd = -1;
  if (!silent && bitrate > 0) {
    mux = VdvbMuxFor(index, stream, bitrate);
  } else {
    stream_fd = Vdvb.real_open(stream && *stream ? stream : "/dev/null", O_RDONLY | O_CLOEXEC);
  }
  if (!mux && stream_fd < 0) {
    VdvbTrace("unreadable %d %s", index, stream ? stream : "");
    errno = ENOENT;
    return -1;
  }
  int fd = Vdvb.real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0 || fd >= VDVB_MAX_FD || (mux && mux->user_count >= VDVB_MAX_USERS)) {
    if (fd >= 0) Vdvb.real_close(fd);
    if (stream_fd >= 0) Vdvb.real_close(stream_fd);
    errno = EMFILE;
    return -1;
  }
  VdvbDevice *d = new VdvbDevice();
  d->index = index;
  d->stream_fd = stream_fd;
  d->silent = silent;
  d->changing = VdvbEnvFlag("VDVB_CHANGING", index);
  d->buffer_size = VDVB_KERNEL_BUFFER;
  TsFilterReset(&d->ts);
  if (mux) {
    VdvbMuxCatchUp(mux);
    /* Joining the stream mid-packet, it takes over where packets start. */
    d->ts.packet_fill = mux->align.packet_fill;
    memcpy(d->ts.packet, mux->align.packet, (size_t)mux->align.packet_fill);
    d->mux = mux;
    mux->users[mux->user_count++] = d;
  }
  Vdvb.open[fd] = d;
  Vdvb.open_count[index]++;
  if (!Vdvb.any_opened) {
    Vdvb.any_opened = 1;
    Vdvb.first_open_ns = Vdvb.clock_offset_ns;
  }
  VdvbTrace("open %d", index);
  return fd;
}

VdvbDevice *VdvbFind(int fd) { return fd >= 0 && fd < VDVB_MAX_FD ? Vdvb.open[fd] : nullptr; }

void VdvbCloseDevice(int fd, VdvbDevice *d) {
  VdvbTrace("close %d", d->index);
  if (d->stream_fd >= 0) Vdvb.real_close(d->stream_fd);
  if (VdvbMux *m = d->mux) {
    for (int i = 0; i < m->user_count; i++)
      if (m->users[i] == d) m->users[i] = m->users[--m->user_count];
  }
  Vdvb.open_count[d->index]--;
  delete d;
  Vdvb.open[fd] = nullptr;
}

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

/* Reports the error waiting for "d" as a failed read. */
ssize_t VdvbReadError(VdvbDevice *d) {
  int error = d->error;
  d->error = 0;
  d->ts.ready.clear(); /* the kernel flushes the queue with the error */
  d->queued = 0;
  VdvbRestartWait(d);
  if (error == EOVERFLOW) VdvbTrace("overflow %d read=%llu", d->index, (unsigned long long)d->reads);
  else VdvbTrace("timeout %d %u", d->index, d->timeout_ms);
  errno = error;
  return -1;
}

/* Hands the oldest queued section of "d" to the reader. */
ssize_t VdvbTake(VdvbDevice *d, void *buf, size_t size) {
  size_t length = d->ts.ready.front().size();
  int n = TsFilterTake(&d->ts, (uint8_t *)buf, size > TS_SECTION_MAX ? TS_SECTION_MAX : (int)size);
  if (d->mux) d->queued -= length;
  if (d->changing && n >= 7) {
    uint8_t *s = (uint8_t *)buf;
    d->stamp++;
    for (int k = 0; k < 4; k++) s[n - 4 + k] = (uint8_t)(d->stamp >> (24 - 8 * k));
  }
  return n;
}

/* A read on a device with a bit rate: the queue, or else the stream runs
 * until a section or an error is there for "d". */
ssize_t VdvbReadMux(VdvbDevice *d, void *buf, size_t size) {
  VdvbMux *m = d->mux;
  VdvbMuxRun(m, Vdvb.clock_offset_ns + VDVB_BLOCK_NS, [d] { return VdvbMuxReady(d); });
  if (!VdvbMuxReady(d)) {
    VdvbTrace("blocked %d", d->index);
    errno = EINTR;
    return -1;
  }
  if (d->error) return VdvbReadError(d);
  uint64_t stall = VdvbStallMs(d);
  if (stall > 0) {
    /* The reader is held; the stream goes on for every other descriptor. */
    d->stalled = 1;
    VdvbTrace("stall %d pid=0x%X %llu", d->index, d->ts.pid, (unsigned long long)stall);
    int64_t until = Vdvb.clock_offset_ns + (int64_t)stall * 1000000;
    VdvbMuxRun(m, until, [] { return false; });
  }
  ssize_t n = VdvbTake(d, buf, size);
  VdvbRestartWait(d);
  return n;
}

/* A read without a bit rate: the descriptor's own copy of the stream is
 * played until a section; a whole lap without one is a timeout. */
ssize_t VdvbReadPlay(VdvbDevice *d, void *buf, size_t size) {
  if (d->error) return VdvbReadError(d); /* poll has waited out the timeout */
  int played = TsFilterPlayFile(&d->ts, d->stream_fd, 0, nullptr);
  if (played == TS_PLAY_SECTION) return VdvbTake(d, buf, size);
  if (played == TS_PLAY_LOST && TsFilterTakeLost(&d->ts)) {
    errno = EOVERFLOW; /* the section found no memory in the filter */
    return -1;
  }
  if (played == TS_PLAY_ERROR) {
    errno = EIO;
    return -1;
  }
  VdvbAdvanceMs(d->timeout_ms);
  d->error = ETIMEDOUT;
  return VdvbReadError(d);
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
  return d->mux ? VdvbReadMux(d, buf, size) : VdvbReadPlay(d, buf, size);
}

int VdvbSetFilter(VdvbDevice *d, const struct dmx_sct_filter_params *p) {
  if (p->flags != DMX_IMMEDIATE_START || p->pid > 0x1FFF) {
    VdvbTrace("refused %d DMX_SET_FILTER pid=0x%X flags=0x%X", d->index, p->pid, p->flags);
    errno = EINVAL;
    return -1;
  }
  if (d->mux) VdvbMuxCatchUp(d->mux); /* the filter sees the stream from now on */
  TsFilterSet(&d->ts, p->pid, p->filter.filter, p->filter.mask, p->filter.mode, DMX_FILTER_SIZE);
  d->timeout_ms = p->timeout;
  d->queued = 0;
  d->error = 0;
  VdvbRestartWait(d);
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
    d->buffer_size = (unsigned long)arg;
    VdvbTrace("buffer %d %lu", d->index, (unsigned long)arg);
    return 0;
  }
  if (request == DMX_SET_FILTER) return VdvbSetFilter(d, (const struct dmx_sct_filter_params *)arg);
  if (request == DMX_STOP) {
    TsFilterStop(&d->ts);
    d->queued = 0;
    d->error = 0;
    VdvbTrace("stop %d", d->index);
    return 0;
  }
  VdvbTrace("refused %d ioctl 0x%lX", d->index, request);
  errno = ENOTTY;
  return -1;
}

/* Whether "d" answers a poll at once: without a bit rate, a section within
 * a lap of its stream or an error waiting; with one, its queue or error. */
int VdvbPollReady(VdvbDevice *d) {
  if (d->silent) return 0;
  if (d->mux) {
    VdvbMuxCatchUp(d->mux);
    return VdvbMuxReady(d);
  }
  if (!d->ts.running || d->error || !d->ts.ready.empty()) return 1;
  return TsFilterPlayFile(&d->ts, d->stream_fd, 0, nullptr) != TS_PLAY_NONE;
}

/* poll on virtual descriptors, nobody ready yet: time passes until one is
 * ready or "timeout" ms (< 0: no limit) are over. Without a bit rate the
 * filters that found nothing in a lap time out together after the
 * shortest filter timeout. */
void VdvbPollWait(struct pollfd *fds, nfds_t count, int timeout) {
  VdvbMux *m = nullptr;
  uint64_t shortest = 0;
  for (nfds_t i = 0; i < count; i++) {
    VdvbDevice *d = VdvbFind(fds[i].fd);
    if (!d || d->silent) continue;
    if (d->mux && !m) m = d->mux;
    if (!d->mux && d->timeout_ms > 0 && (shortest == 0 || d->timeout_ms < shortest))
      shortest = d->timeout_ms;
  }
  int64_t limit = Vdvb.clock_offset_ns + (timeout < 0 ? VDVB_BLOCK_NS : (int64_t)timeout * 1000000);
  if (m) {
    VdvbMuxRun(m, limit, [&] {
      for (nfds_t i = 0; i < count; i++) {
        VdvbDevice *d = VdvbFind(fds[i].fd);
        if (d && d->mux == m && VdvbMuxReady(d)) return true;
      }
      return false;
    });
    return;
  }
  if (shortest > 0 && (timeout < 0 || shortest <= (uint64_t)timeout)) {
    VdvbAdvanceMs(shortest);
    for (nfds_t i = 0; i < count; i++) {
      VdvbDevice *d = VdvbFind(fds[i].fd);
      if (d && !d->silent && !d->mux && d->ts.running && d->timeout_ms <= shortest) d->error = ETIMEDOUT;
    }
    return;
  }
  if (timeout > 0) {
    VdvbAdvanceMs((uint64_t)timeout);
    VdvbTrace("poll-timeout %d", timeout);
  }
}

/* At exit: the virtual time since the first open of a device. */
__attribute__((destructor)) void VdvbAtExit(void) {
  if (!Vdvb.real_open) return;
  int64_t elapsed = Vdvb.any_opened ? Vdvb.clock_offset_ns - Vdvb.first_open_ns : 0;
  VdvbTrace("clock %lld", (long long)(elapsed / 1000000));
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
  if (d) VdvbCloseDevice(fd, d);
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
  int virtual_fds = 0;
  for (nfds_t i = 0; i < count; i++) virtual_fds += VdvbFind(fds[i].fd) != nullptr;
  if (virtual_fds == 0) return Vdvb.real_poll(fds, count, timeout);
  /* Real descriptors alongside are looked at without waiting. */
  auto look = [&]() {
    int ready = 0;
    for (nfds_t i = 0; i < count; i++) {
      VdvbDevice *d = VdvbFind(fds[i].fd);
      if (d) {
        fds[i].revents = VdvbPollReady(d) ? (short)(fds[i].events & (POLLIN | POLLPRI)) : 0;
      } else {
        struct pollfd one = fds[i];
        one.revents = 0;
        if (Vdvb.real_poll(&one, 1, 0) < 0) one.revents = 0;
        fds[i].revents = one.revents;
      }
      if (fds[i].revents) ready++;
    }
    return ready;
  };
  int ready = look();
  if (ready == 0 && timeout != 0) {
    VdvbPollWait(fds, count, timeout);
    ready = look();
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
