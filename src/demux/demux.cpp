/* Demux device: demux filter handles on a DVB demux device, or on a recorded
 * or piped transport stream filtered in our own code; the default handle
 * behind the plain Demux... functions. Calls nothing above it. */
#include "demux/demux.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "log/log.h"
#include "run/status.h"

constexpr int DEMUX_DRIVER_BUFFER = 0x40000;

static DemuxHandle Demux;
static int DemuxReady = 0;

DemuxHandle *DemuxDefault(void) {
  if (!DemuxReady) {
    DemuxHandleReset(&Demux);
    DemuxReady = 1;
  }
  return &Demux;
}

uint8_t *DemuxSectionBuffer(void) { return DemuxDefault()->buffer; }

void DemuxHandleReset(DemuxHandle *h) {
  h->fd = -1;
  h->kind = DEMUX_DEVICE;
  h->shares_stream = 0;
  h->timeout = 0;
  h->filter_set = 0;
  h->lap_logged = 0;
  h->lost_again = 0;
  h->wait_start = 0;
  h->path[0] = 0;
  TsFilterReset(&h->ts);
  memset(h->buffer, 0, sizeof(h->buffer));
  h->losses = 0;
  h->hold_log = 0;
  h->held_log.clear();
}

void DemuxLog(DemuxHandle *h, const char *format, ...) {
  char text[LOG_BUFFER_SIZE];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof(text), format, ap);
  va_end(ap);
  if (h->hold_log) {
    try {
      h->held_log.emplace_back(text);
      return;
    } catch (const std::bad_alloc &) {
      /* No memory to hold it: written now, out of its table's turn, rather than lost. */
    }
  }
  WriteLog("%s", text);
}

void DemuxWriteHeldLog(DemuxHandle *h) {
  h->hold_log = 0;
  for (const std::string &line : h->held_log) WriteLog("%s", line.c_str());
  h->held_log.clear();
}

int DemuxHandleOpen(DemuxHandle *h, const char *path, int quiet) {
  memset(h->buffer, 0, DEMUX_READ_SIZE);
  /* A regular file or a FIFO holds a transport stream; everything else is
   * taken for a demux device. */
  struct stat st;
  h->kind = DEMUX_DEVICE;
  if (stat(path, &st) == 0) {
    if (S_ISREG(st.st_mode)) h->kind = DEMUX_FILE;
    else if (S_ISFIFO(st.st_mode)) h->kind = DEMUX_FIFO;
  }
  if (h->kind == DEMUX_DEVICE) h->fd = open(path, O_RDWR | O_CLOEXEC);
  else if (h->kind == DEMUX_FILE) h->fd = open(path, O_RDONLY | O_CLOEXEC);
  /* A FIFO opened without O_NONBLOCK would wait here for its writer. */
  else h->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (h->fd < 0) {
    h->fd = -1;
    int error = errno; /* the caller may tell why the open failed */
    if (!quiet) DemuxLog(h, "%s() - Error opening demux (%s)", "DemuxInit", path);
    errno = error;
    return 0;
  }
  snprintf(h->path, sizeof(h->path), "%s", path);
  h->shares_stream = 0;
  h->filter_set = 0;
  h->lap_logged = 0;
  h->lost_again = 0;
  h->losses = 0;
  TsFilterReset(&h->ts);
  if (h->kind == DEMUX_DEVICE &&
      ioctl(h->fd, DMX_SET_BUFFER_SIZE, (unsigned long)DEMUX_DRIVER_BUFFER) < 0 && !quiet)
    DemuxLog(h, "%s() - Error: DMX_SET_BUFFER_SIZE failed. Ignoring error.", "DemuxInit");
  return 1;
}

int DemuxHandleClose(DemuxHandle *h) {
  if (h->fd >= 0) {
    close(h->fd);
    h->fd = -1;
  }
  TsFilterReset(&h->ts);
  h->filter_set = 0;
  h->shares_stream = 0;
  return 1;
}

int DemuxHandleSetFilter(DemuxHandle *h, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                         int length, uint32_t timeout) {
  if (length < 0 || length > DMX_FILTER_SIZE) return 0;
  int ok;
  if (h->kind == DEMUX_DEVICE) {
    struct dmx_sct_filter_params params;
    memset(&params, 0, sizeof(params));
    params.pid = pid;
    if (length > 0) {
      memcpy(params.filter.filter, filter, (size_t)length);
      memcpy(params.filter.mask, mask, (size_t)length);
    }
    params.timeout = timeout;
    params.flags = DMX_IMMEDIATE_START;
    ok = h->fd >= 0 && ioctl(h->fd, DMX_SET_FILTER, &params) == 0;
  } else {
    ok = TsFilterSet(&h->ts, pid, filter, mask, nullptr, length);
    /* A recording is played from its start for every filter, unless it is
     * read once for several filters. */
    if (ok && h->kind == DEMUX_FILE && !h->shares_stream) {
      if (lseek(h->fd, 0, SEEK_SET) != 0) ok = 0;
      else TsFilterDiscontinuity(&h->ts);
    }
  }
  if (!ok) return 0;
  h->timeout = timeout;
  h->filter_set = 1;
  h->lap_logged = 0;
  h->wait_start = GetTickMs();
  return 1;
}

int DemuxHandleStartFilter(DemuxHandle *h, uint16_t pid, const uint8_t *filter,
                           const uint8_t *mask, int length, uint32_t timeout) {
  if (h->fd < 0 && !h->shares_stream) {
    DemuxLog(h, "%s() - Error: Demux not initialized", "DemuxStartFilter");
    return 0;
  }
  if (!DemuxHandleSetFilter(h, pid, filter, mask, length, timeout)) {
    DemuxLog(h, "%s() - Error: DMX_SET_FILTER failed", "DemuxStartFilter");
    return 0;
  }
  return 1;
}

