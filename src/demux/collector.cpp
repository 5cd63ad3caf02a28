/* Section collector: reads one whole table into a handle's section list
 * until its cycle has passed once; owns the CRC-32 that recognises the
 * cycle and the memory bound over every section held. */
#include <stdlib.h>
#include <string.h>

#include "demux/demux.h"
#include "log/log.h"
#include "run/status.h"

constexpr uint32_t COLLECT_CYCLE_SEED = 0x12345678u;
constexpr uint32_t COLLECT_IDLE_MS = 60000;
/* Bounds for a table whose first section never comes back (it changed
 * while the table was read, or the stream is broken) while other sections
 * keep coming. The largest real tables, the summary tables, hold tens of MB
 * and go round in a few minutes; 30 minutes and 256 MB are several times
 * that, yet stop a receiver from hanging or running out of memory. The byte
 * bound counts every section held at once, by all tables together. */
constexpr uint32_t COLLECT_MAX_MS = 30u * 60u * 1000u;
constexpr int64_t COLLECT_MAX_BYTES = 256ll * 1024 * 1024;
/* What one stored section costs beyond its bytes: its node and the heap's
 * bookkeeping of two allocations, so that a stream of tiny sections meets
 * the same memory bound. */
constexpr int64_t COLLECT_NODE_COST = (int64_t)sizeof(RawSection) + 2 * 16;

static struct {
  uint32_t max_ms;
  int64_t max_bytes;
  int64_t held_bytes; /* the cost of every section list, all handles together */
} Collector = {COLLECT_MAX_MS, COLLECT_MAX_BYTES, 0};

RawSection *DemuxSectionList(void) { return DemuxDefault()->list; }

void DemuxHandleFreeSections(DemuxHandle *h) {
  while (h->list) {
    RawSection *node = h->list;
    h->list = node->next;
    free(node->data);
    free(node);
  }
  Collector.held_bytes -= h->list_bytes;
  h->list_bytes = 0;
}

void FreeSectionList(void) { DemuxHandleFreeSections(DemuxDefault()); }

void DemuxTakeSections(DemuxHandle *from) {
  DemuxHandle *to = DemuxDefault();
  if (from == to) return;
  DemuxHandleFreeSections(to);
  to->list = from->list;
  to->list_bytes = from->list_bytes;
  from->list = nullptr;
  from->list_bytes = 0;
}

void DemuxSetCollectLimits(uint32_t max_ms, int64_t max_bytes) {
  Collector.max_ms = max_ms ? max_ms : COLLECT_MAX_MS;
  Collector.max_bytes = max_bytes ? max_bytes : COLLECT_MAX_BYTES;
}

int64_t DemuxHeldBytes(void) { return Collector.held_bytes; }

/* Copies the first "n" bytes of the section buffer of "h" to the head of
 * its section list. Returns 1, or 0 when memory ran out (logged). */
static int CollectorStore(DemuxHandle *h, int n) {
  RawSection *node = (RawSection *)malloc(sizeof(RawSection));
  if (!node) {
    DemuxLog(h, "%s() - Error allocating memory for sat data", "DemuxGetAllSections");
    return 0;
  }
  node->next = nullptr;
  node->length = n;
  node->data = (uint8_t *)malloc((size_t)n);
  if (!node->data) {
    DemuxLog(h, "%s() - Error allocating memory for sat data", "DemuxGetAllSections");
    free(node);
    return 0;
  }
  memcpy(node->data, h->buffer, (size_t)n);
  node->next = h->list;
  h->list = node;
  h->list_bytes += n + COLLECT_NODE_COST;
  Collector.held_bytes += n + COLLECT_NODE_COST;
  return 1;
}

void CollectorBegin(DemuxHandle *h, uint16_t pid, const uint8_t *filter, const uint8_t *mask,
                    int length) {
  DemuxHandleFreeSections(h);
  DemuxCollection *c = &h->collect;
  memset(c, 0, sizeof(*c));
  c->pid = pid;
  if (length > 0 && length <= TS_FILTER_SIZE) {
    memcpy(c->filter, filter, (size_t)length);
    memcpy(c->mask, mask, (size_t)length);
  }
  c->length = length;
  c->start = GetTickMs();
  c->last_progress = c->start;
  c->running = 1;
}

