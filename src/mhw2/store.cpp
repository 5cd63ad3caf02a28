/* Guide store: the channel table, the event list (newest first) with its
 * indexes, and the run counters. */
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "mhw2/mhw2.h"
#include "mhw2/store_table.h"

/* The two summary ids a record may be matched by: its summary_id, and its
 * summary_id_3d when it carries one. */
enum GuideBagKind { STORE_BAG_ID, STORE_BAG_ID_3D, STORE_BAG_KINDS };

/* One record of the event list with its place in the indexes. The record
 * comes last and is cut behind its title's terminator, so a node costs the
 * title it has rather than the longest one. A record without a summary
 * waits in the bag of its summary_id and, when it carries one, in the bag
 * of its summary_id_3d: doubly linked and in no particular order, so that
 * joining, leaving and moving cost one step. A record that got its summary
 * leaves a bag when that bag is next walked, or when the record goes. */

/* The links between nodes are 32-bit: a node's seq plus one, 0 for none,
 * found through the store's table of nodes by seq (GuideAt), so that a link
 * costs half a pointer. */
typedef uint32_t GuideLink;

struct GuideNode {
  uint32_t seq;                        /* insertion number: larger is nearer the list head */
  uint8_t in_bag[STORE_BAG_KINDS];     /* 1 while in the bag of that kind */
  GuideLink bag_prev[STORE_BAG_KINDS];
  GuideLink bag_next[STORE_BAG_KINDS];
  GuideLink walk_next;                 /* the attachment walk, newest first */
  GuideLink newer;                     /* the event list backwards, so that a record can leave it */
  EventRecord record;                  /* up to its title's terminator */
};
static_assert(offsetof(GuideNode, record) <= 32, "a node's links fit in 32 bytes");

static GuideNode *GuideNodeOf(EventRecord *record) {
  return (GuideNode *)((char *)record - offsetof(GuideNode, record));
}

/* The index entry of one summary id: the records a summary with that id
 * matches, as the two bags of those still without a summary and counts of
 * all of them. */
struct GuideSummaryIds {
  uint64_t key;
  /* The records without a summary yet: summary_id == key, and carrying
   * summary_id_3d == key. */
  GuideLink waiting[STORE_BAG_KINDS];
  uint32_t matches;    /* summary_id == key */
  uint32_t matches_3d; /* carrying summary_id_3d == key with another summary_id */
};

/* The channel+start index entry: the record alone, whose channel and start
 * are the key, so that the index costs a pointer a slot. */
struct GuideStartEntry {
  GuideNode *node; /* null: an empty slot */
};

static uint64_t GuideStartKey(uint16_t channel, int32_t start_time) {
  return ((uint64_t)channel << 32) | (uint32_t)start_time;
}

/* The key of an index entry, STORE_NO_KEY for an empty slot, and how an
 * entry gets its key. */
static uint64_t GuideEntryKey(const GuideSummaryIds &entry) { return entry.key; }
static uint64_t GuideEntryKey(const GuideStartEntry &entry) {
  return entry.node ? GuideStartKey(entry.node->record.channel, entry.node->record.start_time)
                    : STORE_NO_KEY;
}
static void GuideEntrySetKey(GuideSummaryIds *entry, uint64_t key) { entry->key = key; }
/* A start entry takes its key with its record, which the caller sets. */
static void GuideEntrySetKey(GuideStartEntry *, uint64_t) {}

/* Insertion numbers end here: no run holds that many events, and one more
 * is refused like an allocation that failed. */
static const uint32_t STORE_SEQ_MAX = 0xFFFFFFFFu;
/* Below this many records a walk is sorted by insertion; from it on by
 * radix, 8 bits of seq a round. */
static const uint32_t STORE_RADIX_FROM = 32;

static struct {
  ChannelEntry *channels;
  EventRecord *events;
  uint32_t next_seq;
  uint64_t walk_steps;
  /* The event passes are over (GuideEndEvents): no record is added any
   * more, and a record that gets its summary has been handed over and goes. */
  int events_ended;
  /* The summary id index is built: it is made when the first summary is
   * looked up (or the event passes end), from then on kept up to date. Until
   * then the event passes pay neither its memory nor its upkeep. */
  int indexed;
  GuideCounters counters;
  /* The node of each seq handed out, null once freed: what a link leads
   * to. Grows by half as records come; freed with the last record. */
  GuideNode **nodes;
  uint32_t nodes_size;
  GuideTable<GuideStartEntry> by_start;   /* channel << 32 | start_time -> the one record */
  GuideTable<GuideSummaryIds> by_summary; /* summary id -> the records it matches */
} Store;

