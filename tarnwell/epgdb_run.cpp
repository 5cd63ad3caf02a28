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

/* Title records come from blocks of EPGDB_TITLES_PER_BLOCK, so that a title
 * costs its record and no allocator header. Record "n" of the run is
 * record n % EPGDB_TITLES_PER_BLOCK of block n / EPGDB_TITLES_PER_BLOCK;
 * the channels' tables hold that number, and the record keeps it in
 * lib_order. A record the run frees (one that epgdb_titles_add merged into
 * the held title) goes on a free list and is handed out again first;
 * blocks go at epgdb_clean. */
#define EPGDB_TITLE_BLOCK_BITS 6
#define EPGDB_TITLES_PER_BLOCK (1u << EPGDB_TITLE_BLOCK_BITS)
/* lib_state of a record on the free list, which keeps the number + 1 of
 * the next freed record (0: none) at the start of lib_reserved. */
#define EPGDB_TITLE_FREED 0x80

/* The channels and titles this run has added. */
static struct {
  std::unordered_map<uint64_t, epgdb_channel_t *> channel_index; /* by triple */
  std::vector<epgdb_channel_t *> channels;                        /* first added first */
  std::vector<epgdb_title_t *> title_blocks;
  uint32_t titles_made; /* records handed out from the blocks so far */
  uint32_t free_titles; /* number + 1 of the first freed record, 0: none */
} EpgdbRun;

size_t EpgdbRunChannelCount(void) { return EpgdbRun.channels.size(); }

const epgdb_channel_t *EpgdbRunChannel(size_t i) { return EpgdbRun.channels[i]; }

/* Record number "n" of the run. */
static epgdb_title_t *EpgdbTitleAt(uint32_t n) {
  return &EpgdbRun.title_blocks[n >> EPGDB_TITLE_BLOCK_BITS][n & (EPGDB_TITLES_PER_BLOCK - 1)];
}

/* The number + 1 of the freed record after "title" on the free list. */
static uint32_t EpgdbTitleNextFree(const epgdb_title_t *title) {
  uint32_t n;
  memcpy(&n, title->lib_reserved, sizeof n);
  return n;
}

/* The number of "title" in "*n" when it is a record of this run that is
 * not on the free list. Returns 1, or 0 for any other pointer. */
static int EpgdbTitleNumber(const epgdb_title_t *title, uint32_t *n) {
  *n = (uint32_t)title->lib_order;
  return title->lib_order < EpgdbRun.titles_made && EpgdbTitleAt(*n) == title &&
         !(title->lib_state & EPGDB_TITLE_FREED);
}

/* Puts "title" on the free list, after dropping its hold on its texts. */
static void EpgdbTitleFree(epgdb_title_t *title) {
  EpgdbTextRelease(title->description);
  EpgdbTextRelease(title->long_description);
  uint64_t n = title->lib_order;
  memset(title, 0, sizeof *title);
  title->lib_state = EPGDB_TITLE_FREED;
  title->lib_order = n;
  memcpy(title->lib_reserved, &EpgdbRun.free_titles, sizeof EpgdbRun.free_titles);
  EpgdbRun.free_titles = (uint32_t)n + 1;
}

void epgdb_clean(void) {
  /* Titles and texts go block by block, without a walk over the titles. */
  for (epgdb_channel_t *channel : EpgdbRun.channels) {
    free(channel->slots);
    delete channel;
  }
  for (epgdb_title_t *block : EpgdbRun.title_blocks) free(block);
  /* Swapped with empty ones so that their memory goes too. */
  std::vector<epgdb_channel_t *>().swap(EpgdbRun.channels);
  std::unordered_map<uint64_t, epgdb_channel_t *>().swap(EpgdbRun.channel_index);
  std::vector<epgdb_title_t *>().swap(EpgdbRun.title_blocks);
  EpgdbRun.titles_made = EpgdbRun.free_titles = 0;
  EpgdbTextClear();
}

/* The home slot of "start" in a table of "count" slots (a power of two). */
static uint32_t EpgdbTitleHome(uint32_t start, uint32_t count) {
  return (uint32_t)(((uint64_t)start * 0x9E3779B97F4A7C15ull) >> 32) & (count - 1);
}

/* The slot of the title of "channel" at "start", or the free slot where it
 * would go. The table has room. */
static uint32_t EpgdbTitleSlot(const epgdb_channel_t *channel, uint32_t start) {
  uint32_t mask = channel->slot_count - 1, i = EpgdbTitleHome(start, channel->slot_count);
  while (channel->slots[i] && EpgdbTitleAt(channel->slots[i] - 1)->start_time != start)
    i = (i + 1) & mask;
  return i;
}

/* The title in slot "i" of "channel", null when the slot is free. */
static epgdb_title_t *EpgdbSlotTitle(const epgdb_channel_t *channel, uint32_t i) {
  return channel->slots[i] ? EpgdbTitleAt(channel->slots[i] - 1) : nullptr;
}

