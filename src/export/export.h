/* Guide database export: an event with its summary becomes a title of the
 * guide database under its channel and every alias target. */
#ifndef MHW2_EXPORT_H
#define MHW2_EXPORT_H

#include <stdint.h>

#include "epgdb.h"

struct EventRecord;

/* The guide database calls made by the export, in the order StoreEvent
 * makes them. The export uses the library's own functions unless tests put
 * others in place. "channels_set_name" may be null: the library keeps no
 * channel names. */
struct ExportLibrary {
  epgdb_channel_t *(*channels_add)(uint16_t nid, uint16_t tsid, uint16_t sid);
  int (*channels_set_name)(epgdb_channel_t *channel, const char *name);
  epgdb_title_t *(*title_alloc)(void);
  uint32_t (*calculate_mjd)(uint32_t start_time);
  epgdb_title_t *(*titles_add)(epgdb_channel_t *channel, epgdb_title_t *title);
  int (*set_description)(epgdb_title_t *title, const char *text);
  int (*set_long_description)(epgdb_title_t *title, const char *text);
};
/* Replaces the guide database calls (tests); null restores the library's.
 * Forgets the channels named so far, as ExportForgetChannels does. */
void ExportSetLibrary(const ExportLibrary *library);
/* Forgets which channels of the guide database the run has named: their
 * handles end with epgdb_clean(), which the run driver calls after this. */
void ExportForgetChannels(void);

/* The most decoded text one run hands to the guide database: the event
 * titles and long descriptions (summary title, two line feeds, summary
 * text) of every title stored, alias copies included, before any UTF-8
 * conversion. Every title gets its own copy of its summary, so an event
 * entry of 22 bytes that shares a 4 KB summary makes the run build,
 * convert and hand over 4 KB: up to 185 times the stream. A week of a
 * large platform hands over about 10 MB, the simulated week of 200 000
 * events of the benchmark 38 MB; only a stream whose events share long
 * summaries tens of thousands of times reaches the limit. */
constexpr int64_t EXPORT_TEXT_LIMIT = 128ll * 1024 * 1024;

/* Sets the run's limit of decoded text ("bytes"; 0 or less: the default
 * EXPORT_TEXT_LIMIT) and starts counting afresh, nothing handed over,
 * nothing left out and no channel named (tests). */
void ExportSetTextLimit(int64_t bytes);
/* Bytes of decoded text handed to the guide database in this run. */
int64_t ExportTextHanded(void);
/* Events the run left out of the guide database because of the limit. */
int32_t ExportEventsLeftOut(void);

/* Stores "event" with the summary title and text (zero-terminated, used only
 * during the call) under its own channel and under every alias target of
 * that channel, newest alias first. Once the run's decoded text would pass
 * its limit, this event and every later one are left out instead: counted,
 * with one main log line at the first. Returns 1. */
int StoreEventWithAliases(const EventRecord *event, const char *summary_title,
                          const char *summary_text);
/* Stores "event" as one title of the guide database under the channel
 * "sid", "tsid", "nid" (each cut to 16 bits), and, where the library keeps
 * channel names, gives that channel its broadcast name in UTF-8 the first
 * time the run stores under it (and again when that name changes): the name
 * of the channel table entry with these ids, else (an alias target) the name
 * of the event's own channel. A store
 * the guide database or memory cannot take is logged and skipped. Returns 1. */
int StoreEvent(const EventRecord *event, const char *summary_title, const char *summary_text,
               int32_t sid, int32_t tsid, int32_t nid);

extern "C" {
/* ISO-8859-1 to UTF-8; exported by the executable. Returns bytes written or -1. */
int isolat1ToUTF8(unsigned char *out, int *out_len, const unsigned char *in, int *in_len);
}

#endif
