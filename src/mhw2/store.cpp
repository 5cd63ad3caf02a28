/* Guide store: the channel table, the event list (newest first) with its
 * indexes, and the run counters. */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "mhw2/mhw2.h"
#include "mhw2/store_table.h"

/* One record of the event list; its title is in the store's title pool.
 * The list is the store's table of nodes by seq, newest (largest) first:
 * a record leaves it by leaving the table, so a node needs no list links. */

/* The links to nodes are 32-bit: a node's seq plus one, 0 for none, found
 * through the table of nodes (GuideAt), so that a link costs half a
 * pointer. */
typedef uint32_t GuideLink;

struct GuideNode {
  uint32_t seq; /* insertion number: larger is nearer the list head */
  EventRecord record;
};
static_assert(sizeof(GuideNode) <= 56, "a node fits in 56 bytes, 64 with the heap's header");

static GuideNode *GuideNodeOf(const EventRecord *record) {
  return (GuideNode *)((char *)record - offsetof(GuideNode, record));
}

/* The summary id index: one entry for each summary id a record carries,
 * "id << 32 | part | link", sorted by id, then part, then newest first.
 * The first part (0) holds the records whose summary_id is the id, the
 * second (STORE_PART_3D) those that carry it as their summary_id_3d with
 * another summary_id. A
 * record that got its summary leaves a part when that part is next walked
 * (its links move up and the part then ends early, at a 0 link; ids and
 * parts stay, so the index stays sorted), or is skipped there once it has
 * gone from the store. How many entries an id and part have says how often
 * a summary matched, attached or not. */
typedef uint64_t GuideIndexEntry;
static const uint64_t STORE_PART_3D = 1ull << 31;
static const uint64_t STORE_LINK_BITS = STORE_PART_3D - 1;

/* The channel+start index entry: the link to the record alone, whose
 * channel and start are the key, so that the index costs 4 bytes a slot. */
struct GuideStartEntry {
  GuideLink link; /* 0: an empty slot */
};

static GuideNode *GuideAt(GuideLink link);

static uint64_t GuideStartKey(uint16_t channel, int32_t start_time) {
  return ((uint64_t)channel << 32) | (uint32_t)start_time;
}

/* The key of an index entry, STORE_NO_KEY for an empty slot, and how an
 * entry gets its key. */
static uint64_t GuideEntryKey(const GuideStartEntry &entry) {
  const GuideNode *node = GuideAt(entry.link);
  return node ? GuideStartKey(node->record.channel, node->record.start_time) : STORE_NO_KEY;
}
/* A start entry takes its key with its record, which the caller sets. */
static void GuideEntrySetKey(GuideStartEntry *, uint64_t) {}

/* Insertion numbers end here: no run holds that many events, and one more
 * is refused like an allocation that failed. */
static const uint32_t STORE_SEQ_MAX = 0x7FFFFFFFu; /* a link fits in 31 bits */

static struct {
  ChannelEntry *channels;
  uint32_t next_seq;
  uint32_t live;       /* records in the table */
  uint32_t list_head;  /* one more than the largest seq that may be live */
  uint64_t walk_steps;
  /* The event passes are over (GuideEndEvents): no record is added any
   * more, and a record that gets its summary has been handed over and goes. */
  int events_ended;
  /* The summary id index is built: it is made from the event list when
   * the first summary is looked up (or the event passes end). A record
   * added or moved to another summary id after that drops it, to be made
   * again at the next lookup; the run adds none once the event passes are
   * over. Until then the event passes pay neither its memory nor upkeep. */
  int indexed;
  GuideCounters counters;
  /* The node of each seq handed out, null once freed: what a link leads
   * to, and the event list. Grows by half as records come; freed with the
   * last record, when insertion numbers start again from 0 (the summary
   * id index, which may still hold links, goes with the next record). */
  GuideNode **nodes;
  uint32_t nodes_size;
  GuideTable<GuideStartEntry> by_start;   /* channel << 32 | start_time -> the one record */
  std::vector<GuideIndexEntry> by_summary; /* summary id -> the records it matches */
} Store;

