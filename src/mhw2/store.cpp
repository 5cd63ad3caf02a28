/* Guide store: the channel table, the event list (newest first) with its
 * indexes, and the run counters. */
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "mhw2/mhw2.h"

/* One record of the event list with its place in the indexes. The record
 * comes first, so the list's EventRecord pointers are StoreNode pointers. */
struct StoreNode {
  EventRecord record;
  uint64_t seq;           /* insertion number: larger is nearer the list head */
  StoreNode *sum_newer;   /* chain of the same summary_id, newest first */
  StoreNode *sum_older;
  StoreNode *older_3d;    /* chain of the same summary_id_3d, newest first */
};

static StoreNode *StoreNodeOf(EventRecord *record) { return (StoreNode *)record; }

/* Open-addressing hash table from a 64-bit key to a node pointer: the
 * channel+start index and the heads of the summary chains. Keys are never
 * removed; an empty chain keeps its key with a null head. */
struct StoreEntry {
  uint64_t key;
  StoreNode *value;
};
struct StoreTable {
  std::vector<StoreEntry> slots; /* key and value side by side: one cache line a probe */
  size_t used;
};

static const uint64_t STORE_NO_KEY = ~0ull; /* no channel+start or summary id is this */

static struct {
  ChannelEntry *channels;
  EventRecord *events;
  uint64_t next_seq;
  GuideCounters counters;
  StoreTable by_start;      /* channel << 32 | start_time -> the one record */
  StoreTable by_summary;    /* summary_id -> newest record of its chain */
  StoreTable by_summary_3d; /* summary_id_3d -> newest record carrying it */
} Store;

GuideCounters *StoreCounters(void) { return &Store.counters; }
ChannelEntry *StoreChannels(void) { return Store.channels; }
EventRecord *StoreEventList(void) { return Store.events; }

void StoreSetChannels(ChannelEntry *table, int32_t count) {
  if (Store.channels && Store.channels != table) free(Store.channels);
  Store.channels = table;
  Store.counters.channel_count = count;
}

static uint64_t StoreStartKey(uint16_t channel, int32_t start_time) {
  return ((uint64_t)channel << 32) | (uint32_t)start_time;
}

static size_t StoreHash(uint64_t key, size_t mask) {
  key ^= key >> 33;
  key *= 0xFF51AFD7ED558CCDull;
  key ^= key >> 33;
  key *= 0xC4CEB9FE1A85EC53ull;
  key ^= key >> 33;
  return (size_t)key & mask;
}

/* The value slot of "key", or null when the key is not in "table". */
static StoreNode **StoreTableFind(StoreTable *table, uint64_t key) {
  if (table->slots.empty()) return nullptr;
  size_t mask = table->slots.size() - 1;
  for (size_t i = StoreHash(key, mask);; i = (i + 1) & mask) {
    if (table->slots[i].key == key) return &table->slots[i].value;
    if (table->slots[i].key == STORE_NO_KEY) return nullptr;
  }
}

/* Places "key" in a table known to have room; its value slot. */
static StoreNode **StoreTablePlaceUnchecked(StoreTable *table, uint64_t key) {
  size_t mask = table->slots.size() - 1;
  size_t i = StoreHash(key, mask);
  while (table->slots[i].key != STORE_NO_KEY && table->slots[i].key != key) i = (i + 1) & mask;
  if (table->slots[i].key == STORE_NO_KEY) {
    table->slots[i].key = key;
    table->slots[i].value = nullptr;
    table->used++;
  }
  return &table->slots[i].value;
}

/* Makes room for one more key, doubling the table at half load. Returns 1,
 * or 0 when memory ran out (the table is then unchanged). Container growth
 * reports exhaustion by throwing; it becomes the store's 0 result here. */
