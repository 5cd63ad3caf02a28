/* Demux device: the one open demux (a DVB demux device, or a recorded or
 * piped transport stream filtered in our own code), its filter and buffer. */
#include "demux/demux.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "demux/tsfilter.h"
#include "log/log.h"
#include "run/status.h"

constexpr int DEMUX_DRIVER_BUFFER = 0x40000;
/* A DVB driver ends a read without a section by its filter's timeout only
 * while no section has come since the filter was set; after that a read on
 * a PID that falls silent would wait for ever. Each device read therefore
 * waits at most the filter's timeout plus this margin, and a wait that runs
 * out counts as the driver's timeout. */
constexpr int DEMUX_WAIT_MARGIN_MS = 1000;
constexpr int DEMUX_PATH_SIZE = 256;

enum DemuxKind { DEMUX_DEVICE, DEMUX_FILE, DEMUX_FIFO };

static struct {
  int handle;
  DemuxKind kind;
  uint32_t timeout;
  int filter_set;
  int lap_logged;
  char path[DEMUX_PATH_SIZE];
  TsFilter ts;
  uint8_t buffer[DEMUX_BUFFER_SIZE];
} Demux = {-1, DEMUX_DEVICE, 0, 0, 0, "", {}, {}};

uint8_t *DemuxSectionBuffer(void) { return Demux.buffer; }

int DemuxInit(const char *path) {
  memset(Demux.buffer, 0, DEMUX_READ_SIZE);
  /* A regular file or a FIFO holds a transport stream; everything else is
   * taken for a demux device. */
  struct stat st;
  Demux.kind = DEMUX_DEVICE;
  if (stat(path, &st) == 0) {
    if (S_ISREG(st.st_mode)) Demux.kind = DEMUX_FILE;
    else if (S_ISFIFO(st.st_mode)) Demux.kind = DEMUX_FIFO;
  }
  if (Demux.kind == DEMUX_DEVICE) Demux.handle = open(path, O_RDWR | O_CLOEXEC);
  else if (Demux.kind == DEMUX_FILE) Demux.handle = open(path, O_RDONLY | O_CLOEXEC);
  /* A FIFO opened without O_NONBLOCK would wait here for its writer. */
  else Demux.handle = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (Demux.handle < 0) {
    Demux.handle = -1;
    WriteLog("%s() - Error opening demux (%s)", "DemuxInit", path);
    return 0;
  }
  snprintf(Demux.path, sizeof(Demux.path), "%s", path);
  Demux.filter_set = 0;
  Demux.lap_logged = 0;
  TsFilterReset(&Demux.ts);
  if (Demux.kind == DEMUX_DEVICE &&
      ioctl(Demux.handle, DMX_SET_BUFFER_SIZE, (unsigned long)DEMUX_DRIVER_BUFFER) < 0)
    WriteLog("%s() - Error: DMX_SET_BUFFER_SIZE failed. Ignoring error.", "DemuxInit");
  return 1;
}

int DemuxClose(void) {
  if (Demux.handle >= 0) {
    close(Demux.handle);
    Demux.handle = -1;
    TsFilterReset(&Demux.ts);
  }
  return 1;
}

int DemuxStartFilter(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length,
                     uint32_t timeout) {
  if (Demux.handle < 0) {
    WriteLog("%s() - Error: Demux not initialized", "DemuxStartFilter");
    return 0;
  }
  int ok = 0;
  if (length >= 0 && length <= DMX_FILTER_SIZE) {
    if (Demux.kind == DEMUX_DEVICE) {
      struct dmx_sct_filter_params params;
      memset(&params, 0, sizeof(params));
      params.pid = pid;
      if (length > 0) {
        memcpy(params.filter.filter, filter, (size_t)length);
        memcpy(params.filter.mask, mask, (size_t)length);
      }
      params.timeout = timeout;
      params.flags = DMX_IMMEDIATE_START;
      ok = ioctl(Demux.handle, DMX_SET_FILTER, &params) == 0;
    } else {
      ok = TsFilterSet(&Demux.ts, pid, filter, mask, nullptr, length);
      /* A recording is played from its start for every filter. */
      if (ok && Demux.kind == DEMUX_FILE && lseek(Demux.handle, 0, SEEK_SET) != 0) ok = 0;
      if (ok && Demux.kind == DEMUX_FILE) TsFilterDiscontinuity(&Demux.ts);
    }
  }
  if (!ok) {
    WriteLog("%s() - Error: DMX_SET_FILTER failed", "DemuxStartFilter");
    return 0;
  }
  Demux.timeout = timeout;
  Demux.filter_set = 1;
  Demux.lap_logged = 0;
  return 1;
}