GuideCounters *GuideGetCounters(void) { return &Store.counters; }
ChannelEntry *GuideChannels(void) { return Store.channels; }
EventRecord *GuideEventList(void) { return Store.events; }
uint64_t GuideWalkSteps(void) { return Store.walk_steps; }
size_t GuideSummaryIndexSlots(void) { return Store.by_summary.slots.size(); }

void GuideSetChannels(ChannelEntry *table, int32_t count) {
  if (Store.channels && Store.channels != table) free(Store.channels);
  Store.channels = table;
  Store.counters.channel_count = count;
}

static GuideNode *GuideAt(GuideLink link) { return link ? Store.nodes[link - 1] : nullptr; }
static GuideLink GuideLinkTo(const GuideNode *node) { return node ? node->seq + 1 : 0; }

/* Room in the node table for the seq "seq". Returns 1, or 0 when memory ran
 * out (the table is then unchanged). */
static int GuideNodesReserve(uint32_t seq) {
  if (seq < Store.nodes_size) return 1;
  uint64_t size = Store.nodes_size < 1024 ? 1024 : Store.nodes_size;
  while (size <= seq) size += size / 2;
  if (size > STORE_SEQ_MAX) size = STORE_SEQ_MAX;
  if (size > SIZE_MAX / sizeof(GuideNode *)) return 0;
  GuideNode **grown = (GuideNode **)realloc(Store.nodes, (size_t)size * sizeof(GuideNode *));
  if (!grown) return 0;
  Store.nodes = grown;
  Store.nodes_size = (uint32_t)size;
  return 1;
}

static int GuideCarries3d(const GuideNode *node) {
  return (node->record.flags & EVENT_HAS_SUMMARY_ID_3D) != 0;
}

/* Puts "node" into the bag "kind" of "ids". */
static void GuideBagJoin(GuideSummaryIds *ids, GuideBagKind kind, GuideNode *node) {
  node->in_bag[kind] = 1;
  node->bag_prev[kind] = 0;
  node->bag_next[kind] = ids->waiting[kind];
  if (ids->waiting[kind]) GuideAt(ids->waiting[kind])->bag_prev[kind] = GuideLinkTo(node);
  ids->waiting[kind] = GuideLinkTo(node);
}

/* Takes "node" out of the bag "kind" of "ids". */
static void GuideBagLeave(GuideSummaryIds *ids, GuideBagKind kind, GuideNode *node) {
  if (node->bag_prev[kind]) GuideAt(node->bag_prev[kind])->bag_next[kind] = node->bag_next[kind];
  else ids->waiting[kind] = node->bag_next[kind];
  if (node->bag_next[kind]) GuideAt(node->bag_next[kind])->bag_prev[kind] = node->bag_prev[kind];
  node->bag_prev[kind] = node->bag_next[kind] = 0;
  node->in_bag[kind] = 0;
}

/* Enters "node" in the summary id index under its summary ids. The index
 * has room for two new ids. */
static void GuideIndexSummaryUnchecked(GuideNode *node) {
  const EventRecord *r = &node->record;
  int waiting = !(r->flags & EVENT_HAS_SUMMARY);
  GuideSummaryIds *ids = GuideTablePlaceUnchecked(&Store.by_summary, r->summary_id);
  ids->matches++;
  if (waiting) GuideBagJoin(ids, STORE_BAG_ID, node);
  if (GuideCarries3d(node)) {
    GuideSummaryIds *ids_3d = GuideTablePlaceUnchecked(&Store.by_summary, r->summary_id_3d);
    if (r->summary_id_3d != r->summary_id) ids_3d->matches_3d++;
    if (waiting) GuideBagJoin(ids_3d, STORE_BAG_ID_3D, node);
  }
}

/* Moves "node" from the index entries of its summary_id to those of
 * "summary_id", another id. Takes no memory: the id left behind goes when
 * no record carries it any more, before the new one is placed; the index
 * has room for one new id (GuideMerge7days). */