/* Ends the collection on "h": its filter stops. Returns 0 for CollectorStep. */
static int CollectorFinish(DemuxHandle *h) {
  DemuxHandleStopFilter(h);
  h->collect.running = 0;
  return 0;
}

int CollectorStep(DemuxHandle *h, int n) {
  DemuxCollection *c = &h->collect;
  if (n < 0) {
    DemuxLog(h, "%s() - Error reading data from sat", "DemuxGetAllSections");
    return CollectorFinish(h);
  }
  if (n > 0) {
    uint32_t crc = (uint32_t)crc32(COLLECT_CYCLE_SEED, h->buffer, (unsigned int)n);
    if (c->cycle_marker == 0) c->cycle_marker = crc;
    else if (crc == c->cycle_marker) return CollectorFinish(h); /* the table has gone round once */
    if (!CollectorStore(h, n)) return CollectorFinish(h);
    c->count++;
    c->last_progress = GetTickMs();
    /* The section that takes everything held past the bound is the last. */
    if (Collector.held_bytes > Collector.max_bytes) {
      DemuxLog(h, "%s() - Table on PID 0x%X did not repeat within %lld bytes. Stopping with %d sections",
               "DemuxGetAllSections", c->pid, (long long)Collector.max_bytes, c->count);
      return CollectorFinish(h);
    }
  } else {
    if ((uint32_t)(GetTickMs() - c->last_progress) > COLLECT_IDLE_MS) {
      DemuxLog(h, "%s() - Timeout reading data from sat", "DemuxGetAllSections");
      return CollectorFinish(h);
    }
    DemuxHandleStopFilter(h);
    if (!DemuxHandleStartFilter(h, c->pid, c->filter, c->mask, c->length,
                                DEMUX_COLLECT_TIMEOUT)) {
      DemuxLog(h, "%s() - Error calling DemuxSetFilter()", "DemuxGetAllSections");
      return CollectorFinish(h);
    }
  }
  uint32_t elapsed = GetTickMs() - c->start;
  if (elapsed > Collector.max_ms) {
    DemuxLog(h, "%s() - Table on PID 0x%X did not repeat within %u s. Stopping with %d sections",
             "DemuxGetAllSections", c->pid, (unsigned)(Collector.max_ms / 1000), c->count);
    return CollectorFinish(h);
  }
  return 1;
}

int DemuxHandleGetAllSections(DemuxHandle *h, uint16_t pid, const uint8_t *filter,
                              const uint8_t *mask, int length) {
  CollectorBegin(h, pid, filter, mask, length);
  if (!DemuxHandleStartFilter(h, pid, filter, mask, length, DEMUX_COLLECT_TIMEOUT)) {
    DemuxLog(h, "%s() - Error calling DemuxSetFilter()", "DemuxGetAllSections");
    h->collect.running = 0;
    return -1;
  }
  /* The clocks start once the filter runs, as the collection does. */
  h->collect.start = h->collect.last_progress = GetTickMs();
  int n;
  do {
    ShowSpinner();
    n = DemuxHandleGetSection(h);
  } while (CollectorStep(h, n));
  return h->collect.count;
}

int DemuxGetAllSections(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length) {
  return DemuxHandleGetAllSections(DemuxDefault(), pid, filter, mask, length);
}

/* The 256-entry table of the reflected CRC-32 polynomial 0xEDB88320. */
static const uint32_t *CollectorCrcTable(void) {
  static uint32_t table[256];
  static int ready = 0;
  if (!ready) {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = 1;
  }
  return table;
}

extern "C" unsigned long crc32(unsigned long crc, const unsigned char *data, unsigned int len) {
  if (!data) return 0; /* as zlib does: the initial value */
  const uint32_t *table = CollectorCrcTable();
  uint32_t value = ~(uint32_t)crc;
  for (unsigned int i = 0; i < len; i++) value = table[(value ^ data[i]) & 0xFF] ^ (value >> 8);
  return ~value;
}
