/* Section collector: reads one whole table on a demux handle into its
 * section list until its cycle has passed once; owns the CRC-32 that
 * recognises the cycle and the bounds of a table that never repeats. */
#include "demux/collector.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "log/log.h"
#include "run/status.h"

constexpr uint32_t COLLECT_CYCLE_SEED = 0x12345678u;
constexpr uint32_t COLLECT_IDLE_MS = 60000;
/* Bounds for a table whose first section never comes back (it changed
 * while the table was read, or the stream is broken) while other sections
 * keep coming. The largest real tables, the summary tables, hold tens of MB
 * and go round in a few minutes; 30 minutes and 256 MB are several times
 * that, yet stop a receiver from hanging or running out of memory. Each
 * table has both bounds of its own, whether it is read alone or beside
 * others, so that a table that never repeats cannot cut a healthy one. */
constexpr uint32_t COLLECT_MAX_MS = 30u * 60u * 1000u;
constexpr int64_t COLLECT_MAX_BYTES = 256ll * 1024 * 1024;
/* What one stored section counts towards the memory bound beyond its
 * bytes: a list node and the heap's bookkeeping of two allocations. The
 * blocks below cost less than that per section, so a stream of tiny
 * sections stays within the bound as well. */
constexpr int64_t COLLECT_NODE_COST = (int64_t)sizeof(RawSection) + 2 * 16;
/* A table's sections are kept in blocks, each section as its list node
 * followed by its bytes, rather than in two allocations apiece: tens of
 * thousands of small summary sections then cost little more than their
 * bytes. A table's first block is small and each next one twice the last,
 * up to the largest, so that a table of a few sections stays small; a
 * section larger than that gets a block of its own. A block is freed once
 * every section in it has been, so memory comes back as a pass decodes. */
constexpr size_t COLLECT_BLOCK_FIRST = 16 * 1024;
constexpr size_t COLLECT_BLOCK_MAX = 256 * 1024;

struct CollectorBlock {
  CollectorBlock *next; /* the older block */
  CollectorBlock *prev; /* the newer block, in the taken blocks */
  size_t size;          /* bytes of the block, this header included */
  size_t used;          /* bytes handed out, this header included */
  int32_t live;         /* sections in the block not freed yet */
};
static_assert(sizeof(CollectorBlock) % alignof(RawSection) == 0, "sections follow the header aligned");

static struct {
  uint32_t max_ms;
  int64_t max_bytes;
  int64_t held_bytes; /* the cost of every section list, all tables together */
  CollectorTable table; /* the default table, on the default handle */
  int ready;
  /* Blocks of the section lists taken with DemuxSectionListTake, newest
   * first, and the one the last freed section was in. */
  CollectorBlock *taken;
  CollectorBlock *cursor;
  int64_t block_bytes; /* of every block, held or taken */
} Collector = {COLLECT_MAX_MS, COLLECT_MAX_BYTES, 0, {}, 0, nullptr, nullptr, 0};

/* The default table, made empty on the default handle at first use. */
static CollectorTable *CollectorDefault(void) {
  if (!Collector.ready) {
    CollectorReset(&Collector.table, DemuxDefault());
    Collector.ready = 1;
  }
  return &Collector.table;
}

void CollectorReset(CollectorTable *t, DemuxHandle *demux) {
  memset(t, 0, sizeof(*t));
  t->demux = demux;
}

RawSection *DemuxSectionList(void) { return CollectorDefault()->list; }

/* Frees the chain of blocks from "b" on. */
static void CollectorFreeBlocks(CollectorBlock *b) {
  while (b) {
    CollectorBlock *next = b->next;
    Collector.block_bytes -= (int64_t)b->size;
    free(b);
    b = next;
  }
}

void CollectorFreeSections(CollectorTable *t) {
  CollectorFreeBlocks(t->blocks);
  t->blocks = nullptr;
  t->list = nullptr;
  Collector.held_bytes -= t->list_bytes;
  t->list_bytes = 0;
}

void FreeSectionList(void) { CollectorFreeSections(CollectorDefault()); }

RawSection *DemuxSectionListTake(void) {
  CollectorTable *t = CollectorDefault();
  RawSection *list = t->list;
  t->list = nullptr;
  Collector.held_bytes -= t->list_bytes;
  t->list_bytes = 0;
  /* The table's blocks go in front of the taken ones: the list is freed
   * from its newest section, in the newest block. */
  if (t->blocks) {
    CollectorBlock *newer = nullptr;
    for (CollectorBlock *b = t->blocks; b; newer = b, b = b->next) b->prev = newer;
    newer->next = Collector.taken; /* the table's oldest block */
    if (Collector.taken) Collector.taken->prev = newer;
    Collector.taken = Collector.cursor = t->blocks;
    t->blocks = nullptr;
  }
  return list;
}

