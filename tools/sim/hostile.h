/* Hostile guides: checksum-valid MHW2 tables whose shape makes the grab's
 * cost grow faster than the stream when the grabber is not linear. */
#ifndef MHW2SIM_HOSTILE_H
#define MHW2SIM_HOSTILE_H

#include <stdint.h>

#include <string>

#include "guide.h"
#include "tables.h"

/* Builds the hostile guide "shape" of "events" events starting on
 * "start_day" (seconds since 1970 at 00:00 UTC) into "guide" and sets the
 * stream options it needs in "opt". Every event has an empty title and
 * shares the summary id 0x0A5A5A on 100 channels, one start per minute:
 *   shared-summary    3-day entries of 22 bytes and one 7-day summary that
 *                     fills a 4096-byte section;
 *   reverse-merge     3-day entries with a summary id each, and 7-day
 *                     entries of the same events, sent backwards in time,
 *                     that move them all to the shared id;
 *   repeated-summary  3-day entries and the shared 7-day summary sent once
 *                     per event.
 * Returns 1, or 0 after a message on stderr. */
int HostileGenerate(const std::string &shape, int events, uint32_t start_day, SimGuide *guide,
                    SimStreamOptions *opt);

#endif
