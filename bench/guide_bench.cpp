/* Benchmark of a whole guide in memory: decoding the 3-day and 7-day event
 * sections into the guide store, decoding the summary sections and attaching
 * them (each attached event goes to the guide database library), and the
 * final store of the events left without summary. Reported per event; the
 * figure must not grow with the size of the guide. The database is the real
 * library, open on a temporary root; nothing is saved. */
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "epgdb.h"
#include "export/export.h"
#include "mhw2/mhw2.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const int kChannels = 200;
const int kEntriesPerSection = 100;
const uint16_t kFirstDay = 61000; /* 2025-11-09 */

void PutBE(Bytes &b, uint32_t value, int size) {
  for (int i = size - 1; i >= 0; i--) b.push_back((uint8_t)(value >> (8 * i)));
}

uint8_t Bcd(int v) { return (uint8_t)(((v / 10) << 4) | (v % 10)); }

/* Event i: channel i % kChannels, one hour per slot, 60 minutes long. */
void PutStart(Bytes &b, int i) {
  int slot = i / kChannels;
  PutBE(b, kFirstDay + slot / 24, 2);
  b.push_back(Bcd(slot % 24));
  b.push_back(0x00);
  b.push_back(0x00);
  PutBE(b, 60 << 4, 2);
}

/* The part both event tables share: summary id, event id, start and
 * duration, title length and title of event i, then one unread byte. */
void PutEntryBody(Bytes &b, int i) {
  std::string t = "Event " + std::to_string(i);
  PutBE(b, (uint32_t)i, 3);
  PutBE(b, (uint32_t)i, 4);
  PutStart(b, i);
  b.push_back((uint8_t)t.size());
  b.insert(b.end(), t.begin(), t.end());
  b.push_back(0x00);
}

/* The tables of a guide of "events" events: the first half also comes in
 * the 3-day table (with a 3-day summary id), all of them in the 7-day
 * table; a 3-day summary for each 3-day summary id in use and a 7-day
 * summary for every event. */
struct Guide {
  std::vector<Bytes> events_3d, events_7d, summaries_3d, summaries_7d;

  explicit Guide(int events) {
    int three_day = events / 2;
    for (int first = 0; first < three_day; first += kEntriesPerSection) {
      Bytes s(18, 0x00);
      s[0] = 0xE6;
      int count = 0;
      for (int i = first; i < three_day && i < first + kEntriesPerSection; i++, count++) {
        s.push_back((uint8_t)(i % kChannels));
        s.insert(s.end(), 3, 0x00);
        PutEntryBody(s, i);
        PutBE(s, (uint32_t)(i & 0xFFFF), 2);
      }
      s[17] = (uint8_t)count;
      events_3d.push_back(s);
    }
    for (int channel = 0; channel < kChannels; channel++) {
      std::vector<int> ids;
      for (int i = channel; i < events; i += kChannels) ids.push_back(i);
      for (size_t first = 0; first < ids.size(); first += kEntriesPerSection) {
        Bytes s(11, 0x00);
        s[0] = 0xDC;
        s[7] = (uint8_t)channel;
        int count = 0;
        for (size_t k = first; k < ids.size() && k < first + kEntriesPerSection; k++, count++) {
          s.push_back(0x00);
          PutEntryBody(s, ids[k]);
          PutBE(s, 0, 2);
          s.push_back(0x00);
        }
        s[10] = (uint8_t)count;
        events_7d.push_back(s);
      }
    }
    int ids_3d = three_day < 0x10000 ? three_day : 0x10000;
    for (int id = 0; id < ids_3d; id++) {
      Bytes s = {0x96, 0x70, 0x00};
      PutBE(s, (uint32_t)id, 2);
      s.insert(s.end(), 9, 0x00);
      std::string t = "Summary " + std::to_string(id);
      s.push_back((uint8_t)t.size());
      s.insert(s.end(), t.begin(), t.end());
      s.push_back(0x02);
      for (const char *line : {"The first line of the summary.", "And its second line."}) {
        s.push_back((uint8_t)strlen(line));
        s.insert(s.end(), line, line + strlen(line));
      }
      s.insert(s.end(), 4, 0xC0);
      summaries_3d.push_back(s);
    }
    for (int i = 0; i < events; i++) {
      Bytes s = {0x96, 0x70, 0x00, 0x00, 0x00, 0x00};
      PutBE(s, (uint32_t)i, 3);
      s.insert(s.end(), 10, 0x00);
      std::string t = "Summary " + std::to_string(i);
      std::string text = "A longer text that tells what the programme is about.";
      s.push_back((uint8_t)t.size());
      s.insert(s.end(), t.begin(), t.end());
      PutBE(s, (uint32_t)text.size(), 2);
      s.insert(s.end(), text.begin(), text.end());
      s.insert(s.end(), 4, 0xC0);
      summaries_7d.push_back(s);
    }
  }
};