static void GuideMoveSummaryUnchecked(GuideNode *node, uint32_t summary_id) {
  EventRecord *r = &node->record;
  int carries_3d = GuideCarries3d(node);
  GuideSummaryIds *from = GuideTableFind(&Store.by_summary, r->summary_id);
  from->matches--;
  if (node->in_bag[STORE_BAG_ID]) GuideBagLeave(from, STORE_BAG_ID, node);
  /* A 3-day id equal to the old summary_id now counts apart from it. */
  if (carries_3d && r->summary_id_3d == r->summary_id) from->matches_3d++;
  if (from->matches == 0 && from->matches_3d == 0)
    GuideTableRemoveUnchecked(&Store.by_summary, r->summary_id);
  GuideSummaryIds *to = GuideTablePlaceUnchecked(&Store.by_summary, summary_id);
  to->matches++;
  if (!(r->flags & EVENT_HAS_SUMMARY)) GuideBagJoin(to, STORE_BAG_ID, node);
  /* A 3-day id equal to the new summary_id counts with it from now on. */
  if (carries_3d && r->summary_id_3d == summary_id) to->matches_3d--;
  r->summary_id = summary_id;
}

/* The stored record with this channel and start time, or null. */
static GuideNode *GuideFindByStart(uint16_t channel, int32_t start_time) {
  GuideStartEntry *entry = GuideTableFind(&Store.by_start, GuideStartKey(channel, start_time));
  return entry ? entry->node : nullptr;
}

/* Copies "record" into a new node at the head of the event list and puts
 * it into the indexes. Returns the node, or null when memory ran out. */
static GuideNode *GuideInsertHead(const EventRecord *record) {
  /* Room for the summary ids this record may bring: the index is sized by
   * the ids the stream carries, not by the records. */
  if (Store.next_seq == STORE_SEQ_MAX || !GuideNodesReserve(Store.next_seq) ||
      !GuideTableReserve(&Store.by_start, Store.by_start.used + 1) ||
      (Store.indexed && !GuideTableReserve(&Store.by_summary, Store.by_summary.used + 2)))
    return nullptr;
  size_t title_length = strnlen(record->title, sizeof(record->title) - 1);
  size_t fixed = offsetof(GuideNode, record) + offsetof(EventRecord, title);
  GuideNode *node = (GuideNode *)calloc(1, fixed + title_length + 1);
  if (!node) return nullptr;
  memcpy(&node->record, record, offsetof(EventRecord, title));
  memcpy(node->record.title, record->title, title_length); /* the terminator is calloc's */
  node->seq = Store.next_seq++;
  Store.nodes[node->seq] = node;
  GuideTablePlaceUnchecked(&Store.by_start, GuideStartKey(record->channel, record->start_time))
      ->node = node;
  if (Store.indexed) GuideIndexSummaryUnchecked(node);
  node->record.next = Store.events;
  if (Store.events) GuideNodeOf(Store.events)->newer = GuideLinkTo(node);
  Store.events = &node->record;
  return node;
}

/* Takes "node" out of the event list, its bags and the channel+start index,
 * and frees it. The counts of its summary ids stay: they say how often a
 * summary matched, attached or not. */
static void GuideRelease(GuideNode *node) {
  EventRecord *r = &node->record;
  for (int kind = 0; kind < STORE_BAG_KINDS; kind++) {
    if (!node->in_bag[kind]) continue;
    uint32_t id = kind == STORE_BAG_ID ? r->summary_id : r->summary_id_3d;
    GuideBagLeave(GuideTableFind(&Store.by_summary, id), (GuideBagKind)kind, node);
  }
  if (!Store.by_start.slots.empty())
    GuideTableRemoveUnchecked(&Store.by_start, GuideStartKey(r->channel, r->start_time));
  if (node->newer) GuideAt(node->newer)->record.next = r->next;
  else Store.events = r->next;
  if (r->next) GuideNodeOf(r->next)->newer = node->newer;
  Store.nodes[node->seq] = nullptr;
  free(node);
  /* The last record gone: so is the table that led to them. */
  if (!Store.events) {
    free(Store.nodes);
    Store.nodes = nullptr;
    Store.nodes_size = 0;
  }
}

/* One more than the number of different summary ids the records carry, or
 * 0 when counting them would not pay. Ids below 2^24, the widest the tables
 * carry, are counted exactly with a bitmap as long as the largest of them;
 * each larger one counts alone. The bitmap goes before the index is made,
 * so it pays when it is smaller than the half of the index that a growing
 * index holds twice: for few carried ids, or many ids that share a small
 * range, the index grows instead. */
