/* Every table at once: right after the channel table, one filter per table
 * runs (each on a descriptor of its own on a demux device; a recording or a
 * pipe is read once and fed to every filter), and one loop on this thread
 * collects them all. Each table ends by the rules of the one-table
 * collector; its sections and messages wait for its pass. A table that lost
 * sections to a full driver queue meanwhile is collected again on its own. */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "demux/concurrent.h"
#include "log/log.h"
#include "run/status.h"

/* The longest wait of one round, so the spinner turns about once a second. */
constexpr int CONCURRENT_ROUND_MS = 1000;

static struct {
  DemuxHandle handles[DEMUX_TABLES_MAX];
  CollectorTable tables[DEMUX_TABLES_MAX]; /* table i is read on handle i */
  int taken[DEMUX_TABLES_MAX]; /* its pass has had the table */
  int count;                   /* tables of the running collection */
  int ready;                   /* handles reset once */
} Concurrent;

/* The index of the table on "pid" not yet taken, or -1. */
static int ConcurrentFind(uint16_t pid) {
  for (int i = 0; i < Concurrent.count; i++)
    if (!Concurrent.taken[i] && Concurrent.tables[i].pid == pid) return i;
  return -1;
}

/* Hands one read result to table "t"; a table that has ended gives its own
 * descriptor back at once. */
static void ConcurrentStep(CollectorTable *t, int n) {
  if (!CollectorStep(t, n) && t->demux->kind == DEMUX_DEVICE) DemuxHandleClose(t->demux);
}

/* Ends every table still running with a read failure. */
static void ConcurrentFailAll(void) {
  for (int i = 0; i < Concurrent.count; i++)
    if (Concurrent.tables[i].running) ConcurrentStep(&Concurrent.tables[i], -1);
}

/* How much longer, in ms, the table on "h" may wait for a section: its
 * filter's timeout plus "margin" (see DEMUX_WAIT_MARGIN_MS) since its wait
 * began; 0 when the wait has run out. */
static uint32_t ConcurrentWaitLeft(const DemuxHandle *h, uint32_t now, int margin) {
  uint64_t bound = (uint64_t)h->timeout + (uint64_t)margin;
  uint64_t waited = (uint32_t)(now - h->wait_start);
  return waited >= bound ? 0 : (uint32_t)(bound - waited);
}

/* One round over demux devices: waits until a descriptor has a section or
 * an error, or a wait runs out, then reads one section from every ready
 * descriptor. */
static void ConcurrentRoundDevices(void) {
  struct pollfd polled[DEMUX_TABLES_MAX];
  CollectorTable *who[DEMUX_TABLES_MAX];
  int k = 0;
  uint32_t now = GetTickMs();
  uint32_t wait = CONCURRENT_ROUND_MS;
  for (int i = 0; i < Concurrent.count; i++) {
    CollectorTable *t = &Concurrent.tables[i];
    DemuxHandle *h = t->demux;
    if (!t->running) continue;
    polled[k] = {h->fd, POLLIN | POLLPRI, 0};
    who[k++] = t;
    uint32_t left = ConcurrentWaitLeft(h, now, DEMUX_WAIT_MARGIN_MS);
    if (left < wait) wait = left;
  }
  int r = poll(polled, (nfds_t)k, (int)wait);
  if (r < 0) {
    if (errno != EINTR) ConcurrentFailAll();
    return;
  }
  now = GetTickMs();
  for (int i = 0; i < k; i++) {
    CollectorTable *t = who[i];
    DemuxHandle *h = t->demux;
    if (polled[i].revents) {
      ConcurrentStep(t, DemuxHandleReadReady(h));
    } else if (ConcurrentWaitLeft(h, now, DEMUX_WAIT_MARGIN_MS) == 0) {
      h->wait_start = now;
      ConcurrentStep(t, DemuxHandleReadFailed(h, ETIMEDOUT));
    }
  }
}

/* Hands every section waiting in the filters of the shared stream to its
 * table; sections that found no memory in a filter are a failed read of it. */
