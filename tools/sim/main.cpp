/* mhw2sim: writes a transport stream that carries an MHW2 guide as a
 * carousel, and tells what a correct grab of it stores. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "expect.h"
#include "guide.h"
#include "hostile.h"
#include "tables.h"

namespace {

const char kUsage[] =
    "usage: mhw2sim (--guide FILE | --random [random options] | --hostile SHAPE --events N)\n"
    "               [stream options] [outputs]\n"
    "       mhw2sim --dump-db ROOT\n"
    "random options: --channels N --days N --events-per-day N --summaries SHARE\n"
    "  --repeats SHARE --duplicates SHARE --long-titles SHARE --continuations --big\n"
    "  --seed N --start YYYY-MM-DD\n"
    "hostile shapes: shared-summary reverse-merge repeated-summary (also --start)\n"
    "stream options: --section-size N --omit channels|events3|events7|summaries3|summaries7\n"
    "  --cycles N --mid-cycle --pack --garbage --noise\n"
    "  --mux-rate BITS --rate channels|events3|events7|summaries3|summaries7=BITS\n"
    "outputs: -o STREAM.ts --write-guide FILE --expect FILE|- --stats FILE|-\n"
    "grab settings for --expect/--stats: --no-3-days --no-7-days --utf8 --alias S:T:N,S:T:N\n";

/* Prints "why" (when given) and the usage to stderr. Returns 1. */
int SimUsage(const char *why) {
  if (why) fprintf(stderr, "mhw2sim: %s\n", why);
  fputs(kUsage, stderr);
  return 1;
}

/* Writes "text" to "path" ("-": standard output). Returns 1, or 0 after a message. */
int SimWriteText(const std::string &path, const std::string &text) {
  if (path == "-") {
    fwrite(text.data(), 1, text.size(), stdout);
    return 1;
  }
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "mhw2sim: %s: cannot write\n", path.c_str());
    return 0;
  }
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (fclose(f) != 0) ok = false;
  if (!ok) fprintf(stderr, "mhw2sim: %s: write failed\n", path.c_str());
  return ok;
}

/* Parses a whole number between "lo" and "hi". Returns 1, or 0. */
int SimParseInt(const char *text, long lo, long hi, long *out) {
  char *end = nullptr;
  long v = strtol(text, &end, 0);
  if (!*text || *end || v < lo || v > hi) return 0;
  *out = v;
  return 1;
}

/* Parses a share from 0 to 1. Returns 1, or 0. */
int SimParseShare(const char *text, double *out) {
  char *end = nullptr;
  double v = strtod(text, &end);
  if (!*text || *end || v < 0.0 || v > 1.0) return 0;
  *out = v;
  return 1;
}