GuideCounters *GuideGetCounters(void) { return &Store.counters; }
ChannelEntry *GuideChannels(void) { return Store.channels; }

/* The node of the largest live seq below "below", or null. */
static GuideNode *GuideLiveBelow(uint32_t below) {
  while (below > 0)
    if (GuideNode *node = GuideAt(below--)) return node;
  return nullptr;
}

EventRecord *GuideEventList(void) {
  GuideNode *head = GuideLiveBelow(Store.list_head);
  Store.list_head = head ? head->seq + 1 : 0;
  return head ? &head->record : nullptr;
}

EventRecord *GuideNextEvent(const EventRecord *record) {
  GuideNode *older = GuideLiveBelow(GuideNodeOf(record)->seq);
  return older ? &older->record : nullptr;
}
uint64_t GuideWalkSteps(void) { return Store.walk_steps; }
size_t GuideSummaryIndexSlots(void) { return Store.by_summary.size(); }

void GuideSetChannels(ChannelEntry *table, int32_t count) {
  if (Store.channels && Store.channels != table) free(Store.channels);
  Store.channels = table;
  Store.counters.channel_count = count;
}

/* The node a link leads to; null for 0, and for a record that has gone
 * (the index may still hold its link, even once the node table has gone). */
static GuideNode *GuideAt(GuideLink link) {
  return link && link - 1 < Store.nodes_size ? Store.nodes[link - 1] : nullptr;
}
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

/* The channel+start index only: a table that doubles holds both sizes at
 * once, while the node table grows by half in place. "count" may well be
 * more than the records that come (a 7-day entry that merges adds none). */
int GuideReserveEvents(uint32_t count) {
  if (Store.events_ended || count == 0) return 1;
  return GuideTableReserve(&Store.by_start, Store.by_start.used + count);
}

static int GuideCarries3d(const GuideNode *node) {
  return (node->record.flags & EVENT_HAS_SUMMARY_ID_3D) != 0;
}

/* Drops the summary id index, which a record added or moved after it was
 * made no longer agrees with; the next lookup makes it again. */
static void GuideDropSummaryIndex(void) {
  std::vector<GuideIndexEntry>().swap(Store.by_summary);
  Store.indexed = 0;
}

/* The stored record with this channel and start time, or null. */
static GuideNode *GuideFindByStart(uint16_t channel, int32_t start_time) {
  GuideStartEntry *entry = GuideTableFind(&Store.by_start, GuideStartKey(channel, start_time));
  return entry ? GuideAt(entry->link) : nullptr;
}

/* The title pool: every distinct title of the records once, in blocks
 * that never move, found through an open-addressing table of its titles
 * (linear probing, at most three quarters full). Titles stay until the
 * store is freed: a pool holds no more than the titles that came. */
struct GuideTitleBlock {
  GuideTitleBlock *next;
  size_t used;
  char bytes[16384 - 2 * sizeof(void *)];
};

static struct {
  GuideTitleBlock *blocks; /* newest first; titles are added to the first */
  std::vector<const char *> slots;
  size_t count;
} Titles;

static size_t GuideTitleHash(const char *bytes, size_t size) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < size; i++) h = (h ^ (unsigned char)bytes[i]) * 1099511628211ull;
  return (size_t)(h ^ (h >> 29));
}

/* The slot of the title of "size" bytes at "bytes", or of the free slot
 * where it would go. The table has room. */
static size_t GuideTitleSlot(const char *bytes, size_t size, size_t hash) {
  size_t mask = Titles.slots.size() - 1;
  size_t i = hash & mask;
  for (const char *t; (t = Titles.slots[i]) != nullptr; i = (i + 1) & mask)
    if (strncmp(t, bytes, size) == 0 && t[size] == 0) break;
  return i;
}

