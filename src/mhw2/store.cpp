/* Guide store: the channel table, the event list (newest first) with its
 * indexes, and the run counters. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "mhw2/mhw2.h"
#include "mhw2/store_table.h"

/* One record of the event list. The record comes last and is cut behind
 * its title's terminator, so a node costs the title it has rather than the
 * longest one. */

/* The links between nodes are 32-bit: a node's seq plus one, 0 for none,
 * found through the store's table of nodes by seq (GuideAt), so that a link
 * costs half a pointer. */
typedef uint32_t GuideLink;

struct GuideNode {
  uint32_t seq;    /* insertion number: larger is nearer the list head */
  GuideLink newer; /* the event list backwards, so that a record can leave it */
  EventRecord record; /* up to its title's terminator */
};
static_assert(offsetof(GuideNode, record) <= 8, "a node's links fit in 8 bytes");

static GuideNode *GuideNodeOf(EventRecord *record) {
  return (GuideNode *)((char *)record - offsetof(GuideNode, record));
}

/* The index entry of one summary id: how many records a summary with that
 * id matches, and where their links lie in the index's rows. The rows of
 * an entry begin at "begin": first the "matches" records whose summary_id
 * is the key, then the "matches_3d" records that carry the key as their
 * summary_id_3d with another summary_id; each part newest first. A record
 * that got its summary leaves a part when that part is next walked (the
 * part then ends early, at a 0 link), or is skipped there once it has gone
 * from the store. The counts stay: they say how often a summary matched,
 * attached or not. */
struct GuideSummaryIds {
  uint32_t key;
  uint32_t begin; /* STORE_NO_ROW: an empty slot */
  uint32_t matches;
  uint32_t matches_3d;
};
static const uint32_t STORE_NO_ROW = 0xFFFFFFFFu;

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
static uint64_t GuideEntryKey(const GuideSummaryIds &entry) {
  return entry.begin == STORE_NO_ROW ? STORE_NO_KEY : entry.key;
}
static uint64_t GuideEntryKey(const GuideStartEntry &entry) {
  return entry.node ? GuideStartKey(entry.node->record.channel, entry.node->record.start_time)
                    : STORE_NO_KEY;
}
static void GuideEntrySetKey(GuideSummaryIds *entry, uint64_t key) {
  entry->key = (uint32_t)key;
  entry->begin = key == STORE_NO_KEY ? STORE_NO_ROW : 0;
}
/* A start entry takes its key with its record, which the caller sets. */
static void GuideEntrySetKey(GuideStartEntry *, uint64_t) {}

/* Insertion numbers end here: no run holds that many events, and one more
 * is refused like an allocation that failed. */
static const uint32_t STORE_SEQ_MAX = 0xFFFFFFFFu;