int DemuxHandleReadFailed(DemuxHandle *h, int error) {
  if (error == ETIMEDOUT) return 0;
  if (error == EOVERFLOW) {
    h->losses++;
    DemuxLog(h, "%s() - DEMUX Overflow error. Some sections lost", "DemuxGetSection");
    return 0;
  }
  return -1;
}

int DemuxHandleReadLost(DemuxHandle *h) {
  if (!h->lost_again) {
    h->lost_again = 1;
    return DemuxHandleReadFailed(h, EOVERFLOW);
  }
  DemuxLog(h, "%s() - No memory for the sections of PID 0x%X", "DemuxGetSection", h->ts.pid);
  return -1;
}

/* Hands over a section of our filter: one got through. Returns "n". */
static int DemuxHandleDelivered(DemuxHandle *h, int n) {
  if (n > 0) h->lost_again = 0;
  return n;
}

int DemuxHandleReadReady(DemuxHandle *h) {
  h->wait_start = GetTickMs();
  ssize_t n = read(h->fd, h->buffer, DEMUX_READ_SIZE);
  if (n > 0) return (int)n;
  return DemuxHandleReadFailed(h, n == 0 ? EIO : errno);
}

/* One read from a demux device, its wait bounded (see DEMUX_WAIT_MARGIN_MS). */
static int DemuxReadDevice(DemuxHandle *h) {
  struct pollfd p = {h->fd, POLLIN | POLLPRI, 0};
  int wait = (int)(h->timeout > 0x7FFFFFFFu - DEMUX_WAIT_MARGIN_MS
                       ? 0x7FFFFFFF
                       : h->timeout + DEMUX_WAIT_MARGIN_MS);
  int r;
  do r = poll(&p, 1, wait);
  while (r < 0 && errno == EINTR);
  if (r == 0) return DemuxHandleReadFailed(h, ETIMEDOUT);
  return DemuxHandleReadReady(h);
}

/* The next section of a recording played as a carousel. */
static int DemuxReadFile(DemuxHandle *h) {
  if (!h->filter_set) return 0;
  int played = TsFilterPlayFile(&h->ts, h->fd, 0, nullptr);
  if (played == TS_PLAY_SECTION)
    return DemuxHandleDelivered(h, TsFilterTake(&h->ts, h->buffer, DEMUX_READ_SIZE));
  if (played == TS_PLAY_LOST && TsFilterTakeLost(&h->ts)) return DemuxHandleReadLost(h);
  if (played == TS_PLAY_NONE && !h->lap_logged) {
    DemuxLog(h, "%s() - No section for PID 0x%X in a whole pass of %s", "DemuxGetSection",
             h->ts.pid, h->path);
    h->lap_logged = 1;
  }
  return -1;
}

/* The next section of a piped stream, waiting at most the filter's timeout. */
static int DemuxReadFifo(DemuxHandle *h) {
  uint8_t chunk[TS_PLAY_CHUNK];
  uint32_t start = GetTickMs();
  for (;;) {
    if (TsFilterTakeLost(&h->ts)) return DemuxHandleReadLost(h);
    int n = TsFilterTake(&h->ts, h->buffer, DEMUX_READ_SIZE);
    if (n > 0) return DemuxHandleDelivered(h, n);
    if (!h->filter_set) return 0;
    uint32_t spent = GetTickMs() - start;
    if (spent >= h->timeout) return DemuxHandleReadFailed(h, ETIMEDOUT);
    struct pollfd p = {h->fd, POLLIN, 0};
    uint32_t left = h->timeout - spent;
    int r = poll(&p, 1, left > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)left);
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) continue;
    ssize_t got = read(h->fd, chunk, sizeof(chunk));
    if (got == 0) return -1; /* the writer has gone: the stream has ended */
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return -1;
    }
    TsFilterFeed(&h->ts, chunk, (size_t)got);
  }
}

int DemuxHandleGetSection(DemuxHandle *h) {
  if (h->fd < 0) {
    DemuxLog(h, "%s() - Error: Demux not initialized", "DemuxGetSection");
    return 0;
  }
  if (h->kind == DEMUX_FILE) return DemuxReadFile(h);
  if (h->kind == DEMUX_FIFO) return DemuxReadFifo(h);
  return DemuxReadDevice(h);
}

int DemuxHandleStopFilter(DemuxHandle *h) {
  if (h->fd < 0 && !h->shares_stream) {
    DemuxLog(h, "%s() - Error: Demux not initialized", "DemuxStopFilter");
    return 0;
  }
  if (h->kind == DEMUX_DEVICE) ioctl(h->fd, DMX_STOP);
  else TsFilterStop(&h->ts);
  h->filter_set = 0;
  return 1;
}

int DemuxInit(const char *path) { return DemuxHandleOpen(DemuxDefault(), path, 0); }

int DemuxClose(void) { return DemuxHandleClose(DemuxDefault()); }

int DemuxStartFilter(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length,
                     uint32_t timeout) {
  return DemuxHandleStartFilter(DemuxDefault(), pid, filter, mask, length, timeout);
}

int DemuxGetSection(void) { return DemuxHandleGetSection(DemuxDefault()); }

int DemuxStopFilter(void) { return DemuxHandleStopFilter(DemuxDefault()); }