/* Room for one more title in the table. Returns 1, or 0 when memory ran out. */
static int GuideTitleRoom(void) {
  if ((Titles.count + 1) * 4 <= Titles.slots.size() * 3) return 1;
  std::vector<const char *> grown;
  try {
    grown.assign(Titles.slots.empty() ? 1024 : Titles.slots.size() * 2, nullptr);
  } catch (const std::bad_alloc &) {
    return 0;
  }
  Titles.slots.swap(grown);
  for (const char *t : grown) {
    if (!t) continue;
    size_t size = strlen(t);
    Titles.slots[GuideTitleSlot(t, size, GuideTitleHash(t, size))] = t;
  }
  return 1;
}

/* The pool's copy of "title" (at most EVENT_TITLE_MAX bytes of it; none is
 * taken as empty), added when new. Null when memory ran out. */
static const char *GuideTitleHeld(const char *title) {
  if (!title) title = "";
  size_t size = strnlen(title, EVENT_TITLE_MAX);
  size_t hash = GuideTitleHash(title, size);
  if (!Titles.slots.empty()) {
    const char *held = Titles.slots[GuideTitleSlot(title, size, hash)];
    if (held) return held;
  }
  if (!GuideTitleRoom()) return nullptr;
  GuideTitleBlock *b = Titles.blocks;
  if (!b || sizeof(b->bytes) - b->used < size + 1) {
    b = (GuideTitleBlock *)malloc(sizeof(GuideTitleBlock));
    if (!b) return nullptr;
    b->next = Titles.blocks;
    b->used = 0;
    Titles.blocks = b;
  }
  char *copy = b->bytes + b->used;
  memcpy(copy, title, size);
  copy[size] = 0;
  b->used += size + 1;
  Titles.slots[GuideTitleSlot(copy, size, hash)] = copy;
  Titles.count++;
  return copy;
}

static void GuideTitlesFree(void) {
  while (Titles.blocks) {
    GuideTitleBlock *next = Titles.blocks->next;
    free(Titles.blocks);
    Titles.blocks = next;
  }
  std::vector<const char *>().swap(Titles.slots);
  Titles.count = 0;
}

/* Copies "record" into a new node at the head of the event list and puts
 * it into the channel+start index. Returns the node, or null when memory
 * ran out. */
static GuideNode *GuideInsertHead(const EventRecord *record) {
  if (Store.next_seq == STORE_SEQ_MAX || !GuideNodesReserve(Store.next_seq) ||
      !GuideTableReserve(&Store.by_start, Store.by_start.used + 1))
    return nullptr;
  const char *title = GuideTitleHeld(record->title);
  if (!title) return nullptr;
  GuideNode *node = (GuideNode *)malloc(sizeof(GuideNode));
  if (!node) return nullptr;
  if (Store.indexed) GuideDropSummaryIndex();
  node->record = *record;
  node->record.title = title;
  node->seq = Store.next_seq++;
  Store.nodes[node->seq] = node;
  Store.live++;
  Store.list_head = Store.next_seq;
  GuideTablePlaceUnchecked(&Store.by_start, GuideStartKey(record->channel, record->start_time))
      ->link = GuideLinkTo(node);
  return node;
}

/* Takes "node" out of the event list (the table of nodes) and the
 * channel+start index, and
 * frees it. The index's links to it lead nowhere from now on; the counts of
 * its summary ids stay. */
static void GuideRelease(GuideNode *node) {
  EventRecord *r = &node->record;
  if (!Store.by_start.slots.empty())
    GuideTableRemoveUnchecked(&Store.by_start, GuideStartKey(r->channel, r->start_time));
  Store.nodes[node->seq] = nullptr;
  free(node);
  /* The last record gone: so is the table that led to them. */
  if (--Store.live == 0) {
    free(Store.nodes);
    Store.nodes = nullptr;
    Store.nodes_size = 0;
    Store.next_seq = 0;
    Store.list_head = 0;
  }
}

/* Whether "node" has an entry in the second part of its summary_id_3d: it
 * carries one, and another summary_id. */
