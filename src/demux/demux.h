/* Demux access: demux filter handles (a descriptor of the demux device, or a
 * recorded or piped transport stream, with its section filter, section
 * buffer and the collection of one table), whole-table collection one table
 * at a time or every table at once, and auto-detection. The plain Demux...
 * functions work on the default handle. */
#ifndef MHW2_DEMUX_H
#define MHW2_DEMUX_H

#include "config/path.h"

#include <stdint.h>

#include <string>
#include <vector>

#include "demux/tsfilter.h"

constexpr int DEMUX_READ_SIZE = 4098;   /* bytes asked of every read */
constexpr int DEMUX_BUFFER_SIZE = 4100; /* the section buffer; last two bytes stay 0 */
/* A DVB driver ends a read without a section by its filter's timeout only
 * while no section has come since the filter was set; after that a read on
 * a PID that falls silent would wait for ever. Each wait for a section on a
 * device therefore lasts at most the filter's timeout plus this margin, and
 * a wait that runs out counts as the driver's timeout. */
constexpr int DEMUX_WAIT_MARGIN_MS = 1000;
/* The filter timeout of a table collection, ms. */
constexpr uint32_t DEMUX_COLLECT_TIMEOUT = 1000;

/* One collected section; the section list is newest first. */
struct RawSection {
  RawSection *next;
  int32_t length;
  uint8_t *data;
};

enum DemuxKind { DEMUX_DEVICE, DEMUX_FILE, DEMUX_FIFO };

/* The collection of one table on a handle (see DemuxHandleGetAllSections). */
struct DemuxCollection {
  int running;           /* collecting: the table's cycle has not passed yet */
  uint16_t pid;
  uint8_t filter[TS_FILTER_SIZE];
  uint8_t mask[TS_FILTER_SIZE];
  int length;
  int32_t count;         /* sections stored */
  uint32_t cycle_marker; /* checksum of the first stored section, 0: none yet */
  uint32_t start;        /* GetTickMs() when the collection began */
  uint32_t last_progress;/* GetTickMs() of the start or the last stored section */
};

/* One demux filter handle. Zero state is "closed"; DemuxHandleReset makes it so. */
struct DemuxHandle {
  int fd;                 /* -1: no descriptor of its own */
  DemuxKind kind;
  /* A recording or pipe read once for several filters (every table at once):
   * the stream is fed to this handle's filter by the collection, and a new
   * filter does not play a recording from its start again. */
  int shares_stream;
  uint32_t timeout;       /* the running filter's timeout, ms */
  int filter_set;
  int lap_logged;         /* "No section ... in a whole pass" written for this filter */
  uint32_t wait_start;    /* GetTickMs() when the current wait for a section began */
  char path[PATH_SIZE];
  TsFilter ts;            /* recordings and pipes: our own section filter */
  uint8_t buffer[DEMUX_BUFFER_SIZE];
  /* The section list of the table collected on this handle and its cost
   * towards the collector's memory bound. */
  RawSection *list;
  int64_t list_bytes;
  DemuxCollection collect;
  /* While set, messages wait in "held_log" until the table's pass writes
   * them, so the main log reads as if the tables were read one at a time. */
  int hold_log;
  std::vector<std::string> held_log;
};

/* Makes "h" a closed handle with no filter, no sections and no messages. */
void DemuxHandleReset(DemuxHandle *h);
/* Opens "path" on "h": a demux device (asking for the larger driver buffer),
 * or a regular file or FIFO holding a transport stream. With "quiet" nothing
 * is logged. Returns 1 when open, 0 when it cannot be opened (logged
 * "%s() - Error opening demux (%s)" unless quiet). */
int DemuxHandleOpen(DemuxHandle *h, const char *path, int quiet);
/* Closes the descriptor of "h", if it has one of its own. Returns 1. */
int DemuxHandleClose(DemuxHandle *h);
/* Sets a section filter on "h" without logging. Returns 1 when running, 0 otherwise. */
int DemuxHandleSetFilter(DemuxHandle *h, uint16_t pid, const uint8_t *filter,
                         const uint8_t *mask, int length, uint32_t timeout);
/* As DemuxStartFilter, on "h"; failures go to the handle's log. */
int DemuxHandleStartFilter(DemuxHandle *h, uint16_t pid, const uint8_t *filter,
                           const uint8_t *mask, int length, uint32_t timeout);
/* As DemuxGetSection, on "h". */
int DemuxHandleGetSection(DemuxHandle *h);
/* As DemuxStopFilter, on "h". */
int DemuxHandleStopFilter(DemuxHandle *h);
/* Reads one section from the device descriptor of "h" that poll reported
 * ready. Returns as DemuxGetSection does. */
int DemuxHandleReadReady(DemuxHandle *h);
/* The failed read "error" (an errno value) as DemuxGetSection reports it:
 * 0 for a timeout or an overflow (logged on "h"), -1 for anything else. */
int DemuxHandleReadFailed(DemuxHandle *h, int error);
/* printf-style demux message: to the main log, or held with the handle's
 * table while "hold_log" is set. */
