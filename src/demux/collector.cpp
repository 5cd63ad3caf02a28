/* Section collector: reads one whole table into the section list until its
 * cycle has passed once; owns the CRC-32 that recognises the cycle. */
#include <stdlib.h>
#include <string.h>

#include "demux/demux.h"
#include "log/log.h"
#include "run/status.h"

constexpr uint32_t COLLECT_CYCLE_SEED = 0x12345678u;
constexpr uint32_t COLLECT_IDLE_MS = 60000;
constexpr uint32_t COLLECT_FILTER_TIMEOUT = 1000;
/* Bounds for a table whose first section never comes back (it changed
 * while the table was read, or the stream is broken) while other sections
 * keep coming. The largest real tables, the summary tables, hold tens of MB
 * and go round in a few minutes; 30 minutes and 256 MB are several times
 * that, yet stop a receiver from hanging or running out of memory. */
constexpr uint32_t COLLECT_MAX_MS = 30u * 60u * 1000u;
constexpr int64_t COLLECT_MAX_BYTES = 256ll * 1024 * 1024;
/* What one stored section costs beyond its bytes: its node and the heap's
 * bookkeeping of two allocations, so that a stream of tiny sections meets
 * the same memory bound. */
constexpr int64_t COLLECT_NODE_COST = (int64_t)sizeof(RawSection) + 2 * 16;

static struct {
  RawSection *list;
  uint32_t cycle_marker;
  uint32_t max_ms;
  int64_t max_bytes;
} Collector = {nullptr, 0, COLLECT_MAX_MS, COLLECT_MAX_BYTES};

RawSection *DemuxSectionList(void) { return Collector.list; }

void FreeSectionList(void) {
  while (Collector.list) {
    RawSection *node = Collector.list;
    Collector.list = node->next;
    free(node->data);
    free(node);
  }
}

void DemuxSetCollectLimits(uint32_t max_ms, int64_t max_bytes) {
  Collector.max_ms = max_ms ? max_ms : COLLECT_MAX_MS;
  Collector.max_bytes = max_bytes ? max_bytes : COLLECT_MAX_BYTES;
}

/* Copies the first "n" bytes of the section buffer to the head of the
 * section list. Returns 1, or 0 when memory ran out (logged). */
static int CollectorStore(int n) {
  RawSection *node = (RawSection *)malloc(sizeof(RawSection));
  if (!node) {
    WriteLog("%s() - Error allocating memory for sat data", "DemuxGetAllSections");
    return 0;
  }
  node->next = nullptr;
  node->length = n;
  node->data = (uint8_t *)malloc((size_t)n);
  if (!node->data) {
    WriteLog("%s() - Error allocating memory for sat data", "DemuxGetAllSections");
    free(node);
    return 0;
  }
  memcpy(node->data, DemuxSectionBuffer(), (size_t)n);
  node->next = Collector.list;
  Collector.list = node;
  return 1;
}

int DemuxGetAllSections(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length) {
  FreeSectionList();
  int count = 0;
  int64_t stored_bytes = 0;
  Collector.cycle_marker = 0;
  if (!DemuxStartFilter(pid, filter, mask, length, COLLECT_FILTER_TIMEOUT)) {
    WriteLog("%s() - Error calling DemuxSetFilter()", "DemuxGetAllSections");
    return -1;
  }
  uint32_t start = GetTickMs();
  uint32_t last_progress = start;
  for (;;) {
    ShowSpinner();
    int n = DemuxGetSection();
    if (n < 0) {
      WriteLog("%s() - Error reading data from sat", "DemuxGetAllSections");
      break;
    }
    if (n > 0) {
      uint32_t crc = (uint32_t)crc32(COLLECT_CYCLE_SEED, DemuxSectionBuffer(), (unsigned int)n);
      if (Collector.cycle_marker == 0) Collector.cycle_marker = crc;
      else if (crc == Collector.cycle_marker) break; /* the table has gone round once */
      if (!CollectorStore(n)) break;
      count++;
      stored_bytes += n + COLLECT_NODE_COST;
      last_progress = GetTickMs();
    } else {
      if ((uint32_t)(GetTickMs() - last_progress) > COLLECT_IDLE_MS) {
        WriteLog("%s() - Timeout reading data from sat", "DemuxGetAllSections");
        break;
      }
      DemuxStopFilter();
      if (!DemuxStartFilter(pid, filter, mask, length, COLLECT_FILTER_TIMEOUT)) {
        WriteLog("%s() - Error calling DemuxSetFilter()", "DemuxGetAllSections");
        break;
      }
    }
    if (stored_bytes > Collector.max_bytes) {
      WriteLog("%s() - Table on PID 0x%X did not repeat within %lld bytes. Stopping with %d sections",
               "DemuxGetAllSections", pid, (long long)Collector.max_bytes, count);
      break;
    }
    uint32_t elapsed = GetTickMs() - start;
    if (elapsed > Collector.max_ms) {
      WriteLog("%s() - Table on PID 0x%X did not repeat within %u s. Stopping with %d sections",
               "DemuxGetAllSections", pid, (unsigned)(Collector.max_ms / 1000), count);
      break;
    }
  }
  DemuxStopFilter();
  return count;
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