/* Classifies a failed read as the DVB API defines it. */
static int DemuxReadFailed(int error) {
  if (error == ETIMEDOUT) return 0;
  if (error == EOVERFLOW) {
    WriteLog("%s() - DEMUX Overflow error. Some sections lost", "DemuxGetSection");
    return 0;
  }
  return -1;
}

/* One read from a demux device, its wait bounded (see DEMUX_WAIT_MARGIN_MS). */
static int DemuxReadDevice(void) {
  struct pollfd p = {Demux.handle, POLLIN | POLLPRI, 0};
  int wait = (int)(Demux.timeout > 0x7FFFFFFFu - DEMUX_WAIT_MARGIN_MS
                       ? 0x7FFFFFFF
                       : Demux.timeout + DEMUX_WAIT_MARGIN_MS);
  int r;
  do r = poll(&p, 1, wait);
  while (r < 0 && errno == EINTR);
  if (r == 0) return DemuxReadFailed(ETIMEDOUT);
  ssize_t n = read(Demux.handle, Demux.buffer, DEMUX_READ_SIZE);
  if (n > 0) return (int)n;
  return DemuxReadFailed(n == 0 ? EIO : errno);
}

/* The next section of a recording played as a carousel. */
static int DemuxReadFile(void) {
  if (!Demux.filter_set) return 0;
  int played = TsFilterPlayFile(&Demux.ts, Demux.handle, 0, nullptr);
  if (played == TS_PLAY_SECTION) return TsFilterTake(&Demux.ts, Demux.buffer, DEMUX_READ_SIZE);
  if (played == TS_PLAY_NONE && !Demux.lap_logged) {
    WriteLog("%s() - No section for PID 0x%X in a whole pass of %s", "DemuxGetSection",
             Demux.ts.pid, Demux.path);
    Demux.lap_logged = 1;
  }
  return -1;
}

/* The next section of a piped stream, waiting at most the filter's timeout. */
static int DemuxReadFifo(void) {
  uint8_t chunk[TS_PLAY_CHUNK];
  uint32_t start = GetTickMs();
  for (;;) {
    int n = TsFilterTake(&Demux.ts, Demux.buffer, DEMUX_READ_SIZE);
    if (n > 0) return n;
    if (!Demux.filter_set) return 0;
    uint32_t spent = GetTickMs() - start;
    if (spent >= Demux.timeout) return DemuxReadFailed(ETIMEDOUT);
    struct pollfd p = {Demux.handle, POLLIN, 0};
    uint32_t left = Demux.timeout - spent;
    int r = poll(&p, 1, left > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)left);
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) continue;
    ssize_t got = read(Demux.handle, chunk, sizeof(chunk));
    if (got == 0) return -1; /* the writer has gone: the stream has ended */
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return -1;
    }
    TsFilterFeed(&Demux.ts, chunk, (size_t)got);
  }
}

int DemuxGetSection(void) {
  if (Demux.handle < 0) {
    WriteLog("%s() - Error: Demux not initialized", "DemuxGetSection");
    return 0;
  }
  if (Demux.kind == DEMUX_FILE) return DemuxReadFile();
  if (Demux.kind == DEMUX_FIFO) return DemuxReadFifo();
  return DemuxReadDevice();
}

int DemuxStopFilter(void) {
  if (Demux.handle < 0) {
    WriteLog("%s() - Error: Demux not initialized", "DemuxStopFilter");
    return 0;
  }
  if (Demux.kind == DEMUX_DEVICE) ioctl(Demux.handle, DMX_STOP);
  else TsFilterStop(&Demux.ts);
  Demux.filter_set = 0;
  return 1;
}