/* Parses YYYY-MM-DD into seconds since 1970 at 00:00 UTC. Returns 1, or 0. */
int SimParseDay(const char *text, uint32_t *out) {
  int y, m, d;
  char tail;
  if (sscanf(text, "%d-%d-%d%c", &y, &m, &d, &tail) != 3 || y < 1970 || y > 2100 || m < 1 || m > 12 ||
      d < 1 || d > 31)
    return 0;
  *out = GuideUtcSeconds(y, m, d, 0, 0);
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::string guide_path, stream_path, guide_out, expect_path, stats_path, dump_root, hostile;
  bool random = false;
  long hostile_events = 0;
  SimRandomShape shape;
  shape.start_day = (uint32_t)(time(nullptr) / 86400 * 86400);
  SimStreamOptions opt;
  ExpectConfig config;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    auto need = [&](bool ok) { return ok ? 0 : SimUsage(("bad or missing value for " + a).c_str()); };
    if (a == "--guide") { if (!v) return SimUsage("--guide needs a file"); guide_path = v; i++; }
    else if (a == "--random") random = true;
    else if (a == "--hostile") { if (!v) return SimUsage("--hostile needs a shape"); hostile = v; i++; }
    else if (a == "--events") { if (need(v && SimParseInt(v, 1, 2000000, &hostile_events))) return 1; i++; }
    else if (a == "--channels") { if (need(v && SimParseInt(v, 1, 255, &n))) return 1; shape.channels = (int)n; i++; }
    else if (a == "--days") { if (need(v && SimParseInt(v, 1, 14, &n))) return 1; shape.days = (int)n; i++; }
    else if (a == "--events-per-day") { if (need(v && SimParseInt(v, 1, 1440, &n))) return 1; shape.events_per_day = (int)n; i++; }
    else if (a == "--summaries") { if (need(v && SimParseShare(v, &shape.summary_share))) return 1; i++; }
    else if (a == "--repeats") { if (need(v && SimParseShare(v, &shape.repeat_share))) return 1; i++; }
    else if (a == "--duplicates") { if (need(v && SimParseShare(v, &shape.duplicate_share))) return 1; i++; }
    else if (a == "--long-titles") { if (need(v && SimParseShare(v, &shape.long_title_share))) return 1; i++; }
    else if (a == "--continuations") shape.continuations = true;
    else if (a == "--big") { shape.big = true; opt.section_size = SIM_SECTION_MAX; }
    else if (a == "--seed") { if (need(v && SimParseInt(v, 0, 0x7FFFFFFF, &n))) return 1; shape.seed = opt.seed = (uint32_t)n; i++; }
    else if (a == "--start") { if (need(v && SimParseDay(v, &shape.start_day))) return 1; i++; }
    else if (a == "--section-size") { if (need(v && SimParseInt(v, 128, SIM_SECTION_MAX, &n))) return 1; opt.section_size = (int)n; i++; }
    else if (a == "--cycles") { if (need(v && SimParseInt(v, 1, 16, &n))) return 1; opt.repeats = (int)n; i++; }
    else if (a == "--mid-cycle") opt.mid_cycle = true;
    else if (a == "--pack") opt.pack = true;
    else if (a == "--garbage") opt.garbage = true;
    else if (a == "--noise") opt.noise = true;
    else if (a == "--mux-rate") { if (need(v && SimParseInt(v, 1000, 1000000000, &n))) return 1; opt.mux_rate = (uint64_t)n; i++; }
    else if (a == "--rate") {
      const char *eq = v ? strchr(v, '=') : nullptr;
      int k = 0;
      while (eq && k < SIM_TABLES && strncmp(v, SIM_TABLE_NAMES[k], (size_t)(eq - v)) != 0) k++;
      if (!eq || k == SIM_TABLES || strlen(SIM_TABLE_NAMES[k]) != (size_t)(eq - v) ||
          !SimParseInt(eq + 1, 1, 1000000000, &n))
        return SimUsage("--rate takes TABLE=BITS, TABLE one of channels, events3, events7, summaries3, summaries7");
      opt.rate[k] = (uint64_t)n;
      i++;
    }
    else if (a == "--omit") {
      int k = 0;
      while (k < SIM_TABLES && (!v || strcmp(v, SIM_TABLE_NAMES[k]) != 0)) k++;
      if (k == SIM_TABLES) return SimUsage("--omit takes channels, events3, events7, summaries3 or summaries7");
      opt.omit[k] = true;
      i++;
    }
    else if (a == "-o") { if (!v) return SimUsage("-o needs a file"); stream_path = v; i++; }
    else if (a == "--write-guide") { if (!v) return SimUsage("--write-guide needs a file"); guide_out = v; i++; }
    else if (a == "--expect") { if (!v) return SimUsage("--expect needs a file or -"); expect_path = v; i++; }
    else if (a == "--stats") { if (!v) return SimUsage("--stats needs a file or -"); stats_path = v; i++; }
    else if (a == "--no-3-days") config.download_3_days = false;
    else if (a == "--no-7-days") config.download_7_days = false;
    else if (a == "--utf8") config.convert_to_utf8 = true;
    else if (a == "--alias") {
      ExpectAlias alias;
      if (!v || !ExpectParseAlias(v, &alias)) return SimUsage("--alias takes S:T:N,S:T:N in hexadecimal");
      config.aliases.push_back(alias);
      i++;
    }
    else if (a == "--dump-db") { if (!v) return SimUsage("--dump-db needs a database root"); dump_root = v; i++; }
    else if (a == "-h" || a == "--help") { fputs(kUsage, stdout); return 0; }
    else return SimUsage(("unknown option " + a).c_str());
  }

  if (!dump_root.empty()) {
    std::vector<ExpectRow> rows;
    if (!ExpectReadDatabase(dump_root, &rows)) return 1;
    return SimWriteText("-", ExpectFormatRows(rows)) ? 0 : 1;
  }
  if ((int)random + (int)!guide_path.empty() + (int)!hostile.empty() != 1)
    return SimUsage("give one of --guide FILE, --random or --hostile SHAPE");
  if (!hostile.empty() && hostile_events == 0) return SimUsage("--hostile needs --events N");
  bool rated = false;
  for (uint64_t r : opt.rate) rated = rated || r > 0;
  if (rated && opt.mux_rate == 0) return SimUsage("--rate needs --mux-rate");
  if (opt.mux_rate > 0 && (opt.pack || opt.garbage))
    return SimUsage("--pack and --garbage do not go with --mux-rate: a timed multiplex is whole packets");

  SimGuide guide;
  if (!hostile.empty()) {
    if (!HostileGenerate(hostile, (int)hostile_events, shape.start_day, &guide, &opt)) return 1;
  } else if (random ? !GuideGenerate(shape, &guide) : !GuideReadFile(guide_path, &guide)) {
    return 1;
  }
  SimTables tables;
  if (!TablesBuild(guide, opt, &tables)) return 1;
  if (!guide_out.empty() && !SimWriteText(guide_out, GuideFormatText(guide))) return 1;
  if (!stream_path.empty()) {
    size_t bytes = 0;
    if (!TablesWriteStream(tables, opt, stream_path, &bytes)) return 1;
    fprintf(stderr, "mhw2sim: %s: %zu bytes, %zu channels, %zu events, %zu summaries\n", stream_path.c_str(),
            bytes, guide.channels.size(), guide.events.size(), guide.summaries.size());
  }
  if (!expect_path.empty() || !stats_path.empty()) {
    std::vector<ExpectRow> rows, rows_fwd;
    ExpectStats stats, stats_fwd;
    ExpectGrab(guide, tables, config, false, &rows, &stats);
    ExpectGrab(guide, tables, config, true, &rows_fwd, &stats_fwd);
    std::string text = ExpectFormatRows(rows);
    std::string stats_text = ExpectFormatStats(stats);
    if (text != ExpectFormatRows(rows_fwd) || stats_text != ExpectFormatStats(stats_fwd)) {
      fprintf(stderr, "mhw2sim: what is stored depends on the order in which sections arrive; "
                      "make conflicting entries share one section\n");
      return 3;
    }
    if (opt.mux_rate > 0) {
      SimTiming timing;
      if (!TablesTiming(tables, opt, &timing)) return 1;
      char line[64];
      for (int k = 0; k < SIM_TABLES; k++) {
        snprintf(line, sizeof(line), "cycle_%s %.3f\n", SIM_TABLE_NAMES[k], timing.cycle[k]);
        stats_text += line;
      }
    }
    if (!expect_path.empty() && !SimWriteText(expect_path, text)) return 1;
    if (!stats_path.empty() && !SimWriteText(stats_path, stats_text)) return 1;
  }
  return 0;
}
