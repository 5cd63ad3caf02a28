/* Cuts the seed corpus of the fuzz targets out of a simulated broadcast:
 * the first sections of every MHW2 table, and the start of the stream for
 * the section filter. Usage: fuzz_seeds STREAM.ts CORPUS_DIR */
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "demux/tsfilter.h"

namespace {

struct SeedTable {
  const char *target;
  uint16_t pid;
  uint8_t table_id;
  int count;
};

const SeedTable SEED_TABLES[] = {
    {"channels", 0x231, 0xC8, 1},      {"events3days", 0x234, 0xE6, 6},
    {"events7days", 0x284, 0xDC, 6},   {"summaries3days", 0x236, 0x96, 8},
    {"summaries7days", 0x282, 0x96, 8},
};

bool SeedWrite(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fuzz_seeds STREAM.ts CORPUS_DIR\n");
    return 2;
  }
  FILE *in = fopen(argv[1], "rb");
  if (!in) {
    perror(argv[1]);
    return 1;
  }
  std::vector<uint8_t> stream;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), in)) > 0) stream.insert(stream.end(), buf, buf + n);
  fclose(in);
  std::string corpus = argv[2];

  static TsFilter filter;
  for (const SeedTable &t : SEED_TABLES) {
    TsFilterReset(&filter);
    uint8_t f[1] = {t.table_id}, m[1] = {0xFF};
    TsFilterSet(&filter, t.pid, f, m, nullptr, 1);
    TsFilterFeed(&filter, stream.data(), stream.size());
    uint8_t section[TS_SECTION_MAX];
    int written = 0, len;
    while (written < t.count && (len = TsFilterTake(&filter, section, sizeof(section))) > 0) {
      std::string path = corpus + "/" + t.target + "/sim-" + std::to_string(written);
      if (!SeedWrite(path, section, (size_t)len)) {
        perror(path.c_str());
        return 1;
      }
      written++;
    }
    printf("%-16s %d sections\n", t.target, written);
  }
  /* The section filter's seed: filter on the 3-day summaries (table id 0x96,
   * mask 0xFF, PID 0x236), then the first 200 packets of the stream. */
  std::vector<uint8_t> ts = {0x01, 0x96, 0xFF, 0x02, 0x36};
  size_t take = stream.size() < 200 * TS_PACKET_SIZE ? stream.size() : 200 * TS_PACKET_SIZE;
  ts.insert(ts.end(), stream.begin(), stream.begin() + (long)take);
  if (!SeedWrite(corpus + "/tsfilter/sim-start", ts.data(), ts.size())) return 1;
  return 0;
}
