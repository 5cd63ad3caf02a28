/* Event export: events of the guide store become titles of the guide
 * database, under their channel and its aliases, optionally in UTF-8. */
#include "export/export.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <unordered_map>

#include "config/config.h"
#include "export/library.h"
#include "log/log.h"
#include "mhw2/mhw2.h"

/* The guide database library the program runs with: the ten calls every
 * receiver's library has, and the channel names where it keeps them. */
static const ExportLibrary *ExportGuideDatabase(void) {
  static const ExportLibrary library = {
      epgdb_channels_add,  ExportLibraryChannelsSetName(), epgdb_title_alloc,
      epgdb_calculate_mjd, epgdb_titles_add,               epgdb_titles_set_description,
      epgdb_titles_set_long_description};
  return &library;
}

/* The UTF-8 name last given to a guide database channel. */
struct ExportNameGiven {
  char utf8[2 * sizeof(ChannelEntry::name) + 1];
};

static struct {
  const ExportLibrary *library; /* null: the library the program runs with */
  int64_t text_limit;  /* bytes of text the run may hand over */
  int64_t text_handed; /* bytes of text handed over so far */
  int32_t left_out;    /* events not stored since the limit was reached */
  /* Channels of this run that got a name, by handle, with that name. */
  std::unordered_map<const epgdb_channel_t *, ExportNameGiven> named;
} Export = {nullptr, EXPORT_TEXT_LIMIT, 0, 0, {}};

void ExportForgetChannels(void) {
  std::unordered_map<const epgdb_channel_t *, ExportNameGiven>().swap(Export.named);
}

void ExportSetLibrary(const ExportLibrary *library) {
  Export.library = library;
  ExportForgetChannels();
}

void ExportSetTextLimit(int64_t bytes) {
  Export.text_limit = bytes > 0 ? bytes : EXPORT_TEXT_LIMIT;
  Export.text_handed = 0;
  Export.left_out = 0;
  ExportForgetChannels();
}

int64_t ExportTextHanded(void) { return Export.text_handed; }
int32_t ExportEventsLeftOut(void) { return Export.left_out; }

/* Every title of the guide is Spanish. */
static const char EXPORT_LANGUAGE[3] = {'s', 'p', 'a'};

extern "C" int isolat1ToUTF8(unsigned char *out, int *out_len, const unsigned char *in,
                             int *in_len) {
  if (!out || !out_len || !in || !in_len) return -1;
  unsigned char *const out_start = out;
  const unsigned char *const in_start = in;
  unsigned char *const out_end = out + (*out_len > 0 ? *out_len : 0);
  const unsigned char *const in_end = in + (*in_len > 0 ? *in_len : 0);
  const unsigned char *in_stop = in_end;

  /* Each turn needs room for two bytes: a byte of 0x80 or above becomes a
   * lead and a continuation byte, then a run of bytes below 0x80 is copied
   * as far as the room goes. */
  while (in < in_end && out_end - out >= 2) {
    if (*in >= 0x80) {
      *out++ = (unsigned char)(0xC0 | (*in >> 6));
      *out++ = (unsigned char)(0x80 | (*in & 0x3F));
      in++;
    }
    if (in_stop - in > out_end - out) in_stop = in + (out_end - out);
    while (in < in_stop && *in < 0x80) *out++ = *in++;
  }
  /* A byte below 0x80 may take the very last byte of room; a two-byte
   * form is never split. */
  if (in < in_end && out < out_end && *in < 0x80) *out++ = *in++;

  *out_len = (int)(out - out_start);
  *in_len = (int)(in - in_start);
  return *out_len;
}

/* The UTF-8 form of "text" in a new zero-filled buffer (caller frees), or
 * null when the buffer cannot be made. */
static char *ExportToUtf8(const char *text) {
  int in_len = (int)strlen(text);
  int room = (in_len + 3) * 2;
  char *buffer = (char *)calloc((size_t)room, 1);
  if (!buffer) return nullptr;
  if (isolat1ToUTF8((unsigned char *)buffer, &room, (const unsigned char *)text, &in_len) < 0) {
    free(buffer);
    return nullptr;
  }
  return buffer;
}

/* The broadcast name of the channel "sid", "tsid", "nid" for a store of
 * "event": the name of the channel table entry with these ids when it has
 * one, else the name of the event's own channel (an alias target without a
 * name of its own). "channels" holds the event's channel. */
