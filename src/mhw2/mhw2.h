/* MHW2 guide decoding: the in-memory guide store (channel table, event list,
 * counters), the table decoders, the download passes and summary attachment. */
#ifndef MHW2_MHW2_H
#define MHW2_MHW2_H

#include <stddef.h>
#include <stdint.h>

struct ChannelEntry {
  uint16_t nid;
  uint16_t tsid;
  uint16_t sid;
  uint16_t word4; /* fourth word of the table entry; stored, never read */
  char name[16];
};

constexpr uint8_t EVENT_HAS_SUMMARY = 0x01;
/* The record carries a summary_id_3d of its own (decoded from a 3-day entry,
 * or taken over from the stored 3-day record by the 7-day merge). Without
 * it summary_id_3d is not a summary id and never matches a summary. */
constexpr uint8_t EVENT_HAS_SUMMARY_ID_3D = 0x02;

/* Each field as wide as the bytes it is decoded from, so that the guide's
 * many records stay small. */
struct EventRecord {
  /* At most EVENT_TITLE_MAX bytes and a terminator: the decoder's own
   * bytes until the store takes the record, then the store's copy, which
   * every record with the same title shares (guides repeat their titles). */
  const char *title;
  uint32_t mhw_event_id;
  uint32_t summary_id;
  uint32_t summary_id_3d;
  int32_t start_time;
  uint16_t channel;
  uint16_t summary_id2;
  uint16_t mjd;
  uint16_t duration; /* minutes, 12 bits */
  uint16_t year;
  uint8_t hours, minutes, seconds; /* as broadcast (BCD decoded) */
  uint8_t flags;
  uint8_t day, month;
  uint8_t hour, minute, second; /* local time */
  uint8_t newbyte;
};

/* The longest title a record keeps, in bytes. */
constexpr size_t EVENT_TITLE_MAX = 63;

/* Run counters of the guide store. */
struct GuideCounters {
  int32_t channel_count;
  int32_t new_3day_events;
  int32_t new_7day_events;
  int32_t total_events;
  int32_t summaries_attached;
  int32_t summaries_3days;
  int32_t summaries_7days;
  int32_t summaries_without_event;
};

/* Guide store. */
GuideCounters *GuideGetCounters(void);
ChannelEntry *GuideChannels(void);
/* The newest record of the event list, or null; walk it with
 * GuideNextEvent, which gives the next older one (null after the oldest). A
 * whole walk costs a step for every record added since the list was last
 * empty. */
EventRecord *GuideEventList(void);
EventRecord *GuideNextEvent(const EventRecord *record);
int AddEvent3days(EventRecord *record);
int AddEvent(EventRecord *record);
void DebugPrintEvent(const EventRecord *record);
void FreeGuide(void);
/* Makes "table" (heap, "count" entries, owned by the store from now on) the
 * channel table and sets the channel count; a previous table is freed. */
void GuideSetChannels(ChannelEntry *table, int32_t count);
/* Calls "visit" on every record without a summary (EVENT_HAS_SUMMARY clear)
 * that a summary with "summary_id" matches (its summary_id, or its
 * summary_id_3d when it carries one), newest first, each record once; a
 * record that "visit" marks with EVENT_HAS_SUMMARY is never visited again.
 * Stops and returns 0 as soon as "visit" returns 0; returns 1 after the
 * last match. "visit" must not add events or change other records. Costs
 * a bounded number of steps per record visited, whatever the order in which
 * the records came and however often the id is attached. */
int GuideVisitSummaryMatches(uint32_t summary_id, int (*visit)(EventRecord *record, void *context),
                             void *context);
/* How many records a summary with "summary_id" matches, with a summary or
 * without. One lookup. */
int32_t GuideSummaryMatchCount(uint32_t summary_id);
/* Record steps taken by the summary walks (collecting, ordering, merging)
 * since the store was last freed: a measure of their cost for tests. */
uint64_t GuideWalkSteps(void);
/* Entries of the summary id index (tests): none until the first summary
 * is looked up, then one for each summary id a record carries (its 3-day id
 * apart only when it is another); it holds no id that no record carries. */
size_t GuideSummaryIndexSlots(void);
/* Ends the event passes: the channel+start index goes and the summary id
 * index is made, AddEvent3days and AddEvent refuse every record from now on
 * (0, logged), and a record that gets its summary is freed once attachment
 * has handed it over, so the guide is not held twice. */
void GuideEndEvents(void);
/* Makes room for "count" more records at once in the channel+start index,
 * so that an event pass does not double it as its records come (a table
 * that doubles holds its old and its new room at once). A hint: 0 when
 * memory ran out, and the index then grows as the records come. */
int GuideReserveEvents(uint32_t count);
/* Takes "record" out of the event list and frees it (take the next one
 * with GuideNextEvent first). */
void GuideFreeEvent(EventRecord *record);

/* Channel table. */
int32_t DownloadChannelList(void);
int32_t ProcessMHW2Channels(uint8_t *data, int32_t length);

/* Event tables and their passes. */
int32_t BcdToDec(uint8_t byte);
int32_t ProcessMHW2Events3days(uint8_t *data, int32_t length);
int32_t ProcessMHW2Events(uint8_t *data, int32_t length);
int32_t DownloadEvents3days(void);
/* At most how many records an event section of the 3-day or the 7-day
 * table decodes into (its count byte, bounded by its length). */
int32_t Mhw2EventsAtMost3days(const uint8_t *data, int32_t length);
int32_t Mhw2EventsAtMost7days(const uint8_t *data, int32_t length);
int32_t DownloadEvents7days(void);

/* Sets the filters of the event and summary tables of the 3-day ("three_days")
 * and 7-day ("seven_days") downloads at once, so that the passes find their
 * tables collected together, in the time of the longest. Returns 1 when they
 * run, 0 when the passes will read one table at a time. */
int DownloadTablesAtOnce(int three_days, int seven_days);

/* The decoding half of a table download pass: hands every section of
 * "list" (newest first) to "decoder" while it sends the progress lines
 * (ON, one value per section, OFF; none when "tot_sections" is 0 or less).
 * Stops at the first negative decoder result. Returns the number of
 * sections handed to the decoder. */
struct RawSection;
typedef int32_t (*Mhw2Decoder)(uint8_t *data, int32_t length);
int32_t Mhw2PassDecodeSections(RawSection *list, int32_t tot_sections, Mhw2Decoder decoder);

/* Summary tables, their passes and attachment. */
int32_t ProcessMHW2Summaries3days(uint8_t *data, int32_t length);
int32_t ProcessMHW2Summaries7days(uint8_t *data, int32_t length);
void DebugPrintSummary(uint32_t summary_id, const char *title, const char *text);
int32_t DownloadSummaries3days(void);
int32_t DownloadSummaries7days(void);
int AddSummary(uint32_t summary_id, const char *title, const char *text);

#endif