static size_t GuideDistinctSummaryIds(void) {
  const uint32_t limit = 1u << 24;
  size_t carried = 0;
  uint32_t largest = 0;
  for (EventRecord *e = Store.events; e; e = e->next) {
    const uint32_t ids[2] = {e->summary_id, e->summary_id_3d};
    for (int k = 0; k < ((e->flags & EVENT_HAS_SUMMARY_ID_3D) ? 2 : 1); k++) {
      carried++;
      if (ids[k] < limit && ids[k] > largest) largest = ids[k];
    }
  }
  size_t words = largest / 64 + 1;
  if (words * sizeof(uint64_t) > carried * sizeof(GuideSummaryIds) / 2) return 0;
  uint64_t *seen = (uint64_t *)calloc(words, sizeof(uint64_t));
  if (!seen) return 0;
  size_t distinct = 1;
  for (EventRecord *e = Store.events; e; e = e->next) {
    const uint32_t ids[2] = {e->summary_id, e->summary_id_3d};
    for (int k = 0; k < ((e->flags & EVENT_HAS_SUMMARY_ID_3D) ? 2 : 1); k++) {
      uint64_t bit = 1ull << (ids[k] & 63);
      if (ids[k] >= limit) distinct++;
      else if (!(seen[ids[k] >> 6] & bit)) {
        seen[ids[k] >> 6] |= bit;
        distinct++;
      }
    }
  }
  free(seen);
  return distinct;
}

/* Builds the summary id index from the event list, oldest record first, so
 * that each bag comes out newest first as if the records had been indexed
 * as they came. Returns 1, or 0 when memory ran out (logged; nothing is
 * indexed then, and the next lookup tries again). */
static int GuideBuildSummaryIndex(void) {
  if (Store.indexed) return 1;
  GuideNode *oldest = nullptr;
  for (EventRecord *e = Store.events; e; e = e->next) oldest = GuideNodeOf(e);
  /* Sized once for the ids there are where counting them pays, so that
   * the index is not held twice while it grows; otherwise it grows as it
   * fills. */
  size_t distinct = GuideDistinctSummaryIds();
  int sized = distinct > 0 && GuideTableReserve(&Store.by_summary, distinct);
  for (GuideNode *n = oldest; n; n = GuideAt(n->newer)) {
    if (!sized && !GuideTableReserve(&Store.by_summary, Store.by_summary.used + 2)) {
      for (GuideNode *m = oldest; m != n; m = GuideAt(m->newer)) {
        m->in_bag[STORE_BAG_ID] = m->in_bag[STORE_BAG_ID_3D] = 0;
        m->bag_prev[STORE_BAG_ID] = m->bag_next[STORE_BAG_ID] = 0;
        m->bag_prev[STORE_BAG_ID_3D] = m->bag_next[STORE_BAG_ID_3D] = 0;
      }
      GuideTableFree(&Store.by_summary);
      WriteLog("%s() - Error: Not enough memory for the summary index", "AddSummary");
      return 0;
    }
    GuideIndexSummaryUnchecked(n);
  }
  Store.indexed = 1;
  return 1;
}

void GuideEndEvents(void) {
  /* The channel+start index goes before the summary index is made. */
  GuideTableFree(&Store.by_start);
  Store.events_ended = 1;
  GuideBuildSummaryIndex();
}

void GuideFreeEvent(EventRecord *record) { GuideRelease(GuideNodeOf(record)); }

/* Refuses a record once the event passes are over (logged for "function"). */
static int GuideEventsOver(const char *function) {
  if (!Store.events_ended) return 0;
  WriteLog("%s() - Error: event added after the event tables", function);
  return 1;
}

int AddEvent3days(EventRecord *record) {
  if (GuideEventsOver("AddEvent3days")) return 0;
  if (GuideFindByStart(record->channel, record->start_time)) {
    WriteDebug("%s() - WARNING: REPEATED EVENT FOUND IN EVENT LIST. IGNORING.\n", "AddEvent3days");
    return 1;
  }
  if (!GuideInsertHead(record)) {
    WriteLog("%s() - Error: Not enough memory", "AddEvent3days");
    return 0;
  }
  Store.counters.new_3day_events++;
  Store.counters.total_events++;
  return 1;
}

/* The 7-day merge: the stored record takes the 7-day summary ids (moving
 * to the index entries of its new summary id); the caller's record gets the
 * stored 3-day summary id. Returns 1, or 0 when the summary index found no
 * room for a new id (nothing changed then). */
