/* Demux access: the one demux device (or recorded transport stream), its
 * section filter and section buffer; whole-table collection; auto-detection. */
#ifndef MHW2_DEMUX_H
#define MHW2_DEMUX_H

#include <stdint.h>

constexpr int DEMUX_READ_SIZE = 4098;   /* bytes asked of every read */
constexpr int DEMUX_BUFFER_SIZE = 4100; /* the section buffer; last two bytes stay 0 */

/* Opens the demux device "path" (or a recorded/piped transport stream).
 * Returns 1 when open, 0 when it cannot be opened (logged). */
int DemuxInit(const char *path);
/* Closes the open device, if any. Returns 1. */
int DemuxClose(void);
/* Sets a section filter: "length" (1..16) filter/mask bytes, "timeout" in ms.
 * Returns 1 when running, 0 otherwise (logged). */
int DemuxStartFilter(uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                     int length, uint32_t timeout);
/* Reads one section into the section buffer. Returns its size (> 0),
 * 0 when none came (timeout, overflow, no device), -1 on a read failure. */
int DemuxGetSection(void);
/* Stops the running filter. Returns 1, or 0 when no device is open. */
int DemuxStopFilter(void);
/* The section buffer (DEMUX_BUFFER_SIZE bytes). */
uint8_t *DemuxSectionBuffer(void);

/* One collected section; the section list is newest first. */
struct RawSection {
  RawSection *next;
  int32_t length;
  uint8_t *data;
};

/* Collects one whole table into the section list. Returns the number of
 * sections stored, or -1 when the filter cannot be set (list empty). */
int DemuxGetAllSections(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length);
/* Head of the section list (newest first), or null. */
RawSection *DemuxSectionList(void);
/* Frees every collected section; the list is empty afterwards. */
void FreeSectionList(void);
/* Replaces the bounds on a collection whose first section never comes back
 * (tests); 0 restores the built-in value of either. */
void DemuxSetCollectLimits(uint32_t max_ms, int64_t max_bytes);

/* Probes /dev/dvb/adapter0/demux0..15 for the MHW2 channel table, writing
 * each probed path into "path" (at least 26 bytes). Returns 1 when found
 * (path holds it), 0 otherwise. No device is left open. */
int DemuxAutoDetect(char *path);

extern "C" {
/* CRC-32 with zlib's signature and results; exported by the executable. */
unsigned long crc32(unsigned long crc, const unsigned char *data, unsigned int len);
}

#endif