static int StoreTableReserve(StoreTable *table) {
  if ((table->used + 1) * 2 <= table->slots.size()) return 1;
  StoreTable grown;
  try {
    size_t size = table->slots.empty() ? 1024 : table->slots.size() * 2;
    grown.slots.assign(size, StoreEntry{STORE_NO_KEY, nullptr});
  } catch (const std::bad_alloc &) {
    return 0;
  }
  grown.used = 0;
  for (const StoreEntry &entry : table->slots)
    if (entry.key != STORE_NO_KEY) *StoreTablePlaceUnchecked(&grown, entry.key) = entry.value;
  table->slots.swap(grown.slots);
  table->used = grown.used;
  return 1;
}

static void StoreTableFree(StoreTable *table) {
  std::vector<StoreEntry>().swap(table->slots);
  table->used = 0;
}

/* Puts "node" into the summary chain of its summary_id, at its place by
 * seq (the chain stays newest first). The table has room for the id. */
static void StoreChainSummaryUnchecked(StoreNode *node) {
  StoreNode **head = StoreTablePlaceUnchecked(&Store.by_summary, node->record.summary_id);
  StoreNode *newer = nullptr, *older = *head;
  while (older && older->seq > node->seq) {
    newer = older;
    older = older->sum_older;
  }
  node->sum_newer = newer;
  node->sum_older = older;
  if (newer) newer->sum_older = node;
  else *head = node;
  if (older) older->sum_newer = node;
}

/* Takes "node" out of the summary chain of its summary_id. */
static void StoreUnchainSummary(StoreNode *node) {
  if (node->sum_newer) node->sum_newer->sum_older = node->sum_older;
  else *StoreTableFind(&Store.by_summary, node->record.summary_id) = node->sum_older;
  if (node->sum_older) node->sum_older->sum_newer = node->sum_newer;
  node->sum_newer = node->sum_older = nullptr;
}

/* The stored record with this channel and start time, or null. */
static StoreNode *StoreFindByStart(uint16_t channel, int32_t start_time) {
  StoreNode **slot = StoreTableFind(&Store.by_start, StoreStartKey(channel, start_time));
  return slot ? *slot : nullptr;
}

/* Copies "record" into a new node at the head of the event list and puts
 * it into the indexes. Returns the node, or null when memory ran out. */
static StoreNode *StoreInsertHead(const EventRecord *record) {
  if (!StoreTableReserve(&Store.by_start) || !StoreTableReserve(&Store.by_summary) ||
      !StoreTableReserve(&Store.by_summary_3d))
    return nullptr;
  StoreNode *node = (StoreNode *)calloc(1, sizeof(StoreNode));
  if (!node) return nullptr;
  memcpy(&node->record, record, sizeof(EventRecord));
  node->seq = Store.next_seq++;
  *StoreTablePlaceUnchecked(&Store.by_start, StoreStartKey(record->channel, record->start_time)) =
      node;
  /* The newest record goes in front of every chain. */
  StoreChainSummaryUnchecked(node);
  if (record->flags & EVENT_HAS_SUMMARY_ID_3D) {
    StoreNode **head = StoreTablePlaceUnchecked(&Store.by_summary_3d, record->summary_id_3d);
    node->older_3d = *head;
    *head = node;
  }
  node->record.next = Store.events;
  Store.events = &node->record;
  return node;
}

int AddEvent3days(EventRecord *record) {
  if (StoreFindByStart(record->channel, record->start_time)) {
    WriteDebug("%s() - WARNING: REPEATED EVENT FOUND IN EVENT LIST. IGNORING.\n", "AddEvent3days");
    return 1;
  }
  if (!StoreInsertHead(record)) {
    WriteLog("%s() - Error: Not enough memory", "AddEvent3days");
    return 0;
  }
  Store.counters.new_3day_events++;
  Store.counters.total_events++;
  return 1;
}

/* The 7-day merge: the stored record takes the 7-day summary ids (moving
 * to the chain of its new summary id); the caller's record gets the stored
 * 3-day summary id. Returns 1, or 0 when memory ran out. */
