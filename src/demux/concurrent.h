/* Every table at once: one filter per table, each on a demux handle of its
 * own, collected together on this thread; each pass then takes its table. */
#ifndef MHW2_DEMUX_CONCURRENT_H
#define MHW2_DEMUX_CONCURRENT_H

#include <stdint.h>

#include "demux/collector.h"

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

#endif
