/* Guide database library, the run: the channels and titles handed over since
 * the last clean, held in memory until a save writes them. */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "epgdb_internal.h"

/* The channels and titles this run has added. */
static struct {
  std::unordered_map<uint64_t, epgdb_channel_t *> channel_index; /* by triple */
  std::vector<epgdb_channel_t *> channels;                        /* first added first */
  uint64_t next_order;
} EpgdbRun;

size_t EpgdbRunChannelCount(void) { return EpgdbRun.channels.size(); }

const epgdb_channel_t *EpgdbRunChannel(size_t i) { return EpgdbRun.channels[i]; }

/* Frees a title record and its hold on its texts. */
static void EpgdbTitleFree(epgdb_title_t *title) {
  EpgdbTextRelease(title->description);
  EpgdbTextRelease(title->long_description);
  free(title);
}

void epgdb_clean(void) {
  for (epgdb_channel_t *channel : EpgdbRun.channels) {
    for (auto &entry : channel->titles) EpgdbTitleFree(entry.second);
    delete channel;
  }
  /* Swapped with empty ones so that their memory goes too. */
  std::vector<epgdb_channel_t *>().swap(EpgdbRun.channels);
  std::unordered_map<uint64_t, epgdb_channel_t *>().swap(EpgdbRun.channel_index);
  EpgdbTextClear();
  EpgdbRun.next_order = 0;
}

epgdb_channel_t *epgdb_channels_add(uint16_t nid, uint16_t tsid, uint16_t sid) {
  uint64_t key = (uint64_t)nid << 32 | (uint64_t)tsid << 16 | sid;
  auto found = EpgdbRun.channel_index.find(key);
  if (found != EpgdbRun.channel_index.end()) return found->second;
  epgdb_channel_t *channel = new (std::nothrow) epgdb_channel_t;
  if (!channel) {
    EpgdbLog("out of memory for channel %u:%u:%u", nid, tsid, sid);
    return nullptr;
  }
  channel->nid = nid;
  channel->tsid = tsid;
  channel->sid = sid;
  try {
    EpgdbRun.channels.push_back(channel);
    try {
      EpgdbRun.channel_index.emplace(key, channel);
    } catch (const std::bad_alloc &) {
      EpgdbRun.channels.pop_back();
      throw;
    }
  } catch (const std::bad_alloc &) {
    EpgdbLog("out of memory for channel %u:%u:%u", nid, tsid, sid);
    delete channel;
    return nullptr;
  }
  return channel;
}

int epgdb_channels_set_name(epgdb_channel_t *channel, const char *name) {
  if (!channel || !name) return 0;
  if (channel->name == name) return 1;
  try {
    channel->name = name;
  } catch (const std::bad_alloc &) {
    EpgdbLog("out of memory for the name of channel %u:%u:%u", channel->nid, channel->tsid,
             channel->sid);
    return 0;
  }
  return 1;
}

epgdb_title_t *epgdb_title_alloc(void) {
  epgdb_title_t *title = (epgdb_title_t *)calloc(1, sizeof(epgdb_title_t));
  if (!title) EpgdbLog("out of memory for a title");
  return title;
}

uint32_t epgdb_calculate_mjd(uint32_t start_time) { return start_time / 86400 + 40587; }

epgdb_title_t *epgdb_titles_add(epgdb_channel_t *channel, epgdb_title_t *title) {
  if (!channel || !title) return nullptr;
  uint64_t order = ++EpgdbRun.next_order;
  auto found = channel->titles.find(title->start_time);
  if (found == channel->titles.end()) {
    try {
      channel->titles.emplace(title->start_time, title);
    } catch (const std::bad_alloc &) {
      EpgdbLog("out of memory for a title of channel %u:%u:%u", channel->nid, channel->tsid,
               channel->sid);
      EpgdbTitleFree(title);
      return nullptr;
    }
    title->lib_order = order;
    return title;
  }
  epgdb_title_t *held = found->second;
  if (held == title) {
    held->lib_order = order;
    return held;
  }
  held->event_id = title->event_id;
  held->mjd = title->mjd;
  held->length = title->length;
  held->flags = title->flags;
  memcpy(held->language, title->language, sizeof held->language);
  held->lib_order = order;
  /* Texts set on the new record before it was added are taken over, with
   * the marks of texts that found no memory. */
  for (uint8_t lacks : {EPGDB_LACKS_DESCRIPTION, EPGDB_LACKS_LONG_DESCRIPTION}) {
    char **from = lacks == EPGDB_LACKS_DESCRIPTION ? &title->description : &title->long_description;
    char **to = lacks == EPGDB_LACKS_DESCRIPTION ? &held->description : &held->long_description;
    if (!*from && !(title->lib_state & lacks)) continue;
    std::swap(*to, *from);
    held->lib_state = (uint8_t)((held->lib_state & ~lacks) | (title->lib_state & lacks));
  }
  EpgdbTitleFree(title);
  return held;
}

int epgdb_titles_set_description(epgdb_title_t *title, const char *text) {
  return title ? EpgdbSetText(title, EPGDB_LACKS_DESCRIPTION, text) : 0;
}

int epgdb_titles_set_long_description(epgdb_title_t *title, const char *text) {
  return title ? EpgdbSetText(title, EPGDB_LACKS_LONG_DESCRIPTION, text) : 0;
}

void EpgdbChannelTitles(const epgdb_channel_t *channel, std::vector<epgdb_title_t *> &out,
                        int *incomplete) {
  size_t first = out.size();
  for (const auto &entry : channel->titles) {
    if (entry.second->lib_state & EPGDB_LACKS_TEXT) (*incomplete)++;
    else out.push_back(entry.second);
  }
  std::sort(out.begin() + first, out.end(), [](const epgdb_title_t *a, const epgdb_title_t *b) {
    return a->start_time < b->start_time;
  });
}