static int GuideIn3dPart(const GuideNode *node) {
  return GuideCarries3d(node) && node->record.summary_id_3d != node->record.summary_id;
}

/* Builds the summary id index from the event list: an entry for every id
 * a record carries, sorted in place. Returns 1, or 0 when memory ran out
 * (logged; nothing is indexed then, and the next lookup tries again). */
static int GuideBuildSummaryIndex(void) {
  if (Store.indexed) return 1;
  GuideDropSummaryIndex();
  size_t carried = 0;
  for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e))
    carried += GuideIn3dPart(GuideNodeOf(e)) ? 2 : 1;
  try {
    Store.by_summary.reserve(carried);
  } catch (const std::bad_alloc &) {
    WriteLog("%s() - Error: Not enough memory for the summary index", "AddSummary");
    return 0;
  }
  for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e)) {
    GuideNode *n = GuideNodeOf(e);
    Store.by_summary.push_back((uint64_t)e->summary_id << 32 | GuideLinkTo(n));
    if (GuideIn3dPart(n))
      Store.by_summary.push_back((uint64_t)e->summary_id_3d << 32 | STORE_PART_3D | GuideLinkTo(n));
  }
  std::sort(Store.by_summary.begin(), Store.by_summary.end(),
            [](GuideIndexEntry a, GuideIndexEntry b) {
              if ((a >> 31) != (b >> 31)) return (a >> 31) < (b >> 31);
              return (a & STORE_LINK_BITS) > (b & STORE_LINK_BITS);
            });
  Store.indexed = 1;
  return 1;
}

