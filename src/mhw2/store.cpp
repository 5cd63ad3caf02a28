/* Guide store: the channel table, the event list (newest first) with its
 * indexes, and the run counters. */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <unordered_map>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "mhw2/mhw2.h"

/* One record of the event list with its insertion number. A larger number
 * means a record nearer the head of the list (newer). */
struct StoreSlot {
  EventRecord *record;
  uint64_t seq;
};

/* Records sharing one summary id, oldest first (ascending seq). */
typedef std::vector<StoreSlot> StoreSlotList;

/* The event list is the linked list the run driver walks; the indexes find
 * a record by channel and start time, and the records of a summary id,
 * without walking the list. Every record is in the start index once, in
 * the summary index under its summary_id, and in the 3-day summary index
 * under its summary_id_3d when it carries one. */
static struct {
  ChannelEntry *channels;
  EventRecord *events;
  uint64_t next_seq;
  GuideCounters counters;
  std::unordered_map<uint64_t, StoreSlot> *by_start;
  std::unordered_map<uint32_t, StoreSlotList> *by_summary;
  std::unordered_map<uint32_t, StoreSlotList> *by_summary_3d;
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

/* Creates the index maps on first use. Returns 1, or 0 when memory ran out. */
static int StoreIndexesReady(void) {
  if (!Store.by_start) Store.by_start = new (std::nothrow) std::unordered_map<uint64_t, StoreSlot>;
  if (!Store.by_summary)
    Store.by_summary = new (std::nothrow) std::unordered_map<uint32_t, StoreSlotList>;
  if (!Store.by_summary_3d)
    Store.by_summary_3d = new (std::nothrow) std::unordered_map<uint32_t, StoreSlotList>;
  return Store.by_start && Store.by_summary && Store.by_summary_3d;
}

/* The stored record with this channel and start time, or null. */
static StoreSlot *StoreFindByStart(uint16_t channel, int32_t start_time) {
  if (!Store.by_start) return nullptr;
  auto it = Store.by_start->find(StoreStartKey(channel, start_time));
  return it == Store.by_start->end() ? nullptr : &it->second;
}

/* Puts "slot" into "list" at its place by seq. */
static void StoreSlotInsert(StoreSlotList &list, const StoreSlot &slot) {
  if (list.empty() || list.back().seq < slot.seq) {
    list.push_back(slot);
    return;
  }
  auto at = std::lower_bound(list.begin(), list.end(), slot.seq,
                             [](const StoreSlot &s, uint64_t seq) { return s.seq < seq; });
  list.insert(at, slot);
}

/* Takes the slot with "seq" out of the list of "id"; the list goes when empty. */
static void StoreSlotRemove(std::unordered_map<uint32_t, StoreSlotList> &index, uint32_t id,
                            uint64_t seq) {
  auto it = index.find(id);
  if (it == index.end()) return;
  StoreSlotList &list = it->second;
  auto at = std::lower_bound(list.begin(), list.end(), seq,
                             [](const StoreSlot &s, uint64_t v) { return s.seq < v; });
  if (at != list.end() && at->seq == seq) list.erase(at);
  if (list.empty()) index.erase(it);
}

/* Indexes a new record. Returns 1, or 0 when memory ran out (the indexes
 * are then as before). Container growth reports exhaustion by throwing;
 * it is turned into the store's 0 result here. */
static int StoreIndexNew(const StoreSlot &slot) {
  if (!StoreIndexesReady()) return 0;
  EventRecord *r = slot.record;
  uint64_t key = StoreStartKey(r->channel, r->start_time);
  int stage = 0;
  try {
    Store.by_start->emplace(key, slot);
    stage = 1;
    StoreSlotInsert((*Store.by_summary)[r->summary_id], slot);
    stage = 2;
    if (r->flags & EVENT_HAS_SUMMARY_ID_3D) StoreSlotInsert((*Store.by_summary_3d)[r->summary_id_3d], slot);
  } catch (const std::bad_alloc &) {
    if (stage >= 2) StoreSlotRemove(*Store.by_summary, r->summary_id, slot.seq);
    if (stage >= 1) Store.by_start->erase(key);
    return 0;
  }
  return 1;
}

/* Copies "record" into a new heap record at the head of the event list and
 * indexes it. Returns the new record, or null when memory ran out. */
static EventRecord *StoreInsertHead(const EventRecord *record) {
  EventRecord *copy = (EventRecord *)calloc(1, sizeof(EventRecord));
  if (!copy) return nullptr;
  memcpy(copy, record, sizeof(EventRecord));
  StoreSlot slot = {copy, Store.next_seq};
  if (!StoreIndexNew(slot)) {
    free(copy);
    return nullptr;
  }
  Store.next_seq++;
  copy->next = Store.events;
  Store.events = copy;
  return copy;
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
 * in the summary index when its id changes); the caller's record gets the
 * stored 3-day summary id. Returns 1, or 0 when memory ran out. */
static int StoreMerge7days(StoreSlot *slot, EventRecord *record) {
  EventRecord *stored = slot->record;
  if (stored->summary_id != record->summary_id) {
    try {
      StoreSlotInsert((*Store.by_summary)[record->summary_id], *slot);
    } catch (const std::bad_alloc &) {
      return 0;
    }
    StoreSlotRemove(*Store.by_summary, stored->summary_id, slot->seq);
    stored->summary_id = record->summary_id;
  }
  stored->summary_id2 = record->summary_id2;
  record->summary_id_3d = stored->summary_id_3d;
  record->flags = (uint8_t)((record->flags & ~EVENT_HAS_SUMMARY_ID_3D) |
                            (stored->flags & EVENT_HAS_SUMMARY_ID_3D));
  return 1;
}

int AddEvent(EventRecord *record) {
  StoreSlot *slot = StoreFindByStart(record->channel, record->start_time);
  if (slot) {
    if (slot->record->mhw_event_id != record->mhw_event_id) {
      WriteDebug("%s() - WARNING: SAME EVENT WITH DIFFERENT EVENTID. IGNORING.\n", "AddEvent");
      return 1;
    }
    if (!StoreMerge7days(slot, record)) {
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
  static const StoreSlotList none;
  const StoreSlotList *a = &none, *b = &none;
  if (Store.by_summary) {
    auto it = Store.by_summary->find(summary_id);
    if (it != Store.by_summary->end()) a = &it->second;
  }
  if (Store.by_summary_3d) {
    auto it = Store.by_summary_3d->find(summary_id);
    if (it != Store.by_summary_3d->end()) b = &it->second;
  }
  /* Both lists are oldest first: walk them from the back, merged by seq,
   * so the records come in list order; a record in both comes once. */
  size_t i = a->size(), j = b->size();
  while (i > 0 || j > 0) {
    EventRecord *record;
    if (j == 0 || (i > 0 && (*a)[i - 1].seq > (*b)[j - 1].seq)) {
      record = (*a)[--i].record;
    } else if (i == 0 || (*b)[j - 1].seq > (*a)[i - 1].seq) {
      record = (*b)[--j].record;
    } else {
      record = (*a)[--i].record;
      --j;
    }
    if (!visit(record, context)) return 0;
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
    free(Store.events);
    Store.events = next;
  }
  delete Store.by_start;
  delete Store.by_summary;
  delete Store.by_summary_3d;
  Store.by_start = nullptr;
  Store.by_summary = nullptr;
  Store.by_summary_3d = nullptr;
  Store.next_seq = 0;
  free(Store.channels);
  Store.channels = nullptr;
  ConfigFreeAliases();
}