static void ConcurrentTakeWaiting(void) {
  for (int i = 0; i < Concurrent.count; i++) {
    CollectorTable *t = &Concurrent.tables[i];
    DemuxHandle *h = t->demux;
    if (t->running && TsFilterTakeLost(&h->ts)) ConcurrentStep(t, DemuxHandleReadLost(h));
    int n;
    while (t->running && (n = TsFilterTake(&h->ts, h->buffer, DEMUX_READ_SIZE)) > 0) {
      h->lost_again = 0;
      h->wait_start = GetTickMs();
      ConcurrentStep(t, n);
    }
  }
}

/* Feeds "length" stream bytes to the filter of every table still running. */
static void ConcurrentFeed(const uint8_t *chunk, size_t length) {
  for (int i = 0; i < Concurrent.count; i++)
    if (Concurrent.tables[i].running) TsFilterFeed(&Concurrent.handles[i].ts, chunk, length);
}

/* One round over a recording played as a carousel, read once for all
 * tables: each table sees the stream from the recording's start, as it
 * would with a filter of its own, and ends after a whole lap without a
 * section of its own. */
static void ConcurrentRoundFile(DemuxHandle *base) {
  ConcurrentTakeWaiting();
  struct stat st;
  if (fstat(base->fd, &st) != 0) {
    ConcurrentFailAll();
    return;
  }
  int running = 0;
  for (int i = 0; i < Concurrent.count; i++) {
    CollectorTable *t = &Concurrent.tables[i];
    DemuxHandle *h = t->demux;
    if (!t->running) continue;
    /* Counted from its last section, a whole lap has visited every section. */
    if (h->ts.bytes_since_match >= (uint64_t)st.st_size) {
      if (!h->lap_logged)
        DemuxLog(h, "%s() - No section for PID 0x%X in a whole pass of %s", "DemuxGetSection",
                 h->ts.pid, h->path);
      h->lap_logged = 1;
      ConcurrentStep(t, -1);
    } else {
      running++;
    }
  }
  if (!running) return;
  uint8_t chunk[TS_PLAY_CHUNK];
  ssize_t n = read(base->fd, chunk, sizeof(chunk));
  if (n < 0) {
    if (errno != EINTR) ConcurrentFailAll();
    return;
  }
  if (n == 0) {
    /* End of the recording: the carousel starts again. */
    if (lseek(base->fd, 0, SEEK_SET) != 0) {
      ConcurrentFailAll();
      return;
    }
    for (int i = 0; i < Concurrent.count; i++) TsFilterDiscontinuity(&Concurrent.handles[i].ts);
    return;
  }
  ConcurrentFeed(chunk, (size_t)n);
}

/* One round over a piped stream read once for all tables: each table waits
 * at most its filter's timeout for a section, and the end of the stream
 * ends them all. */
static void ConcurrentRoundFifo(DemuxHandle *base) {
  ConcurrentTakeWaiting();
  uint32_t now = GetTickMs();
  uint32_t wait = CONCURRENT_ROUND_MS;
  int running = 0;
  for (int i = 0; i < Concurrent.count; i++) {
    CollectorTable *t = &Concurrent.tables[i];
    DemuxHandle *h = t->demux;
    if (!t->running) continue;
    uint32_t left = ConcurrentWaitLeft(h, now, 0);
    if (left == 0) {
      h->wait_start = now;
      ConcurrentStep(t, DemuxHandleReadFailed(h, ETIMEDOUT));
      continue;
    }
    running++;
    if (left < wait) wait = left;
  }
  if (!running) return;
  struct pollfd p = {base->fd, POLLIN, 0};
  int r = poll(&p, 1, (int)wait);
  if (r < 0 && errno != EINTR) ConcurrentFailAll();
  if (r <= 0) return;
  uint8_t chunk[TS_PLAY_CHUNK];
  ssize_t got = read(base->fd, chunk, sizeof(chunk));
  if (got == 0) {
    ConcurrentFailAll(); /* the writer has gone: the stream has ended */
    return;
  }
  if (got < 0) {
    if (errno != EAGAIN && errno != EINTR) ConcurrentFailAll();
    return;
  }
  ConcurrentFeed(chunk, (size_t)got);
}

/* Collects until no table is running. */
static void ConcurrentRun(void) {
  DemuxHandle *base = DemuxDefault();
  for (;;) {
    int running = 0;
    for (int i = 0; i < Concurrent.count; i++) running += Concurrent.tables[i].running;
    if (!running) return;
    ShowSpinner();
    if (base->kind == DEMUX_FILE) ConcurrentRoundFile(base);
    else if (base->kind == DEMUX_FIFO) ConcurrentRoundFifo(base);
    else ConcurrentRoundDevices();
  }
}

