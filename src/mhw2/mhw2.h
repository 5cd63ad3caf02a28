/* MHW2 guide decoding: the in-memory guide store (channel table, event list,
 * counters), the table decoders, the download passes and summary attachment. */
#ifndef MHW2_MHW2_H
#define MHW2_MHW2_H

#include <stdint.h>

struct ChannelEntry {
  uint16_t nid;
  uint16_t tsid;
  uint16_t sid;
  uint16_t word4; /* fourth word of the table entry; stored, never read */
  char name[16];
};

constexpr uint8_t EVENT_HAS_SUMMARY = 0x01;

struct EventRecord {
  EventRecord *next;
  uint16_t channel;
  uint32_t mhw_event_id;
  uint32_t summary_id;
  uint32_t summary_id2;
  uint32_t summary_id_3d;
  int32_t mjd;
  int32_t hours, minutes, seconds;
  int32_t start_time;
  int32_t duration;
  char title[64];
  uint8_t flags;
  uint8_t day, month;
  uint16_t year;
  uint8_t hour, minute, second;
  uint8_t newbyte;
};

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
GuideCounters *StoreCounters(void);
ChannelEntry *StoreChannels(void);
EventRecord *StoreEventList(void); /* newest first; walk with ->next */
int AddEvent3days(EventRecord *record);
int AddEvent(EventRecord *record);
void DebugPrintEvent(const EventRecord *record);
void FreeGuide(void);

/* Channel table. */
int32_t DownloadChannelList(void);
int32_t ProcessMHW2Channels(uint8_t *data, int32_t length);

/* Event tables and their passes. */
int32_t BcdToDec(uint8_t byte);
int32_t ProcessMHW2Events3days(uint8_t *data, int32_t length);
int32_t ProcessMHW2Events(uint8_t *data, int32_t length);
int32_t DownloadEvents3days(void);
int32_t DownloadEvents7days(void);

/* Summary tables, their passes and attachment. */
int32_t ProcessMHW2Summaries3days(uint8_t *data, int32_t length);
int32_t ProcessMHW2Summaries7days(uint8_t *data, int32_t length);
void DebugPrintSummary(uint32_t summary_id, const char *title, const char *text);
int32_t DownloadSummaries3days(void);
int32_t DownloadSummaries7days(void);
int AddSummary(uint32_t summary_id, const char *title, const char *text);

#endif