/* The entries of "summary_id" in "part" ([*first, *end)). */
static void GuideIndexRange(uint32_t summary_id, uint64_t part, GuideIndexEntry **first,
                            GuideIndexEntry **end) {
  uint64_t from = (uint64_t)summary_id << 32 | part;
  auto before = [](GuideIndexEntry entry, uint64_t value) { return (entry & ~STORE_LINK_BITS) < value; };
  GuideIndexEntry *all = Store.by_summary.data(), *last = all + Store.by_summary.size();
  *first = std::lower_bound(all, last, from, before);
  *end = std::lower_bound(*first, last, from + STORE_PART_3D, before);
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

/* The 7-day merge: the stored record takes the 7-day summary ids (a
 * summary id index made before no longer agrees with it and goes); the
 * caller's record gets the stored 3-day summary id. */
static void GuideMerge7days(GuideNode *node, EventRecord *record) {
  EventRecord *stored = &node->record;
  if (stored->summary_id != record->summary_id && Store.indexed) GuideDropSummaryIndex();
  stored->summary_id = record->summary_id;
  stored->summary_id2 = record->summary_id2;
  record->summary_id_3d = stored->summary_id_3d;
  record->flags = (uint8_t)((record->flags & ~EVENT_HAS_SUMMARY_ID_3D) |
                            (stored->flags & EVENT_HAS_SUMMARY_ID_3D));
}

int AddEvent(EventRecord *record) {
  if (GuideEventsOver("AddEvent")) return 0;
  GuideNode *node = GuideFindByStart(record->channel, record->start_time);
  if (node) {
    if (node->record.mhw_event_id != record->mhw_event_id) {
      WriteDebug("%s() - WARNING: SAME EVENT WITH DIFFERENT EVENTID. IGNORING.\n", "AddEvent");
      return 1;
    }
    GuideMerge7days(node, record);
    return 1;
  }
  if (!GuideInsertHead(record)) {
    WriteLog("%s() - memory error", "AddEvent");
    return 0;
  }
  Store.counters.new_7day_events++;
  Store.counters.total_events++;
  return 1;
}

/* One part of a summary id's entries as a walk goes through it: links are
 * read at "read" and those of records still waiting written back at
 * "write", up to "end" or a 0 link. */
struct GuidePart {
  GuideIndexEntry *read;
  GuideIndexEntry *write;
  GuideIndexEntry *end;
};

static GuideLink GuideEntryLink(GuideIndexEntry entry) { return (GuideLink)(entry & STORE_LINK_BITS); }

/* Writes "link" into the next entry kept of "part", keeping its id and part. */
static void GuidePartKeep(GuidePart *part, GuideLink link) {
  *part->write = (*part->write & ~STORE_LINK_BITS) | link;
  part->write++;
}

/* The next record of "part" still without a summary, at "read"; the links
 * before it (records that got a summary or went) are left out of the part.
 * Null at the end of the part. */
static GuideNode *GuidePartPeek(GuidePart *part) {
  for (; part->read < part->end && GuideEntryLink(*part->read); part->read++) {
    GuideNode *node = GuideAt(GuideEntryLink(*part->read));
    if (node && !(node->record.flags & EVENT_HAS_SUMMARY)) return node;
    Store.walk_steps++;
  }
  return nullptr;
}

/* Ends a walk of "part": the links not read yet move up behind those kept,
 * and a 0 link ends the part when it got shorter. */
static void GuidePartClose(GuidePart *part) {
  if (part->write == part->read) return;
  for (; part->read < part->end && GuideEntryLink(*part->read); part->read++)
    GuidePartKeep(part, GuideEntryLink(*part->read));
  if (part->write < part->end) GuidePartKeep(part, 0);
}

int GuideVisitSummaryMatches(uint32_t summary_id, int (*visit)(EventRecord *, void *),
                             void *context) {
  if (!GuideBuildSummaryIndex()) return 0;
  GuidePart parts[2];
  GuideIndexRange(summary_id, 0, &parts[0].read, &parts[0].end);
  GuideIndexRange(summary_id, STORE_PART_3D, &parts[1].read, &parts[1].end);
  /* 3-day summary ids have 16 bits: a larger id matches no summary_id_3d. */
  if (summary_id > 0xFFFF) parts[1].end = parts[1].read;
  parts[0].write = parts[0].read;
  parts[1].write = parts[1].read;
  int ok = 1;
  /* Both parts are newest first: merged by seq, larger first. */
  while (ok) {
    GuideNode *a = GuidePartPeek(&parts[0]), *b = GuidePartPeek(&parts[1]);
    if (!a && !b) break;
    GuidePart *from = (!b || (a && a->seq > b->seq)) ? &parts[0] : &parts[1];
    GuideNode *node = from == &parts[0] ? a : b;
    from->read++;
    Store.walk_steps++;
    ok = visit(&node->record, context);
    if (!(node->record.flags & EVENT_HAS_SUMMARY)) GuidePartKeep(from, GuideLinkTo(node));
    /* Handed over with its summary: the store needs it no more. */
    else if (ok && Store.events_ended) GuideRelease(node);
  }
  GuidePartClose(&parts[0]);
  GuidePartClose(&parts[1]);
  return ok;
}

int32_t GuideSummaryMatchCount(uint32_t summary_id) {
  if (!GuideBuildSummaryIndex()) return 0;
  GuideIndexEntry *first, *end, *first_3d, *end_3d;
  GuideIndexRange(summary_id, 0, &first, &end);
  GuideIndexRange(summary_id, STORE_PART_3D, &first_3d, &end_3d);
  return (int32_t)((end - first) + (summary_id <= 0xFFFF ? end_3d - first_3d : 0));
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
  for (uint32_t seq = 0; seq < Store.next_seq; seq++) free(Store.nodes[seq]);
  GuideTableFree(&Store.by_start);
  GuideDropSummaryIndex();
  GuideTitlesFree();
  free(Store.nodes);
  Store.nodes = nullptr;
  Store.nodes_size = 0;
  Store.next_seq = 0;
  Store.live = 0;
  Store.list_head = 0;
  Store.events_ended = 0;
  Store.indexed = 0;
  Store.walk_steps = 0;
  free(Store.channels);
  Store.channels = nullptr;
  ConfigFreeAliases();
}