static int StoreMerge7days(StoreNode *node, EventRecord *record) {
  EventRecord *stored = &node->record;
  if (stored->summary_id != record->summary_id) {
    if (!StoreTableReserve(&Store.by_summary)) return 0;
    StoreUnchainSummary(node);
    stored->summary_id = record->summary_id;
    StoreChainSummaryUnchecked(node);
  }
  stored->summary_id2 = record->summary_id2;
  record->summary_id_3d = stored->summary_id_3d;
  record->flags = (uint8_t)((record->flags & ~EVENT_HAS_SUMMARY_ID_3D) |
                            (stored->flags & EVENT_HAS_SUMMARY_ID_3D));
  return 1;
}

int AddEvent(EventRecord *record) {
  StoreNode *node = StoreFindByStart(record->channel, record->start_time);
  if (node) {
    if (node->record.mhw_event_id != record->mhw_event_id) {
      WriteDebug("%s() - WARNING: SAME EVENT WITH DIFFERENT EVENTID. IGNORING.\n", "AddEvent");
      return 1;
    }
    if (!StoreMerge7days(node, record)) {
      WriteLog("%s() - memory error", "AddEvent");
      return 0;
    }
    return 1;
  }
  if (!StoreInsertHead(record)) {
    WriteLog("%s() - memory error", "AddEvent");
    return 0;
  }
  Store.counters.new_7day_events++;
  Store.counters.total_events++;
  return 1;
}

int StoreVisitSummaryMatches(uint32_t summary_id, int (*visit)(EventRecord *, void *),
                             void *context) {
  StoreNode **a_head = StoreTableFind(&Store.by_summary, summary_id);
  /* 3-day summary ids have 16 bits: a larger id has no 3-day chain. */
  StoreNode **b_head =
      summary_id <= 0xFFFF ? StoreTableFind(&Store.by_summary_3d, summary_id) : nullptr;
  StoreNode *a = a_head ? *a_head : nullptr;
  StoreNode *b = b_head ? *b_head : nullptr;
  /* Both chains are newest first: merged by seq they give the records in
   * list order; a record in both comes once. */
  while (a || b) {
    StoreNode *node;
    if (!b || (a && a->seq > b->seq)) {
      node = a;
      a = a->sum_older;
    } else if (!a || b->seq > a->seq) {
      node = b;
      b = b->older_3d;
    } else {
      node = a;
      a = a->sum_older;
      b = b->older_3d;
    }
    if (!visit(&node->record, context)) return 0;
  }
  return 1;
}

void DebugPrintEvent(const EventRecord *record) {
  const char *name = "";
  if (Store.channels && record->channel < Store.counters.channel_count)
    name = Store.channels[record->channel].name;
  WriteDebug("Channel: %d - %s\n", record->channel, name);
  WriteDebug("Name: %s\n", record->title);
  WriteDebug("EventId: 0x%08X - StartDate: %02d/%02d/%04d - StartTime: %02d:%02d:%02d - Duration: %d min\n",
             record->mhw_event_id, record->day, record->month, record->year, record->hour,
             record->minute, record->second, record->duration);
  WriteDebug("SummaryId: 0x%04X - SummaryId2: %04X - SummaryId3d: 0x%04X - newbyte: %02X\n",
             record->summary_id, record->summary_id2, record->summary_id_3d, record->newbyte);
  WriteDebug("-------------------------\n");
}

void FreeGuide(void) {
  while (Store.events) {
    EventRecord *next = Store.events->next;
    free(StoreNodeOf(Store.events));
    Store.events = next;
  }
  StoreTableFree(&Store.by_start);
  StoreTableFree(&Store.by_summary);
  StoreTableFree(&Store.by_summary_3d);
  Store.next_seq = 0;
  free(Store.channels);
  Store.channels = nullptr;
  ConfigFreeAliases();
}
