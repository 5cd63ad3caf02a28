/* Event tables: sections of the 3-day (PID 0x234) and 7-day (PID 0x284)
 * MHW2 event tables become records of the guide store. */
#include <string.h>
#include <time.h>

#include "demux/wire.h"
#include "log/log.h"
#include "mhw2/bytes.h"
#include "mhw2/mhw2.h"

/* (-MJD of 1970 * 86400) mod 2^32: moves a day number counted from the MJD
 * epoch to seconds since 1970-01-01 in wrapping 32-bit arithmetic. */
static const uint32_t EVENTS_MJD_EPOCH_OFFSET = 0u - WIRE_MJD_1970 * 86400u;
static_assert(EVENTS_MJD_EPOCH_OFFSET == 788250496u, "MJD epoch offset");
static const int32_t EVENTS_TITLE_MAX = (int32_t)EVENT_TITLE_MAX;

int32_t BcdToDec(uint8_t byte) { return (byte >> 4) * 10 + (byte & 0x0F); }

/* How the entries of an event section are laid out: the count byte (the
 * entries follow it), the offset of an entry's title length byte and its
 * mask, and the entry size beyond the title. */
struct EventsLayout {
  int32_t count_offset;
  int32_t len_offset;
  uint8_t len_mask;
  int32_t fixed;
  const char *label;    /* of the hex dump */
  const char *function; /* named in the messages */
};

static const EventsLayout EVENTS_3DAYS = {17, 18, 0x3F, 22, "MHW event 3 days",
                                          "ProcessMHW2Events3days"};
static const EventsLayout EVENTS_7DAYS = {10, 15, 0xFF, 20, "MHW event 7 days",
                                          "ProcessMHW2Events"};

/* Decides whether an event section is decoded: it must hold its count byte,
 * a count above 0, and entries that end exactly at the end of the section.
 * The size walk stops at the first entry that does not fit (debug line).
 * Returns 1 to decode, 0 to ignore (logged when the sizes disagree). */
static int EventsSectionAccepted(const uint8_t *data, int32_t length, const EventsLayout *layout) {
  if (length <= layout->count_offset) return 0;
  int32_t count = data[layout->count_offset];
  if (count == 0) return 0;
  DebugHexDump(data, length, layout->label);

  int32_t pos = layout->count_offset + 1;
  for (int32_t k = 0; k < count; k++) {
    if (pos + layout->len_offset >= length ||
        pos + (data[pos + layout->len_offset] & layout->len_mask) + layout->fixed > length) {
      WriteDebug("%s() - INVALID EVENT TABLE (ignoring) pos=%d - datelen=%d\n", layout->function,
                 pos, length);
      break;
    }
    pos += (data[pos + layout->len_offset] & layout->len_mask) + layout->fixed;
  }
  if (pos != length) {
    WriteLog("Received invalid section. Ignoring.");
    return 0;
  }
  return 1;
}

/* Fills the start and duration of "record" from the 7 bytes at "p": day
 * number, BCD hour, minute and second, duration word. The caller has
 * checked that the bytes lie inside the section. */
static void EventsDecodeStartUnchecked(EventRecord *record, const uint8_t *p) {
  record->mjd = (uint16_t)Mhw2GetU16Unchecked(p);
  record->hours = (uint8_t)BcdToDec(p[2]);
  record->minutes = (uint8_t)BcdToDec(p[3]);
  record->seconds = (uint8_t)BcdToDec(p[4]);
  uint32_t start = (uint32_t)record->mjd * 86400u + (uint32_t)record->hours * 3600u +
                   (uint32_t)record->minutes * 60u + EVENTS_MJD_EPOCH_OFFSET;
  record->start_time = (int32_t)start;
  record->duration = (uint16_t)(Mhw2GetU16Unchecked(p + 5) >> 4);

  /* The start is unsigned 32-bit seconds: days after 2038-01-19 lie above
   * 2^31 and must not be broken down as dates of 1901. */
  time_t t = (time_t)(uint32_t)record->start_time;
  struct tm local;
  if (!localtime_r(&t, &local)) return;
  record->day = (uint8_t)local.tm_mday;
  record->month = (uint8_t)(local.tm_mon + 1);
  record->year = (uint16_t)(local.tm_year + 1900);
  record->hour = (uint8_t)local.tm_hour;
  record->minute = (uint8_t)local.tm_min;
  record->second = (uint8_t)local.tm_sec;
}