static const char *ExportChannelName(const ChannelEntry *channels, const EventRecord *event,
                                     uint16_t sid, uint16_t tsid, uint16_t nid) {
  const ChannelEntry *own = &channels[event->channel];
  if (own->sid == sid && own->tsid == tsid && own->nid == nid) return own->name;
  int32_t count = GuideGetCounters()->channel_count;
  for (int32_t i = 0; i < count; i++) {
    const ChannelEntry *c = &channels[i];
    if (c->sid == sid && c->tsid == tsid && c->nid == nid && c->name[0]) return c->name;
  }
  return own->name;
}

/* Gives "channel" the ISO-8859-1 name "name" as UTF-8: names are metadata of
 * the guide database, so they are converted whatever ConvertToUTF8 says. A
 * channel gets its name the first time the run meets it, and again only
 * when the name it should have changes; a library without channel names
 * gets no call at all. */
static void ExportSetChannelName(const ExportLibrary *lib, epgdb_channel_t *channel,
                                 const char *name) {
  if (!lib->channels_set_name) return;
  /* A name holds at most 15 bytes, each at most two in UTF-8. */
  ExportNameGiven given = {{0}};
  int room = (int)sizeof(given.utf8) - 1;
  int in_len = (int)strnlen(name, sizeof(ChannelEntry::name));
  if (isolat1ToUTF8((unsigned char *)given.utf8, &room, (const unsigned char *)name, &in_len) < 0)
    return;
  auto known = Export.named.find(channel);
  if (known != Export.named.end() && strcmp(known->second.utf8, given.utf8) == 0) return;
  if (!lib->channels_set_name(channel, given.utf8)) {
    WriteLog("%s() - Error: no memory for the name of channel \"%s\" in the guide database",
             "StoreEvent", name);
    return;
  }
  /* Without memory to remember it the name is simply given again next time. */
  try {
    Export.named[channel] = given;
  } catch (const std::bad_alloc &) {
  }
}

/* The two descriptions of one title as the guide database gets them, each
 * in a buffer of its own: the long description "summary title\n\nsummary
 * text", and with UTF-8 on the converted forms of both. */
struct ExportTexts {
  char *long_text;
  char *description_utf8;
  char *long_utf8;
};

static void ExportFreeTexts(ExportTexts *texts) {
  free(texts->long_text);
  free(texts->description_utf8);
  free(texts->long_utf8);
}

/* Makes the texts of "event" with its summary into "texts", before anything
 * goes to the guide database, so that a lack of memory skips the store as a
 * whole. Returns 1, or 0 after logging (nothing is held then). */
static int ExportMakeTexts(const EventRecord *event, const char *summary_title,
                           const char *summary_text, int utf8, ExportTexts *texts) {
  *texts = ExportTexts{nullptr, nullptr, nullptr};
  size_t long_size = strlen(summary_title) + strlen(summary_text) + 64;
  texts->long_text = (char *)malloc(long_size);
  if (!texts->long_text) {
    WriteLog("%s() - Error: Not enough memory for the long description (skipped)", "StoreEvent");
    return 0;
  }
  snprintf(texts->long_text, long_size, "%s\n\n%s", summary_title, summary_text);
  if (!utf8) return 1;
  texts->description_utf8 = ExportToUtf8(event->title);
  texts->long_utf8 = ExportToUtf8(texts->long_text);
  if (texts->description_utf8 && texts->long_utf8) return 1;
  WriteLog("%s() - Error: Not enough memory for the UTF-8 texts (skipped)", "StoreEvent");
  ExportFreeTexts(texts);
  return 0;
}