void MakeChannels(void) {
  ChannelEntry *table = (ChannelEntry *)calloc(kChannels, sizeof(ChannelEntry));
  for (int i = 0; i < kChannels; i++) {
    table[i].nid = 1;
    table[i].tsid = (uint16_t)(0x400 + i / 50);
    table[i].sid = (uint16_t)(0x1000 + i);
    snprintf(table[i].name, sizeof(table[i].name), "Channel %d", i);
  }
  GuideSetChannels(table, kChannels);
}

void Decode(std::vector<Bytes> &sections, int32_t (*decoder)(uint8_t *, int32_t)) {
  for (Bytes &s : sections)
    if (decoder(s.data(), (int32_t)s.size()) < 0) abort();
}

/* One run over a fresh copy of "guide": every table decoded, every event
 * stored, the store freed. Aborts when the store did not get every event. */
void RunGuide(Guide &work, int events) {
  Decode(work.events_3d, ProcessMHW2Events3days);
  Decode(work.events_7d, ProcessMHW2Events);
  Decode(work.summaries_3d, ProcessMHW2Summaries3days);
  Decode(work.summaries_7d, ProcessMHW2Summaries7days);
  for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e))
    if (!(e->flags & EVENT_HAS_SUMMARY)) StoreEventWithAliases(e, e->title, "");
  if (GuideGetCounters()->total_events != events) abort();
  FreeGuide();
}

void PrepareStore(void) {
  ExportSetTextLimit(0); /* each run counts its own text against the limit */
  MakeChannels();
  memset(GuideGetCounters(), 0, sizeof(GuideCounters));
  GuideGetCounters()->channel_count = kChannels;
}

void BM_GuideDecodeStoreAttach(benchmark::State &state) {
  const int events = (int)state.range(0);
  const Guide guide(events);
  /* One untimed run first, so that every size is measured with the heap
   * already grown rather than the largest paying its page faults alone. */
  {
    Guide work = guide;
    PrepareStore();
    RunGuide(work, events);
    epgdb_clean();
  }
  for (auto _ : state) {
    state.PauseTiming();
    Guide work = guide; /* the summary decoders write into their sections */
    PrepareStore();
    state.ResumeTiming();

    RunGuide(work, events);

    state.PauseTiming();
    epgdb_clean();
    state.ResumeTiming();
  }
  state.counters["events"] = events;
  state.counters["time_per_event"] = benchmark::Counter(
      events, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_GuideDecodeStoreAttach)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(200000)
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  char root[] = "/tmp/mhw2-bench-XXXXXX";
  if (!mkdtemp(root) || !epgdb_open(root)) {
    fprintf(stderr, "cannot open a guide database under %s\n", root);
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  epgdb_close();
  epgdb_clean();
  std::string rm = std::string("rm -rf '") + root + "'";
  return system(rm.c_str()) == 0 ? 0 : 1;
}