/* 1 when "section" was handed out of block "b". */
static int CollectorBlockHolds(const CollectorBlock *b, const RawSection *section) {
  uintptr_t at = (uintptr_t)section, start = (uintptr_t)b;
  return at >= start + sizeof(CollectorBlock) && at < start + b->used;
}

void DemuxSectionFree(RawSection *section) {
  /* A list is freed in its order: the section is in the block of the one
   * before it or in the next block; otherwise every taken block is looked at. */
  CollectorBlock *b = Collector.cursor;
  if (!b || !CollectorBlockHolds(b, section)) {
    if (b && b->next && CollectorBlockHolds(b->next, section)) b = b->next;
    else
      for (b = Collector.taken; b && !CollectorBlockHolds(b, section); b = b->next) {
      }
  }
  if (!b) return; /* not a section of a taken list */
  Collector.cursor = b;
  if (--b->live > 0) return;
  Collector.cursor = b->next;
  if (b->prev) b->prev->next = b->next;
  else Collector.taken = b->next;
  if (b->next) b->next->prev = b->prev;
  b->next = nullptr;
  CollectorFreeBlocks(b);
}

void CollectorTakeSections(CollectorTable *from) {
  CollectorTable *to = CollectorDefault();
  if (from == to) return;
  CollectorFreeSections(to);
  to->list = from->list;
  to->list_bytes = from->list_bytes;
  to->blocks = from->blocks;
  from->list = nullptr;
  from->list_bytes = 0;
  from->blocks = nullptr;
}

void DemuxSetCollectLimits(uint32_t max_ms, int64_t max_bytes) {
  Collector.max_ms = max_ms ? max_ms : COLLECT_MAX_MS;
  Collector.max_bytes = max_bytes ? max_bytes : COLLECT_MAX_BYTES;
}

int64_t DemuxHeldBytes(void) { return Collector.held_bytes; }

int64_t DemuxBlockBytes(void) { return Collector.block_bytes; }

/* Room for a section of "n" bytes and its node at the end of the newest
 * block of "t", or in a new block. Returns the node, or null when memory
 * ran out. */
static RawSection *CollectorSlot(CollectorTable *t, int n) {
  size_t need = (sizeof(RawSection) + (size_t)n + alignof(RawSection) - 1) & ~(alignof(RawSection) - 1);
  CollectorBlock *b = t->blocks;
  if (!b || b->size - b->used < need) {
    size_t size = b ? b->size * 2 : COLLECT_BLOCK_FIRST;
    if (size > COLLECT_BLOCK_MAX) size = COLLECT_BLOCK_MAX;
    if (size < sizeof(CollectorBlock) + need) size = sizeof(CollectorBlock) + need;
    CollectorBlock *fresh = (CollectorBlock *)malloc(size);
    if (!fresh) return nullptr;
    fresh->next = b;
    fresh->prev = nullptr;
    fresh->size = size;
    fresh->used = sizeof(CollectorBlock);
    fresh->live = 0;
    t->blocks = b = fresh;
    Collector.block_bytes += (int64_t)size;
  }
  RawSection *node = (RawSection *)((uint8_t *)b + b->used);
  b->used += need;
  b->live++;
  return node;
}

/* Copies the first "n" bytes of the section buffer of the handle of "t" to
 * the head of its section list. Returns 1, or 0 when memory ran out (logged). */
static int CollectorStore(CollectorTable *t, int n) {
  DemuxHandle *h = t->demux;
  RawSection *node = CollectorSlot(t, n);
  if (!node) {
    DemuxLog(h, "%s() - Error allocating memory for sat data", "DemuxGetAllSections");
    return 0;
  }
  node->length = n;
  memcpy(DemuxSectionBytes(node), h->buffer, (size_t)n);
  node->next = t->list;
  t->list = node;
  t->list_bytes += n + COLLECT_NODE_COST;
  Collector.held_bytes += n + COLLECT_NODE_COST;
  return 1;
}

void CollectorBegin(CollectorTable *t, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                    int length) {
  CollectorFreeSections(t);
  CollectorReset(t, t->demux);
  t->pid = pid;
  if (length > 0 && length <= TS_FILTER_SIZE) {
    memcpy(t->filter, filter, (size_t)length);
    memcpy(t->mask, mask, (size_t)length);
  }
  t->length = length;
  t->start = GetTickMs();
  t->last_progress = t->start;
  t->running = 1;
}

/* Ends the collection on "t": its filter stops. Returns 0 for CollectorStep. */
static int CollectorFinish(CollectorTable *t) {
  DemuxHandleStopFilter(t->demux);
  t->running = 0;
  return 0;
}