/* Sets the filter of "table" on "t", beside the default handle "base".
 * Returns 1, or 0 with errno when the demux refused ("what" names the step). */
static int ConcurrentSetUp(CollectorTable *t, DemuxHandle *base, const DemuxTable *table,
                           const char **what) {
  CollectorBegin(t, table->pid, table->filter, table->mask, table->length);
  DemuxHandle *h = t->demux;
  h->hold_log = 1;
  if (base->kind == DEMUX_DEVICE) {
    *what = "open";
    if (!DemuxHandleOpen(h, base->path, 1)) return 0;
  } else {
    h->kind = base->kind;
    h->fd = -1;
    h->shares_stream = 1;
    h->lap_logged = 0;
    h->lost_again = 0;
    TsFilterReset(&h->ts);
    snprintf(h->path, sizeof(h->path), "%s", base->path);
  }
  *what = "filter";
  errno = EINVAL;
  if (!DemuxHandleSetFilter(h, table->pid, table->filter, table->mask, table->length,
                            DEMUX_COLLECT_TIMEOUT))
    return 0;
  t->start = t->last_progress = GetTickMs();
  return 1;
}

int DemuxCollectStart(const DemuxTable *tables, int count) {
  DemuxHandle *base = DemuxDefault();
  DemuxCollectRelease();
  if (count <= 0 || count > DEMUX_TABLES_MAX || base->fd < 0) return 0;
  if (!Concurrent.ready) {
    for (int i = 0; i < DEMUX_TABLES_MAX; i++) {
      DemuxHandleReset(&Concurrent.handles[i]);
      CollectorReset(&Concurrent.tables[i], &Concurrent.handles[i]);
    }
    Concurrent.ready = 1;
  }
  /* A recording is read from its start for every table at once. */
  if (base->kind == DEMUX_FILE && lseek(base->fd, 0, SEEK_SET) != 0) return 0;
  for (int i = 0; i < count; i++) {
    const char *what = "open";
    Concurrent.count = i + 1;
    Concurrent.taken[i] = 0;
    if (!ConcurrentSetUp(&Concurrent.tables[i], base, &tables[i], &what)) {
      int error = errno;
      DemuxCollectRelease();
      DemuxLog(base, "%s() - Demux %s refused a second %s (%s). Reading one table at a time",
               "DemuxCollectStart", base->path, what, strerror(error));
      return 0;
    }
  }
  return 1;
}

int DemuxCollectHolds(uint16_t pid) { return ConcurrentFind(pid) >= 0; }

int DemuxCollectTake(uint16_t pid) {
  int i = ConcurrentFind(pid);
  if (i < 0) return -1;
  ConcurrentRun();
  Concurrent.taken[i] = 1;
  CollectorTable *t = &Concurrent.tables[i];
  DemuxHandle *h = t->demux;
  /* A device queue that overflowed while other tables were read lost
   * sections that a table read alone keeps: that table is read again on
   * its own, now that the others have ended, and its pass sees what a pass
   * one table at a time sees. */
  if (h->kind == DEMUX_DEVICE && h->losses > 0) {
    h->hold_log = 0;
    h->held_log.clear();
    CollectorFreeSections(t);
    WriteLog("%s() - Table on PID 0x%X lost sections while read beside the others. "
             "Reading it again on its own",
             "DemuxCollectTake", pid);
    return DemuxGetAllSections(pid, t->filter, t->mask, t->length);
  }
  DemuxWriteHeldLog(h);
  CollectorTakeSections(t);
  return t->count;
}

void DemuxCollectRelease(void) {
  for (int i = 0; i < Concurrent.count; i++) {
    CollectorTable *t = &Concurrent.tables[i];
    DemuxHandle *h = t->demux;
    if (h->filter_set) DemuxHandleStopFilter(h);
    t->running = 0;
    CollectorFreeSections(t);
    DemuxHandleClose(h);
    h->hold_log = 0;
    h->held_log.clear();
    Concurrent.taken[i] = 0;
  }
  Concurrent.count = 0;
}