void DemuxLog(DemuxHandle *h, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Writes the messages held by "h" to the main log and stops holding. */
void DemuxWriteHeldLog(DemuxHandle *h);

/* The default handle, behind the functions below. */
DemuxHandle *DemuxDefault(void);
/* Opens the demux device "path" (or a recorded/piped transport stream).
 * Returns 1 when open, 0 when it cannot be opened (logged). */
int DemuxInit(const char *path);
/* Closes the open device, if any, and whatever a collection of every table
 * at once still holds (descriptors, sections). Returns 1. */
int DemuxClose(void);
/* Sets a section filter: "length" (1..16) filter/mask bytes, "timeout" in ms.
 * Returns 1 when running, 0 otherwise (logged). */
int DemuxStartFilter(uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                     int length, uint32_t timeout);
/* Reads one section into the section buffer. Returns its size (> 0),
 * 0 when none came (timeout, overflow, no device), -1 on a read failure or
 * when a recording or pipe has nothing more for the filter: its writer has
 * gone, or a whole pass of the recording never carried the PID. */
int DemuxGetSection(void);
/* Stops the running filter. Returns 1, or 0 when no device is open. */
int DemuxStopFilter(void);
/* The section buffer (DEMUX_BUFFER_SIZE bytes). */
uint8_t *DemuxSectionBuffer(void);

/* Section collector, one table on one handle. */

/* Frees the section list of "h" and gives its bytes back to the bound. */
void DemuxHandleFreeSections(DemuxHandle *h);
/* Starts collecting a table on "h": frees its list and resets the count,
 * the cycle marker and the clocks. The filter is set by the caller. */
void CollectorBegin(DemuxHandle *h, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                    int length);
/* Takes one read result "n" of the collection on "h" (as DemuxGetSection
 * returns it, the section in the handle's buffer): stores the section, ends
 * the table when its first section comes back, restarts the filter after
 * an empty read, applies the idle timeout and the bounds. Returns 1 while
 * the table goes on, 0 when its collection has ended (filter stopped). */
int CollectorStep(DemuxHandle *h, int n);
/* Collects one whole table on "h". Returns the number of sections stored,
 * or -1 when the filter cannot be set (list empty). */
int DemuxHandleGetAllSections(DemuxHandle *h, uint16_t pid, const uint8_t *filter,
                              const uint8_t *mask, int length);
/* Collects one whole table into the section list. Returns the number of
 * sections stored, or -1 when the filter cannot be set (list empty). */
int DemuxGetAllSections(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length);
/* Head of the section list (newest first), or null. */
RawSection *DemuxSectionList(void);
/* Frees every collected section; the list is empty afterwards. */
void FreeSectionList(void);
/* Moves the section list of "from" to the default handle, whose own list
 * is freed first. */
void DemuxTakeSections(DemuxHandle *from);
/* Replaces the bounds on a collection whose first section never comes back
 * (tests); 0 restores the built-in value of either. The byte bound holds
 * for every section held at once, by all tables together. */
void DemuxSetCollectLimits(uint32_t max_ms, int64_t max_bytes);
/* Bytes counted against the collector's memory bound right now. */
int64_t DemuxHeldBytes(void);

/* Every table at once: one filter per table, each on a handle of its own
 * (a descriptor of its own on a demux device; a recording or pipe is read
 * once for all), collected on this thread by polling them all. */

constexpr int DEMUX_TABLES_MAX = 4;

/* One table to collect: its PID and a filter of "length" bytes. */
struct DemuxTable {
  uint16_t pid;
  uint8_t filter[TS_FILTER_SIZE];
  uint8_t mask[TS_FILTER_SIZE];
  int length;
};

/* Sets the filters of "count" tables (at most DEMUX_TABLES_MAX) beside the
 * open default handle. Returns 1 when every filter runs; 0 when nothing was
 * started, after one log line when the demux refused a second open or
 * filter (the tables are then read one at a time, as without this call). */
int DemuxCollectStart(const DemuxTable *tables, int count);
/* 1 when the collection started by DemuxCollectStart holds the table on "pid". */
int DemuxCollectHolds(uint16_t pid);
/* Runs the collection until every table has ended (the spinner turns), then
 * writes the messages of the table on "pid" and moves its sections into the
 * section list. Returns as DemuxGetAllSections would have for that table. */
int DemuxCollectTake(uint16_t pid);
/* Stops every filter, closes the descriptors and frees the sections that the
 * collection still holds. */
void DemuxCollectRelease(void);

/* Probes /dev/dvb/adapter0/demux0..15 for the MHW2 channel table, writing
 * each probed path into "path" (at least 26 bytes). Returns 1 when found
 * (path holds it), 0 otherwise. No device is left open. */
int DemuxAutoDetect(char *path);

extern "C" {
/* CRC-32 with zlib's signature and results; exported by the executable. */
unsigned long crc32(unsigned long crc, const unsigned char *data, unsigned int len);
}

#endif
