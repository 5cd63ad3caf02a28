/* Section collector: one whole table read on one demux handle until its
 * cycle has passed once, into a section list; the default table and crc32. */
#ifndef MHW2_DEMUX_COLLECTOR_H
#define MHW2_DEMUX_COLLECTOR_H

#include <stdint.h>

#include "demux/demux.h"

/* One collected section, its "length" bytes right behind it (read them
 * with DemuxSectionBytes); the section list is newest first. */
struct RawSection {
  RawSection *next;
  int32_t length;
};

/* The bytes of "section". */
static inline uint8_t *DemuxSectionBytes(RawSection *section) { return (uint8_t *)(section + 1); }

/* A block of a table's sections (collector.cpp). */
struct CollectorBlock;

/* The collection of one table on a demux handle, with its section list. */
struct CollectorTable {
  DemuxHandle *demux;    /* the handle the table is read on */
  int running;           /* collecting: the table's cycle has not passed yet */
  uint16_t pid;
  uint8_t filter[TS_FILTER_SIZE];
  uint8_t mask[TS_FILTER_SIZE];
  int length;
  int32_t count;         /* sections stored */
  uint32_t cycle_marker; /* checksum of the first stored section, 0: none yet */
  uint32_t start;        /* GetTickMs() when the collection began */
  uint32_t last_progress;/* GetTickMs() of the start or the last stored section */
  RawSection *list;
  int64_t list_bytes;    /* the list's cost towards the memory bound */
  CollectorBlock *blocks;/* where the list's sections are kept, newest first */
};

/* Makes "t" an empty collection on "demux". */
void CollectorReset(CollectorTable *t, DemuxHandle *demux);
/* Frees the section list of "t". */
void CollectorFreeSections(CollectorTable *t);
/* Starts collecting a table on "t": frees its list and resets the count,
 * the cycle marker and the clocks. The filter is set by the caller. */
void CollectorBegin(CollectorTable *t, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                    int length);
/* Takes one read result "n" of the collection on "t" (as DemuxGetSection
 * returns it, the section in the buffer of its handle): stores the section,
 * ends the table when its first section comes back, restarts the filter
 * after an empty read, applies the idle timeout and the bounds. Returns 1
 * while the table goes on, 0 when its collection has ended (filter stopped). */
int CollectorStep(CollectorTable *t, int n);
/* Collects one whole table on "t". Returns the number of sections stored,
 * or -1 when the filter cannot be set (list empty). */
int CollectorRun(CollectorTable *t, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                 int length);

/* The default table, on the default demux handle. */

/* Collects one whole table into the section list. Returns the number of
 * sections stored, or -1 when the filter cannot be set (list empty). */
int DemuxGetAllSections(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length);
/* Head of the section list (newest first), or null. */
RawSection *DemuxSectionList(void);
/* Frees every collected section; the list is empty afterwards. */
void FreeSectionList(void);
/* Takes the section list (newest first) away from the default table, which
 * is empty afterwards: the caller frees each section with DemuxSectionFree. */
RawSection *DemuxSectionListTake(void);
/* Frees one section taken with DemuxSectionListTake (node and bytes): the
 * block it is kept in goes once every section in it has been freed. Fastest
 * in the list's order. */
void DemuxSectionFree(RawSection *section);
/* Moves the section list of "from" to the default table, whose own list is
 * freed first. */
void CollectorTakeSections(CollectorTable *from);
/* Replaces the bounds on a collection whose first section never comes back
 * (tests); 0 restores the built-in value of either. Each table has bounds
 * of its own, whether it is read alone or beside others. */
void DemuxSetCollectLimits(uint32_t max_ms, int64_t max_bytes);
/* Bytes that every table holds right now, together. */
int64_t DemuxHeldBytes(void);
/* Bytes of the blocks the sections of every table and every taken list
 * are kept in right now, together (tests). */
int64_t DemuxBlockBytes(void);

extern "C" {
/* CRC-32 with zlib's signature and results; exported by the executable. */
unsigned long crc32(unsigned long crc, const unsigned char *data, unsigned int len);
}

#endif