static int GuideMerge7days(GuideNode *node, EventRecord *record) {
  EventRecord *stored = &node->record;
  if (stored->summary_id != record->summary_id && Store.indexed) {
    if (!GuideTableReserve(&Store.by_summary, Store.by_summary.used + 1)) return 0;
    GuideMoveSummaryUnchecked(node, record->summary_id);
  }
  stored->summary_id = record->summary_id;
  stored->summary_id2 = record->summary_id2;
  record->summary_id_3d = stored->summary_id_3d;
  record->flags = (uint8_t)((record->flags & ~EVENT_HAS_SUMMARY_ID_3D) |
                            (stored->flags & EVENT_HAS_SUMMARY_ID_3D));
  return 1;
}

int AddEvent(EventRecord *record) {
  if (GuideEventsOver("AddEvent")) return 0;
  GuideNode *node = GuideFindByStart(record->channel, record->start_time);
  if (node) {
    if (node->record.mhw_event_id != record->mhw_event_id) {
      WriteDebug("%s() - WARNING: SAME EVENT WITH DIFFERENT EVENTID. IGNORING.\n", "AddEvent");
      return 1;
    }
    if (GuideMerge7days(node, record)) return 1;
    WriteLog("%s() - memory error", "AddEvent");
    return 0;
  }
  if (!GuideInsertHead(record)) {
    WriteLog("%s() - memory error", "AddEvent");
    return 0;
  }
  Store.counters.new_7day_events++;
  Store.counters.total_events++;
  return 1;
}

/* A walk list being collected: its nodes linked through walk_next in the
 * order they came, their count, the largest seq and what order they are in. */
struct GuideWalk {
  GuideNode *head;
  GuideNode *last;
  uint32_t count;
  uint32_t largest;
  int newest_first; /* seq falls along the list */
  int oldest_first; /* seq rises along the list */
};

static void GuideWalkAppend(GuideWalk *walk, GuideNode *node) {
  Store.walk_steps++;
  node->walk_next = 0;
  if (walk->last) {
    walk->last->walk_next = GuideLinkTo(node);
    if (walk->last->seq < node->seq) walk->newest_first = 0;
    else walk->oldest_first = 0;
  } else {
    walk->head = node;
  }
  walk->last = node;
  walk->count++;
  if (node->seq > walk->largest) walk->largest = node->seq;
}

/* Orders "walk" newest first (by seq, larger first) and returns its head.
 * A list already in order costs nothing more, one in the reverse order a
 * step a node; any other order at most 16 steps a node: insertion for a
 * short list, a radix round per byte of the largest seq for a long one. */
static GuideNode *GuideSortWalk(const GuideWalk *walk) {
  GuideNode *list = walk->head;
  if (walk->newest_first) return list;
  if (walk->oldest_first) {
    GuideNode *reversed = nullptr;
    while (list) {
      Store.walk_steps++;
      GuideNode *next = GuideAt(list->walk_next);
      list->walk_next = GuideLinkTo(reversed);
      reversed = list;
      list = next;
    }
    return reversed;
  }
  if (walk->count < STORE_RADIX_FROM) {
    GuideLink sorted = 0;
    while (list) {
      GuideNode *next = GuideAt(list->walk_next);
      GuideLink *at = &sorted;
      while (*at && GuideAt(*at)->seq > list->seq) {
        Store.walk_steps++;
        at = &GuideAt(*at)->walk_next;
      }
      list->walk_next = *at;
      *at = GuideLinkTo(list);
      list = next;
    }
    return GuideAt(sorted);
  }
  /* Least significant byte first, up to the highest byte in use; each
   * round keeps the order of the last within a bucket and takes the
   * buckets largest first. */
  for (int shift = 0; shift < 32 && (walk->largest >> shift) != 0; shift += 8) {
    GuideNode *head[256] = {nullptr}, *tail[256] = {nullptr};
    for (GuideNode *n = list; n;) {
      Store.walk_steps++;
      GuideNode *next = GuideAt(n->walk_next);
      uint32_t b = (n->seq >> shift) & 0xFF;
      n->walk_next = 0;
      if (tail[b]) tail[b]->walk_next = GuideLinkTo(n);
      else head[b] = n;
      tail[b] = n;
      n = next;
    }
    GuideLink first = 0, *end = &first;
    for (int b = 255; b >= 0; b--) {
      if (!head[b]) continue;
      *end = GuideLinkTo(head[b]);
      end = &tail[b]->walk_next;
    }
    *end = 0;
    list = GuideAt(first);
  }
  return list;
}

/* The records still without a summary that a summary with "summary_id"
 * matches, linked through walk_next, newest first, each once. */