static struct {
  ChannelEntry *channels;
  EventRecord *events;
  uint32_t next_seq;
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
   * to. Grows by half as records come; freed with the last record. */
  GuideNode **nodes;
  uint32_t nodes_size;
  GuideTable<GuideStartEntry> by_start;   /* channel << 32 | start_time -> the one record */
  GuideTable<GuideSummaryIds> by_summary; /* summary id -> the records it matches */
  std::vector<GuideLink> rows;            /* the entries' parts, one after another */
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

/* The node a link leads to; null for 0, and for a record that has gone
 * (the index may still hold its link, even once the node table has gone). */
static GuideNode *GuideAt(GuideLink link) {
  return link && link - 1 < Store.nodes_size ? Store.nodes[link - 1] : nullptr;
}
static GuideLink GuideLinkTo(const GuideNode *node) { return node ? node->seq + 1 : 0; }

/* Room in the node table for the seq "seq", just that much when "exact",
 * else grown by half as often as needed. Returns 1, or 0 when memory ran
 * out (the table is then unchanged). */
static int GuideNodesReserve(uint32_t seq, int exact) {
  if (seq < Store.nodes_size) return 1;
  uint64_t size = Store.nodes_size < 1024 ? 1024 : Store.nodes_size;
  if (exact) size = seq < 1024 ? 1024 : (uint64_t)seq + 1;
  while (size <= seq) size += size / 2;
  if (size > STORE_SEQ_MAX) size = STORE_SEQ_MAX;
  if (size > SIZE_MAX / sizeof(GuideNode *)) return 0;
  GuideNode **grown = (GuideNode **)realloc(Store.nodes, (size_t)size * sizeof(GuideNode *));
  if (!grown) return 0;
  Store.nodes = grown;
  Store.nodes_size = (uint32_t)size;
  return 1;
}

int GuideReserveEvents(uint32_t count) {
  if (Store.events_ended || count == 0) return 1;
  if (count > STORE_SEQ_MAX - Store.next_seq) return 0;
  return GuideNodesReserve(Store.next_seq + count - 1, 1) &&
         GuideTableReserve(&Store.by_start, Store.by_start.used + count);
}

static int GuideCarries3d(const GuideNode *node) {
  return (node->record.flags & EVENT_HAS_SUMMARY_ID_3D) != 0;
}

/* Drops the summary id index, which a record added or moved after it was
 * made no longer agrees with; the next lookup makes it again. */
static void GuideDropSummaryIndex(void) {
  GuideTableFree(&Store.by_summary);
  std::vector<GuideLink>().swap(Store.rows);
  Store.indexed = 0;
}

/* The stored record with this channel and start time, or null. */
static GuideNode *GuideFindByStart(uint16_t channel, int32_t start_time) {
  GuideStartEntry *entry = GuideTableFind(&Store.by_start, GuideStartKey(channel, start_time));
  return entry ? entry->node : nullptr;
}

/* Copies "record" into a new node at the head of the event list and puts
 * it into the channel+start index. Returns the node, or null when memory
 * ran out. */
static GuideNode *GuideInsertHead(const EventRecord *record) {
  if (Store.next_seq == STORE_SEQ_MAX || !GuideNodesReserve(Store.next_seq, 0) ||
      !GuideTableReserve(&Store.by_start, Store.by_start.used + 1))
    return nullptr;
  size_t title_length = strnlen(record->title, sizeof(record->title) - 1);
  size_t fixed = offsetof(GuideNode, record) + offsetof(EventRecord, title);
  GuideNode *node = (GuideNode *)calloc(1, fixed + title_length + 1);
  if (!node) return nullptr;
  if (Store.indexed) GuideDropSummaryIndex();
  memcpy(&node->record, record, offsetof(EventRecord, title));
  memcpy(node->record.title, record->title, title_length); /* the terminator is calloc's */
  node->seq = Store.next_seq++;
  Store.nodes[node->seq] = node;
  GuideTablePlaceUnchecked(&Store.by_start, GuideStartKey(record->channel, record->start_time))
      ->node = node;
  node->record.next = Store.events;
  if (Store.events) GuideNodeOf(Store.events)->newer = GuideLinkTo(node);
  Store.events = &node->record;
  return node;
}

/* Takes "node" out of the event list and the channel+start index, and
 * frees it. The index's links to it lead nowhere from now on; the counts of
 * its summary ids stay. */
static void GuideRelease(GuideNode *node) {
  EventRecord *r = &node->record;
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

/* About as many as the different summary ids the records carry, counted
 * by their hashes in a bitmap of at least two bits per carried id ("linear
 * counting": the share of bits left clear tells how many ids set the
 * others), with a little to spare; the bitmap costs an eighth of what the
 * index does. 0 when the bitmap finds no memory. An index sized by it is
 * made once, not held twice while it grows; when it counts too few, the
 * index grows as it fills. */
static size_t GuideDistinctSummaryIds(void) {
  size_t carried = 0;
  for (EventRecord *e = Store.events; e; e = e->next)
    carried += (e->flags & EVENT_HAS_SUMMARY_ID_3D) ? 2 : 1;
  size_t bits = 64;
  while (bits < 2 * carried) bits *= 2;
  uint64_t *seen = (uint64_t *)calloc(bits / 64, sizeof(uint64_t));
  if (!seen) return 0;
  for (EventRecord *e = Store.events; e; e = e->next) {
    const uint32_t ids[2] = {e->summary_id, e->summary_id_3d};
    for (int k = 0; k < ((e->flags & EVENT_HAS_SUMMARY_ID_3D) ? 2 : 1); k++) {
      size_t bit = GuideHash(ids[k], bits - 1);
      seen[bit / 64] |= 1ull << (bit % 64);
    }
  }
  size_t clear = 0;
  for (size_t w = 0; w < bits / 64; w++) clear += 64 - (size_t)__builtin_popcountll(seen[w]);
  free(seen);
  if (clear == 0) return carried;
  double estimate = -(double)bits * log((double)clear / (double)bits);
  size_t distinct = (size_t)(estimate * 1.02) + 16;
  return distinct < carried ? distinct : carried;
}

/* The entry of "id" to count a record under, placed when new; the index
 * grows when it has no room. Null when memory ran out. */
static GuideSummaryIds *GuideCountUnder(uint32_t id) {
  if (!GuideTableReserve(&Store.by_summary, Store.by_summary.used + 1)) return nullptr;
  return GuideTablePlaceUnchecked(&Store.by_summary, id);
}

/* Whether "node" counts in the second part of the entry of its
 * summary_id_3d: it carries one, and another summary_id. */
static int GuideIn3dPart(const GuideNode *node) {
  return GuideCarries3d(node) && node->record.summary_id_3d != node->record.summary_id;
}

/* Builds the summary id index from the event list: counts the records of
 * every id, gives each entry its rows, then fills them oldest record first
 * from the back of each part, so that each part comes out newest first.
 * Returns 1, or 0 when memory ran out (logged; nothing is indexed then, and
 * the next lookup tries again). */
static int GuideBuildSummaryIndex(void) {
  if (Store.indexed) return 1;
  GuideDropSummaryIndex();
  /* Sized once for the ids there are where counting them pays, so that
   * the index is not held twice while it grows; otherwise it grows as it
   * fills. */
  size_t distinct = GuideDistinctSummaryIds();
  if (distinct > 0) GuideTableReserve(&Store.by_summary, distinct);
  GuideNode *oldest = nullptr;
  int ok = 1;
  for (EventRecord *e = Store.events; ok && e; e = e->next) {
    GuideNode *n = GuideNodeOf(e);
    oldest = n;
    GuideSummaryIds *ids = GuideCountUnder(e->summary_id);
    ok = ids != nullptr;
    if (ok) ids->matches++;
    if (ok && GuideIn3dPart(n)) {
      GuideSummaryIds *ids_3d = GuideCountUnder(e->summary_id_3d);
      ok = ids_3d != nullptr;
      if (ok) ids_3d->matches_3d++;
    }
  }
  /* Rows in slot order; "begin" first marks where an entry's first part
   * ends, and falls to its start as the part fills. */
  uint64_t total = 0;
  for (GuideSummaryIds &ids : Store.by_summary.slots) {
    if (ids.begin == STORE_NO_ROW) continue;
    total += ids.matches;
    ids.begin = (uint32_t)total;
    total += ids.matches_3d;
  }
  if (ok && total < STORE_NO_ROW) {
    try {
      Store.rows.assign((size_t)total, 0);
    } catch (const std::bad_alloc &) {
      ok = 0;
    }
  } else {
    ok = 0;
  }
  if (!ok) {
    GuideDropSummaryIndex();
    WriteLog("%s() - Error: Not enough memory for the summary index", "AddSummary");
    return 0;
  }
  for (GuideNode *n = oldest; n; n = GuideAt(n->newer)) {
    GuideSummaryIds *ids = GuideTableFind(&Store.by_summary, n->record.summary_id);
    Store.rows[--ids->begin] = GuideLinkTo(n);
  }
  /* The second parts fill counting their entries' matches_3d down; each
   * count comes back as the distance to the next entry's rows. */
  for (GuideNode *n = oldest; n; n = GuideAt(n->newer)) {
    if (!GuideIn3dPart(n)) continue;
    GuideSummaryIds *ids = GuideTableFind(&Store.by_summary, n->record.summary_id_3d);
    Store.rows[ids->begin + ids->matches + --ids->matches_3d] = GuideLinkTo(n);
  }
  GuideSummaryIds *last = nullptr;
  for (GuideSummaryIds &ids : Store.by_summary.slots) {
    if (ids.begin == STORE_NO_ROW) continue;
    if (last) last->matches_3d = ids.begin - last->begin - last->matches;
    last = &ids;
  }
  if (last) last->matches_3d = (uint32_t)total - last->begin - last->matches;
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

/* One part of an index entry as a walk goes through it: links are read at
 * "read" and those of records still waiting written back at "write", up to
 * "end" or a 0 link. */
struct GuidePart {
  GuideLink *read;
  GuideLink *write;
  GuideLink *end;
};

/* The next record of "part" still without a summary, at "read"; the links
 * before it (records that got a summary or went) are left out of the part.
 * Null at the end of the part. */
static GuideNode *GuidePartPeek(GuidePart *part) {
  for (; part->read < part->end && *part->read; part->read++) {
    GuideNode *node = GuideAt(*part->read);
    if (node && !(node->record.flags & EVENT_HAS_SUMMARY)) return node;
    Store.walk_steps++;
  }
  return nullptr;
}

/* Ends a walk of "part": the links not read yet move up behind those kept,
 * and a 0 link ends the part when it got shorter. */
static void GuidePartClose(GuidePart *part) {
  if (part->write == part->read) return;
  while (part->read < part->end && *part->read) *part->write++ = *part->read++;
  if (part->write < part->end) *part->write = 0;
}

int GuideVisitSummaryMatches(uint32_t summary_id, int (*visit)(EventRecord *, void *),
                             void *context) {
  if (!GuideBuildSummaryIndex()) return 0;
  GuideSummaryIds *ids = GuideTableFind(&Store.by_summary, summary_id);
  if (!ids) return 1;
  GuideLink *rows = Store.rows.data() + ids->begin;
  /* 3-day summary ids have 16 bits: a larger id matches no summary_id_3d. */
  uint32_t matches_3d = summary_id <= 0xFFFF ? ids->matches_3d : 0;
  GuidePart parts[2] = {{rows, rows, rows + ids->matches},
                        {rows + ids->matches, rows + ids->matches, rows + ids->matches + matches_3d}};
  int ok = 1;
  /* Both parts are newest first: merged by seq, larger first. */
  while (ok) {
    GuideNode *a = GuidePartPeek(&parts[0]), *b = GuidePartPeek(&parts[1]);
    if (!a && !b) break;
    GuidePart *from = (!b || (a && a->seq > b->seq)) ? &parts[0] : &parts[1];
    GuideNode *node = from == &parts[0] ? a : b;
    GuideLink link = *from->read++;
    Store.walk_steps++;
    ok = visit(&node->record, context);
    if (!(node->record.flags & EVENT_HAS_SUMMARY)) *from->write++ = link;
    /* Handed over with its summary: the store needs it no more. */
    else if (Store.events_ended) GuideRelease(node);
  }
  GuidePartClose(&parts[0]);
  GuidePartClose(&parts[1]);
  return ok;
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
  GuideDropSummaryIndex();
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
