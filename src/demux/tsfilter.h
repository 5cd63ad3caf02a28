/* Transport stream section filter: cuts the sections of one PID out of a
 * stream of 188-byte MPEG-2 packets and keeps those that pass a demux filter. */
#ifndef MHW2_TSFILTER_H
#define MHW2_TSFILTER_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

constexpr int TS_PACKET_SIZE = 188;
constexpr uint8_t TS_SYNC_BYTE = 0x47;
constexpr int TS_FILTER_SIZE = 16;     /* filter bytes, as in the demux API */
constexpr int TS_SECTION_MAX = 4098;   /* 3 header bytes + a 12-bit section_length */
constexpr int TS_PLAY_CHUNK = 64 * TS_PACKET_SIZE;

/* One section filter with its reassembly state. It holds a container (the
 * queue of sections waiting to be taken), so it is made with new or as an
 * object, never with memset: TsFilterReset then puts it in its start state
 * before use. It owns the sections waiting to be taken. */
struct TsFilter {
  int running;                          /* a filter is set */
  uint16_t pid;
  uint8_t filter[TS_FILTER_SIZE];
  uint8_t mask[TS_FILTER_SIZE];
  uint8_t mode[TS_FILTER_SIZE];         /* 0 bits: positive match, 1 bits: negative */
  /* packet alignment over any chunking of the stream */
  uint8_t packet[TS_PACKET_SIZE];
  int packet_fill;
  /* the section being assembled on the PID */
  uint8_t section[TS_SECTION_MAX];
  int section_fill;
  int assembling;
  int last_cc;                          /* -1: none seen since the last discontinuity */
  /* sections that passed the filter, oldest first */
  std::deque<std::vector<uint8_t>> ready;
  /* stream bytes fed since the last section passed the filter or the filter was set */
  uint64_t bytes_since_match;
};

/* Drops everything: no filter, no partial packet, no sections waiting. */
void TsFilterReset(TsFilter *f);
/* Sets the filter on "pid" with "length" (0..16) filter/mask/mode bytes
 * ("mode" may be null: all positive). Sections waiting and the section being
 * assembled are dropped. Returns 1, or 0 when "length" is out of range. */
int TsFilterSet(TsFilter *f, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                const uint8_t *mode, int length);
/* Stops the filter and drops the sections waiting. */
void TsFilterStop(TsFilter *f);
/* A break in the stream (a recording played again from its start): drops
 * the partial packet and the section being assembled. */
void TsFilterDiscontinuity(TsFilter *f);

/* Feeds "length" stream bytes in any chunking: finds the sync bytes, drops
 * packets with the transport error bit, reassembles the filter's PID and
 * queues every whole section that passes. Returns the number queued. */
int TsFilterFeed(TsFilter *f, const uint8_t *data, size_t length);
/* Moves the oldest waiting section into "out" ("size" bytes; a longer
 * section is cut, as a short demux read would). Returns its byte count, 0
 * when none waits. */
int TsFilterTake(TsFilter *f, uint8_t *out, int size);

/* Applies the demux filter to one whole section of "length" bytes: byte 0 of
 * filter/mask/mode against the table id, byte i from 1 on against section
 * byte i + 2. A masked byte beyond the section's end never matches.
 * Returns 1 when the section passes. */
int TsFilterMatch(const TsFilter *f, const uint8_t *section, int length);

/* Results of TsFilterPlayFile. */
constexpr int TS_PLAY_ERROR = -1;   /* the file could not be read (errno set) */
constexpr int TS_PLAY_NONE = 0;     /* a whole lap of the file passed without a section */
constexpr int TS_PLAY_SECTION = 1;  /* a section waits in the filter */
constexpr int TS_PLAY_BUDGET = 2;   /* "budget" bytes were fed without a section */

/* Plays the regular file "fd" as a carousel into "f" from its current
 * offset: at its end it starts again from offset 0 (a discontinuity). Stops
 * as soon as a section waits, after a whole lap of the file without one, or
 * when "budget" bytes (0: unlimited) have been fed; "fed" (may be null)
 * receives the bytes fed by this call. */
int TsFilterPlayFile(TsFilter *f, int fd, uint64_t budget, uint64_t *fed);

#endif