static GuideNode *GuideCollectWaiting(uint32_t summary_id) {
  GuideSummaryIds *ids = GuideTableFind(&Store.by_summary, summary_id);
  if (!ids) return nullptr;
  /* Both bags in their own order, which is newest first unless 7-day
   * merges moved older records in; records that got a summary since the
   * bag was last walked leave it now, each once. */
  GuideWalk bag = {nullptr, nullptr, 0, 0, 1, 1}, bag_3d = bag;
  for (GuideNode *n = GuideAt(ids->waiting[STORE_BAG_ID]), *next; n; n = next) {
    next = GuideAt(n->bag_next[STORE_BAG_ID]);
    if (n->record.flags & EVENT_HAS_SUMMARY) {
      Store.walk_steps++;
      GuideBagLeave(ids, STORE_BAG_ID, n);
    } else {
      GuideWalkAppend(&bag, n);
    }
  }
  /* 3-day summary ids have 16 bits: a larger id has no 3-day bag. A record
   * whose summary_id is this id too is in the first bag already. */
  if (summary_id <= 0xFFFF) {
    for (GuideNode *n = GuideAt(ids->waiting[STORE_BAG_ID_3D]), *next; n; n = next) {
      next = GuideAt(n->bag_next[STORE_BAG_ID_3D]);
      if (n->record.flags & EVENT_HAS_SUMMARY) {
        Store.walk_steps++;
        GuideBagLeave(ids, STORE_BAG_ID_3D, n);
      } else if (n->record.summary_id != summary_id) {
        GuideWalkAppend(&bag_3d, n);
      }
    }
  }
  GuideNode *a = GuideSortWalk(&bag), *b = GuideSortWalk(&bag_3d);
  if (!a || !b) return a ? a : b;
  GuideLink merged = 0, *end = &merged;
  while (a || b) {
    Store.walk_steps++;
    GuideNode **from = (!b || (a && a->seq > b->seq)) ? &a : &b;
    *end = GuideLinkTo(*from);
    end = &(*from)->walk_next;
    *from = GuideAt((*from)->walk_next);
  }
  *end = 0;
  return GuideAt(merged);
}

int GuideVisitSummaryMatches(uint32_t summary_id, int (*visit)(EventRecord *, void *),
                             void *context) {
  if (!GuideBuildSummaryIndex()) return 0;
  for (GuideNode *node = GuideCollectWaiting(summary_id); node;) {
    GuideNode *next = GuideAt(node->walk_next);
    if (!visit(&node->record, context)) return 0;
    /* Handed over with its summary: the store needs it no more. */
    if (Store.events_ended && (node->record.flags & EVENT_HAS_SUMMARY)) GuideRelease(node);
    node = next;
  }
  return 1;
}

int32_t GuideSummaryMatchCount(uint32_t summary_id) {
  if (!GuideBuildSummaryIndex()) return 0;
  GuideSummaryIds *ids = GuideTableFind(&Store.by_summary, summary_id);
  if (!ids) return 0;
  return (int32_t)(ids->matches + (summary_id <= 0xFFFF ? ids->matches_3d : 0));
}

void DebugPrintEvent(const EventRecord *record) {
  const char *name = "";
  if (Store.channels && record->channel < Store.counters.channel_count)
    name = Store.channels[record->channel].name;
  /* The five lines in one write. */
  WriteDebug("Channel: %d - %s\n"
             "Name: %s\n"
             "EventId: 0x%08X - StartDate: %02d/%02d/%04d - StartTime: %02d:%02d:%02d - Duration: %d min\n"
             "SummaryId: 0x%04X - SummaryId2: %04X - SummaryId3d: 0x%04X - newbyte: %02X\n"
             "-------------------------\n",
             record->channel, name, record->title, record->mhw_event_id, record->day, record->month,
             record->year, record->hour, record->minute, record->second, record->duration,
             record->summary_id, record->summary_id2, record->summary_id_3d, record->newbyte);
}

void FreeGuide(void) {
  while (Store.events) {
    EventRecord *next = Store.events->next;
    free(GuideNodeOf(Store.events));
    Store.events = next;
  }
  GuideTableFree(&Store.by_start);
  GuideTableFree(&Store.by_summary);
  free(Store.nodes);
  Store.nodes = nullptr;
  Store.nodes_size = 0;
  Store.next_seq = 0;
  Store.events_ended = 0;
  Store.indexed = 0;
  Store.walk_steps = 0;
  free(Store.channels);
  Store.channels = nullptr;
  ConfigFreeAliases();
}