int CollectorStep(CollectorTable *t, int n) {
  DemuxHandle *h = t->demux;
  if (n < 0) {
    DemuxLog(h, "%s() - Error reading data from sat", "DemuxGetAllSections");
    return CollectorFinish(t);
  }
  if (n > 0) {
    uint32_t crc = (uint32_t)crc32(COLLECT_CYCLE_SEED, h->buffer, (unsigned int)n);
    if (t->cycle_marker == 0) t->cycle_marker = crc;
    else if (crc == t->cycle_marker) return CollectorFinish(t); /* the table has gone round once */
    if (!CollectorStore(t, n)) return CollectorFinish(t);
    t->count++;
    t->last_progress = GetTickMs();
    /* The section that takes the table's list past the bound is its last. */
    if (t->list_bytes > Collector.max_bytes) {
      DemuxLog(h, "%s() - Table on PID 0x%X did not repeat within %lld bytes. Stopping with %d sections",
               "DemuxGetAllSections", t->pid, (long long)Collector.max_bytes, t->count);
      return CollectorFinish(t);
    }
  } else {
    if ((uint32_t)(GetTickMs() - t->last_progress) > COLLECT_IDLE_MS) {
      DemuxLog(h, "%s() - Timeout reading data from sat", "DemuxGetAllSections");
      return CollectorFinish(t);
    }
    DemuxHandleStopFilter(h);
    if (!DemuxHandleStartFilter(h, t->pid, t->filter, t->mask, t->length,
                                DEMUX_COLLECT_TIMEOUT)) {
      DemuxLog(h, "%s() - Error calling DemuxSetFilter()", "DemuxGetAllSections");
      return CollectorFinish(t);
    }
  }
  uint32_t elapsed = GetTickMs() - t->start;
  if (elapsed > Collector.max_ms) {
    DemuxLog(h, "%s() - Table on PID 0x%X did not repeat within %u s. Stopping with %d sections",
             "DemuxGetAllSections", t->pid, (unsigned)(Collector.max_ms / 1000), t->count);
    return CollectorFinish(t);
  }
  return 1;
}

int CollectorRun(CollectorTable *t, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                 int length) {
  CollectorBegin(t, pid, filter, mask, length);
  DemuxHandle *h = t->demux;
  if (!DemuxHandleStartFilter(h, pid, filter, mask, length, DEMUX_COLLECT_TIMEOUT)) {
    DemuxLog(h, "%s() - Error calling DemuxSetFilter()", "DemuxGetAllSections");
    t->running = 0;
    return -1;
  }
  /* The clocks start once the filter runs, as the collection does. */
  t->start = t->last_progress = GetTickMs();
  int n;
  do {
    ShowSpinner();
    n = DemuxHandleGetSection(h);
  } while (CollectorStep(t, n));
  return t->count;
}

int DemuxGetAllSections(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length) {
  return CollectorRun(CollectorDefault(), pid, filter, mask, length);
}

/* The CRC-32 of the reflected polynomial 0xEDB88320, eight bytes a step
 * ("slicing by 8"): table[0] is the byte-wise table, table[k][b] the CRC of
 * byte b followed by k zero bytes, so that one step folds eight bytes with
 * eight independent lookups. The words are put together from single bytes,
 * so the result is the same on every byte order and alignment. */
struct CollectorCrcTables {
  uint32_t table[8][256];
};

static constexpr CollectorCrcTables CollectorMakeCrcTables(void) {
  CollectorCrcTables t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t.table[0][i] = c;
  }
  for (int k = 1; k < 8; k++)
    for (uint32_t i = 0; i < 256; i++)
      t.table[k][i] = (t.table[k - 1][i] >> 8) ^ t.table[0][t.table[k - 1][i] & 0xFF];
  return t;
}

static constexpr CollectorCrcTables COLLECT_CRC = CollectorMakeCrcTables();
static_assert(COLLECT_CRC.table[0][1] == 0x77073096u, "CRC-32 table");

extern "C" unsigned long crc32(unsigned long crc, const unsigned char *data, unsigned int len) {
  if (!data) return 0; /* as zlib does: the initial value */
  const uint32_t(*t)[256] = COLLECT_CRC.table;
  uint32_t value = ~(uint32_t)crc;
  for (; len >= 8; len -= 8, data += 8) {
    uint32_t low = value ^ ((uint32_t)data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16 |
                            (uint32_t)data[3] << 24);
    value = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
            t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
  }
  for (; len > 0; len--) value = t[0][(value ^ *data++) & 0xFF] ^ (value >> 8);
  return ~value;
}
