/* Demux device: filter handles on a DVB demux device or a recorded or piped
 * transport stream, the default handle, auto-detection; no tables above it. */
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

enum DemuxKind { DEMUX_DEVICE, DEMUX_FILE, DEMUX_FIFO };

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
  int lost_again;         /* recordings and pipes: sections found no memory in our
                           * filter, and none got through since */
  uint32_t wait_start;    /* GetTickMs() when the current wait for a section began */
  char path[PATH_SIZE];
  TsFilter ts;            /* recordings and pipes: our own section filter */
  uint8_t buffer[DEMUX_BUFFER_SIZE];
  /* Reads that reported sections lost (a full driver queue, or no memory
   * in our filter) since the handle was opened or this was last cleared. */
  int32_t losses;
  /* While set, messages wait in "held_log" until the table's pass writes
   * them, so the main log reads as if the tables were read one at a time. */
  int hold_log;
  std::vector<std::string> held_log;
};

/* Makes "h" a closed handle with no filter and no messages. */
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
/* A read of a recording or pipe that met sections lost for lack of memory
 * in our filter, as DemuxGetSection reports it: the first loss is an
 * overflow (0), as from a full driver buffer; another before any section
 * got through means memory stays short: -1, logged on "h". */
int DemuxHandleReadLost(DemuxHandle *h);
/* printf-style demux message: to the main log, or held with the handle's
 * table while "hold_log" is set. */
void DemuxLog(DemuxHandle *h, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Writes the messages held by "h" to the main log and stops holding. */
void DemuxWriteHeldLog(DemuxHandle *h);

/* The default handle, behind the functions below. */
DemuxHandle *DemuxDefault(void);
/* Opens the demux device "path" (or a recorded/piped transport stream).
 * Returns 1 when open, 0 when it cannot be opened (logged; errno says why). */
int DemuxInit(const char *path);
/* Closes the open device, if any. Returns 1. */
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

/* Probes /dev/dvb/adapter0/demux0..15 for the MHW2 channel table, writing
 * each probed path into "path" (at least 26 bytes). Returns 1 when found
 * (path holds it), 0 otherwise. No device is left open. */
int DemuxAutoDetect(char *path);

#endif