int StoreEvent(const EventRecord *event, const char *summary_title, const char *summary_text,
               int32_t sid, int32_t tsid, int32_t nid) {
  const ExportLibrary *lib = Export.library ? Export.library : ExportGuideDatabase();
  int utf8 = ConfigSettings()->convert_to_utf8 != 0;
  const ChannelEntry *channels = GuideChannels();
  if (!channels || event->channel >= GuideGetCounters()->channel_count) {
    WriteLog("%s() - Error: event on unknown channel %d (skipped)", "StoreEvent", event->channel);
    return 1;
  }
  /* The minute of the month at which the event starts, local time. */
  uint16_t event_id = (uint16_t)((event->day * 24 + event->hour) * 60 + event->minute);
  WriteDebug("TARNWELL ADDING event - ch:'%s' - %X:%X:%X - TARNWELL event_id=%d\n",
             channels[event->channel].name, (unsigned)sid, (unsigned)tsid, (unsigned)nid,
             event_id);
  DebugPrintEvent(event);

  ExportTexts texts;
  if (!ExportMakeTexts(event, summary_title, summary_text, utf8, &texts)) return 1;

  epgdb_channel_t *channel = lib->channels_add((uint16_t)nid, (uint16_t)tsid, (uint16_t)sid);
  if (!channel) {
    WriteLog("%s() - Error: no guide database channel for %X:%X:%X (skipped)", "StoreEvent",
             (unsigned)sid, (unsigned)tsid, (unsigned)nid);
    ExportFreeTexts(&texts);
    return 1;
  }
  ExportSetChannelName(lib, channel,
                       ExportChannelName(channels, event, (uint16_t)sid, (uint16_t)tsid, (uint16_t)nid));
  epgdb_title_t *record = lib->title_alloc();
  if (!record) {
    WriteLog("%s() - Error: no title record from the guide database (skipped)", "StoreEvent");
    ExportFreeTexts(&texts);
    return 1;
  }
  record->event_id = event_id;
  record->start_time = (uint32_t)event->start_time;
  record->mjd = (uint16_t)lib->calculate_mjd((uint32_t)event->start_time);
  record->length = (uint16_t)((uint32_t)event->duration * 60u);
  memcpy(record->language, EXPORT_LANGUAGE, sizeof(EXPORT_LANGUAGE));
  if (utf8) record->flags |= 0x01;

  epgdb_title_t *title = lib->titles_add(channel, record);
  if (!title) {
    WriteLog("%s() - Error: the guide database refused the title (skipped)", "StoreEvent");
    ExportFreeTexts(&texts);
    return 1;
  }
  /* A text the guide database finds no memory for leaves the title out of
   * its save. */
  int described = lib->set_description(title, utf8 ? texts.description_utf8 : event->title);
  int long_described = lib->set_long_description(title, utf8 ? texts.long_utf8 : texts.long_text);
  if (!described || !long_described)
    WriteLog("%s() - Error: the guide database found no memory for the texts (title left out)",
             "StoreEvent");
  ExportFreeTexts(&texts);
  return 1;
}

/* Whether the alias "alias" stores the events of channel "own" again. */
static int ExportAliasMatches(const AliasEntry *alias, const ChannelEntry *own) {
  return alias->src_sid == own->sid && alias->src_tsid == own->tsid && alias->src_nid == own->nid;
}

/* Counts the text that storing "event" with the summary under "targets"
 * channels hands to the guide database against the run's limit. Returns 1
 * when the event may be stored; 0 when it is left out, because it would
 * pass the limit or an earlier event did (counted, and logged once). */
static int ExportTextAllowed(const EventRecord *event, const char *summary_title,
                             const char *summary_text, int64_t targets) {
  /* The title, and the long description "title\n\ntext". */
  int64_t text = (int64_t)(strlen(event->title) + strlen(summary_title) + 2 + strlen(summary_text));
  if (Export.left_out == 0 && Export.text_handed + text * targets <= Export.text_limit) {
    Export.text_handed += text * targets;
    return 1;
  }
  if (Export.left_out == 0)
    WriteLog("%s() - Decoded text would pass %lld bytes: this and every later event are left out",
             "StoreEventWithAliases", (long long)Export.text_limit);
  Export.left_out++;
  return 0;
}

int StoreEventWithAliases(const EventRecord *event, const char *summary_title,
                          const char *summary_text) {
  const ChannelEntry *channels = GuideChannels();
  if (!channels || event->channel >= GuideGetCounters()->channel_count) {
    WriteLog("%s() - Error: event on unknown channel %d (skipped)", "StoreEventWithAliases",
             event->channel);
    return 1;
  }
  const ChannelEntry *own = &channels[event->channel];
  int64_t targets = 1;
  for (const AliasEntry *alias = ConfigAliasList(); alias; alias = alias->next)
    if (ExportAliasMatches(alias, own)) targets++;
  if (!ExportTextAllowed(event, summary_title, summary_text, targets)) return 1;

  StoreEvent(event, summary_title, summary_text, own->sid, own->tsid, own->nid);
  for (const AliasEntry *alias = ConfigAliasList(); alias; alias = alias->next) {
    if (ExportAliasMatches(alias, own))
      StoreEvent(event, summary_title, summary_text, (int32_t)alias->dst_sid,
                 (int32_t)alias->dst_tsid, (int32_t)alias->dst_nid);
  }
  return 1;
}
