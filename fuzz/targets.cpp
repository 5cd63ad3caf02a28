/* Fuzz entry points. Each copies the input into a heap buffer of exactly its
 * size (so a read past the end is caught), sets up the guide state the entry
 * expects, runs it and releases everything again. */
#include "targets.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "demux/tsfilter.h"
#include "epgdb.h"
#include "export/export.h"
#include "mhw2/mhw2.h"

namespace {

/* A valid channel section with "count" channels named "C0".."Cn". */
std::vector<uint8_t> FuzzChannelSection(int count) {
  std::vector<uint8_t> s(121, 0);
  s[0] = 0xC8;
  s[120] = (uint8_t)count;
  for (int i = 0; i < count; i++) {
    uint8_t entry[8] = {0, 1, 0, 2, (uint8_t)(i >> 8), (uint8_t)i, 0, 0};
    s.insert(s.end(), entry, entry + 8);
  }
  for (int i = 0; i < count; i++) {
    std::string name = "C" + std::to_string(i);
    s.push_back((uint8_t)name.size());
    s.insert(s.end(), name.begin(), name.end());
  }
  return s;
}

/* The guide database in a private folder, opened for one input. */
const char *FuzzDatabaseRoot(void) {
  static std::string root;
  if (root.empty()) {
    char templ[] = "/tmp/mhw2fuzz-XXXXXX";
    if (!mkdtemp(templ)) abort();
    root = templ;
  }
  return root.c_str();
}

void FuzzSetUpChannels(void) {
  std::vector<uint8_t> channels = FuzzChannelSection(10);
  if (ProcessMHW2Channels(channels.data(), (int32_t)channels.size()) != 10) abort();
}

/* A few events whose summary ids the fuzzer can hit: ids 0..7 in the 24-bit
 * and the 16-bit field, two channels. */
void FuzzSetUpEvents(void) {
  for (int i = 0; i < 8; i++) {
    EventRecord e;
    memset(&e, 0, sizeof(e));
    e.channel = (uint16_t)(i % 2);
    e.mhw_event_id = (uint32_t)i;
    e.summary_id = (uint32_t)i;
    e.summary_id_3d = (uint32_t)(i + 1);
    e.start_time = 1700000000 + i * 3600;
    e.duration = 30 + i;
    e.day = 14;
    e.hour = (uint8_t)i;
    char title[16];
    snprintf(title, sizeof(title), "Programa %d", i);
    e.title = title;
    AddEvent3days(&e);
  }
}

int FuzzDecode(const uint8_t *data, size_t size, int32_t (*decode)(uint8_t *, int32_t), bool events,
               bool database) {
  if (size > 4098) return 0; /* the demux never delivers more */
  uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
  if (!copy) return 0;
  if (size) memcpy(copy, data, size);
  if (database && !epgdb_open(FuzzDatabaseRoot())) abort();
  ExportSetTextLimit(0); /* every input a run of its own: nothing left out by earlier ones */
  FuzzSetUpChannels();
  if (events) FuzzSetUpEvents();
  decode(copy, (int32_t)size);
  free(copy);
  FreeGuide();
  if (database) {
    epgdb_close();
    epgdb_clean();
  }
  return 0;
}

int FuzzChannels(const uint8_t *data, size_t size) {
  if (size > 4098) return 0;
  uint8_t *heap = (uint8_t *)malloc(size ? size : 1);
  if (!heap) return 0;
  if (size) memcpy(heap, data, size);
  int32_t n = ProcessMHW2Channels(heap, (int32_t)size);
  if (n < 0 || n > 255) abort();
  /* Every decoded name is terminated inside its field. */
  for (int32_t i = 0; i < n; i++)
    if (memchr(GuideChannels()[i].name, 0, sizeof(GuideChannels()[i].name)) == nullptr) abort();
  free(heap);
  FreeGuide();
  return 0;
}

int FuzzEvents3days(const uint8_t *d, size_t n) { return FuzzDecode(d, n, ProcessMHW2Events3days, false, false); }
int FuzzEvents7days(const uint8_t *d, size_t n) { return FuzzDecode(d, n, ProcessMHW2Events, true, false); }
int FuzzSummaries3days(const uint8_t *d, size_t n) { return FuzzDecode(d, n, ProcessMHW2Summaries3days, true, true); }
int FuzzSummaries7days(const uint8_t *d, size_t n) { return FuzzDecode(d, n, ProcessMHW2Summaries7days, true, true); }

/* The configuration file with the input as its content. A file that asks
 * for auto-detection probes the demux devices; without any it ends at once. */
int FuzzConfig(const uint8_t *data, size_t size) {
  static std::string path;
  if (path.empty()) path = std::string(FuzzDatabaseRoot()) + "/fuzz.conf";
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (size) fwrite(data, 1, size, f);
  fclose(f);
  ReadConfig(path.c_str());
  RunSettings *s = ConfigSettings();
  if (memchr(s->demux_path, 0, sizeof(s->demux_path)) == nullptr) abort();
  FreeGuide();
  ConfigReset();
  return 0;
}

/* Checks that "out" of "n" bytes is well-formed UTF-8 and decodes to "in". */
bool FuzzUtf8Matches(const uint8_t *out, int n, const uint8_t *in, int consumed) {
  int o = 0, i = 0;
  while (o < n) {
    if (i >= consumed) return false;
    if (out[o] < 0x80) {
      if (out[o] != in[i]) return false;
      o++;
    } else {
      if (o + 1 >= n) return false;
      if ((out[o] & 0xE0) != 0xC0 || (out[o + 1] & 0xC0) != 0x80) return false;
      int cp = ((out[o] & 0x1F) << 6) | (out[o + 1] & 0x3F);
      if (cp < 0x80 || cp != in[i]) return false;
      o += 2;
    }
    i++;
  }
  return i == consumed;
}

/* isolat1ToUTF8 with the room taken from the first two bytes of the input. */
int FuzzUtf8(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  int room = ((data[0] << 8) | data[1]) % 1024;
  int in_len = (int)size - 2;
  /* One byte more than the input, so an empty input is still a valid pointer. */
  std::vector<uint8_t> in(data + 2, data + size);
  in.push_back(0);
  uint8_t *out = (uint8_t *)malloc(room ? room : 1);
  if (!out) return 0;
  int out_len = room;
  int consumed = in_len;
  int written = isolat1ToUTF8(out, &out_len, in.data(), &consumed);
  if (written < 0 || written != out_len || written > room) abort();
  if (consumed < 0 || consumed > in_len) abort();
  if (!FuzzUtf8Matches(out, written, in.data(), consumed)) abort();
  free(out);
  return 0;
}

/* The transport stream section filter: byte 0 picks the filter (table id
 * byte 1, mask from byte 2), bytes 3-4 the PID, the rest is the stream, fed
 * in chunks whose sizes come from byte 0 too. */
int FuzzTsFilter(const uint8_t *data, size_t size) {
  if (size < 5) return 0;
  static TsFilter *filter = new TsFilter();
  TsFilterReset(filter);
  uint8_t fbytes[2] = {data[1], 0x00};
  uint8_t mbytes[2] = {data[2], (uint8_t)((data[0] & 1) ? 0xFF : 0x00)};
  uint16_t pid = (uint16_t)(((data[3] << 8) | data[4]) & 0x1FFF);
  if (!TsFilterSet(filter, pid, fbytes, mbytes, nullptr, 2)) abort();
  size_t chunk = 1 + (size_t)(data[0] >> 1) * 3;
  uint8_t out[4100];
  for (size_t pos = 5; pos < size; pos += chunk) {
    size_t n = size - pos < chunk ? size - pos : chunk;
    std::vector<uint8_t> piece(data + pos, data + pos + n);
    TsFilterFeed(filter, piece.data(), piece.size());
    int got;
    while ((got = TsFilterTake(filter, out, 4098)) > 0) {
      if (got > 4098) abort();
      if (!TsFilterMatch(filter, out, got)) abort();
    }
  }
  TsFilterReset(filter);
  return 0;
}

}  // namespace

const FuzzTarget FUZZ_TARGETS[] = {
    {"channels", FuzzChannels},
    {"events3days", FuzzEvents3days},
    {"events7days", FuzzEvents7days},
    {"summaries3days", FuzzSummaries3days},
    {"summaries7days", FuzzSummaries7days},
    {"config", FuzzConfig},
    {"utf8", FuzzUtf8},
    {"tsfilter", FuzzTsFilter},
    {nullptr, nullptr},
};

const FuzzTarget *FuzzFindTarget(const char *name) {
  for (const FuzzTarget *t = FUZZ_TARGETS; t->name; t++)
    if (strcmp(t->name, name) == 0) return t;
  return nullptr;
}