/* Makes room in the table of "channel" for one more title. Returns 1, or 0
 * when memory runs out (the table then stays as it was). */
static int EpgdbTitleRoom(epgdb_channel_t *channel) {
  if ((uint64_t)(channel->title_count + 1) * 4 <= (uint64_t)channel->slot_count * 3) return 1;
  if (channel->slot_count >= (1u << 30)) return 0;
  uint32_t count = channel->slot_count ? channel->slot_count * 2 : 64;
  uint32_t *slots = (uint32_t *)calloc(count, sizeof *slots);
  if (!slots) return 0;
  for (uint32_t i = 0; i < channel->slot_count; i++) {
    const epgdb_title_t *t = EpgdbSlotTitle(channel, i);
    if (!t) continue;
    uint32_t j = EpgdbTitleHome(t->start_time, count);
    while (slots[j]) j = (j + 1) & (count - 1);
    slots[j] = channel->slots[i];
  }
  free(channel->slots);
  channel->slots = slots;
  channel->slot_count = count;
  return 1;
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
  channel->slots = nullptr;
  channel->slot_count = channel->title_count = 0;
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

/* Makes room for one more record at the end of the blocks. Returns 1, or 0
 * when memory runs out. */
static int EpgdbTitleBlockRoom(void) {
  uint32_t n = EpgdbRun.titles_made;
  if (n == UINT32_MAX - 1) return 0; /* a slot holds the number + 1 */
  if ((n >> EPGDB_TITLE_BLOCK_BITS) < EpgdbRun.title_blocks.size()) return 1;
  epgdb_title_t *block = (epgdb_title_t *)calloc(EPGDB_TITLES_PER_BLOCK, sizeof *block);
  if (!block) return 0;
  try {
    EpgdbRun.title_blocks.push_back(block);
  } catch (const std::bad_alloc &) {
    free(block);
    return 0;
  }
  return 1;
}

epgdb_title_t *epgdb_title_alloc(void) {
  uint32_t n;
  if (EpgdbRun.free_titles) {
    n = EpgdbRun.free_titles - 1;
    EpgdbRun.free_titles = EpgdbTitleNextFree(EpgdbTitleAt(n));
  } else if (EpgdbTitleBlockRoom()) {
    n = EpgdbRun.titles_made++;
  } else {
    EpgdbLog("out of memory for a title");
    return nullptr;
  }
  epgdb_title_t *title = EpgdbTitleAt(n);
  memset(title, 0, sizeof *title);
  title->lib_order = n;
  return title;
}

uint32_t epgdb_calculate_mjd(uint32_t start_time) { return start_time / 86400 + 40587; }

epgdb_title_t *epgdb_titles_add(epgdb_channel_t *channel, epgdb_title_t *title) {
  if (!channel || !title) return nullptr;
  uint32_t number;
  if (!EpgdbTitleNumber(title, &number)) {
    EpgdbLog("a title of channel %u:%u:%u refused: not a record of epgdb_title_alloc",
             channel->nid, channel->tsid, channel->sid);
    return nullptr;
  }
  epgdb_title_t *held =
      channel->slot_count ? EpgdbSlotTitle(channel, EpgdbTitleSlot(channel, title->start_time))
                          : nullptr;
  if (!held) {
    if (!EpgdbTitleRoom(channel)) {
      EpgdbLog("out of memory for a title of channel %u:%u:%u", channel->nid, channel->tsid,
               channel->sid);
      EpgdbTitleFree(title);
      return nullptr;
    }
    channel->slots[EpgdbTitleSlot(channel, title->start_time)] = number + 1;
    channel->title_count++;
    return title;
  }
  if (held == title) return held;
  held->event_id = title->event_id;
  held->mjd = title->mjd;
  held->length = title->length;
  held->flags = title->flags;
  memcpy(held->language, title->language, sizeof held->language);
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

size_t EpgdbChannelSaved(const epgdb_channel_t *channel, int *incomplete) {
  size_t saved = 0;
  for (uint32_t i = 0; i < channel->slot_count; i++) {
    const epgdb_title_t *t = EpgdbSlotTitle(channel, i);
    if (t && (t->lib_state & EPGDB_LACKS_TEXT)) (*incomplete)++;
    else if (t) saved++;
  }
  return saved;
}

void EpgdbChannelTitles(const epgdb_channel_t *channel, std::vector<epgdb_title_t *> &out) {
  out.clear();
  for (uint32_t i = 0; i < channel->slot_count; i++) {
    epgdb_title_t *t = EpgdbSlotTitle(channel, i);
    if (t && !(t->lib_state & EPGDB_LACKS_TEXT)) out.push_back(t);
  }
  std::sort(out.begin(), out.end(), [](const epgdb_title_t *a, const epgdb_title_t *b) {
    return a->start_time < b->start_time;
  });
}