/* At most how many records a section of "layout" decodes into: its count
 * byte, and no more entries than its bytes could hold. */
static int32_t EventsAtMost(const uint8_t *data, int32_t length, const EventsLayout *layout) {
  if (!data || length <= layout->count_offset) return 0;
  int32_t room = (length - layout->count_offset - 1) / layout->fixed;
  return data[layout->count_offset] < room ? data[layout->count_offset] : room;
}

int32_t Mhw2EventsAtMost3days(const uint8_t *data, int32_t length) {
  return EventsAtMost(data, length, &EVENTS_3DAYS);
}

int32_t Mhw2EventsAtMost7days(const uint8_t *data, int32_t length) {
  return EventsAtMost(data, length, &EVENTS_7DAYS);
}

int32_t ProcessMHW2Events3days(uint8_t *data, int32_t length) {
  if (!EventsSectionAccepted(data, length, &EVENTS_3DAYS)) return 0;
  /* The size walk proved that the entries fill the section exactly. */
  int32_t pos = 18, decoded = 0;
  while (pos < length) {
    EventRecord record;
    memset(&record, 0, sizeof(record));
    char title[EVENT_TITLE_MAX + 1] = {0};
    record.title = title;
    const uint8_t *entry = data + pos;
    int32_t title_length = entry[18] & 0x3F;
    pos += title_length + 22;
    record.channel = entry[0];
    if (record.channel >= GuideGetCounters()->channel_count) {
      WriteLog("%s() - Invalid channel id received: %d (ignoring)", "ProcessMHW2Events3days",
               record.channel);
      continue;
    }
    record.summary_id = Mhw2GetU24Unchecked(entry + 4);
    record.mhw_event_id = Mhw2GetU32Unchecked(entry + 7);
    EventsDecodeStartUnchecked(&record, entry + 11);
    memcpy(title, entry + 19, (size_t)title_length);
    record.summary_id_3d = Mhw2GetU16Unchecked(entry + 20 + title_length);
    record.flags = EVENT_HAS_SUMMARY_ID_3D;
    if (!AddEvent3days(&record)) {
      WriteLog("%s() - Fatal Error adding event", "ProcessMHW2Events3days");
      return -1;
    }
    DebugPrintEvent(&record);
    decoded++;
  }
  WriteDebug("%s() - EVENTS IN SECTION %d\n", "ProcessMHW2Events3days", decoded);
  return 0;
}

int32_t ProcessMHW2Events(uint8_t *data, int32_t length) {
  if (!EventsSectionAccepted(data, length, &EVENTS_7DAYS)) return 0;
  uint16_t channel = data[7];
  if (channel >= GuideGetCounters()->channel_count) {
    WriteLog("%s() - Invalid channel id received: %d (ignoring)", "ProcessMHW2Events", channel);
    return 0;
  }
  int32_t pos = 11, decoded = 0;
  while (pos < length) {
    EventRecord record;
    memset(&record, 0, sizeof(record));
    char title[EVENT_TITLE_MAX + 1] = {0};
    record.title = title;
    const uint8_t *entry = data + pos;
    int32_t title_length = entry[15];
    pos += title_length + 20;
    record.channel = channel;
    record.summary_id = Mhw2GetU24Unchecked(entry + 1);
    record.mhw_event_id = Mhw2GetU32Unchecked(entry + 4);
    EventsDecodeStartUnchecked(&record, entry + 8);
    memcpy(title, entry + 16,
           (size_t)(title_length < EVENTS_TITLE_MAX ? title_length : EVENTS_TITLE_MAX));
    record.summary_id2 = (uint16_t)Mhw2GetU16Unchecked(entry + 17 + title_length);
    record.newbyte = entry[19 + title_length];
    if (!AddEvent(&record)) {
      WriteLog("%s() - Fatal Error adding event", "ProcessMHW2Events");
      return -1;
    }
    DebugPrintEvent(&record);
    decoded++;
  }
  WriteDebug("%s() - EVENTS IN SECTION %d\n", "ProcessMHW2Events", decoded);
  return 0;
}
