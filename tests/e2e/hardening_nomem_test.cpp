/* Memory that runs out: whole grabs of a small simulated guide over an
 * earlier one, with the Nth heap allocation refused (the preload
 * build/libnomem.so), for N spread over the whole run, and with every
 * allocation refused from the Nth on. Each run must end as the program's
 * failure paths say: no abort and no sanitizer report, exit code 0 with the
 * main log's "done", or 1 after the database open's failure; guide.db
 * sound and either the earlier guide, the whole new guide, or the new
 * guide's save of what the run still had, with a main log line that says
 * what memory cost.
 *
 * MHW2_NOMEM_SWEEP=all refuses every allocation of the run in turn, in
 * both modes (make nomem-sweep); otherwise a sample spread over the run. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>

#include "e2e/sim_helpers.h"
#include "support/guide_dump.h"
#include "support/hardening_helpers.h"
#include "support/run_helper.h"

namespace {

/* A week on three channels with summaries (some continued, some repeated)
 * and long titles: every table, both summary tables' attachment and the
 * save, in about 5 000 allocations. */
std::string SmallGuide(int seed) {
  return "--random --seed " + std::to_string(seed) + " --start " + SimToday() +
         " --channels 3 --days 7 --events-per-day 4 --summaries 0.7 --repeats 0.2 --continuations"
         " --long-titles 0.1 --cycles 2";
}

/* The environment of a run with "refuse" (NOMEM_FAIL_AT=N, NOMEM_FAIL_FROM=N
 * or NOMEM_COUNT=FILE). A sanitizer runtime must accept the preload in
 * front of it. */
std::vector<std::string> NomemEnv(const std::string &refuse) {
  std::vector<std::string> env = {"LD_PRELOAD=" MHW2_BUILD_DIR "/libnomem.so", SIM_TZ, refuse};
  if (!getenv("ASAN_OPTIONS")) env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  return env;
}

/* The messages of a main log with their digits left out, so that counts do
 * not tell two runs apart. */
std::set<std::string> Shapes(const std::string &log) {
  std::set<std::string> shapes;
  for (std::string m : LogMessages(log)) {
    std::string shape;
    for (char c : m)
      if (c < '0' || c > '9') shape += c;
    shapes.insert(shape);
  }
  return shapes;
}

/* A title line without its long description: what a title is, whatever
 * summary it got. */
std::string Identity(const std::string &line) { return line.substr(0, line.rfind('|')); }

/* True when the hex text "hex" holds the bytes 0A 0A (two line feeds). */
bool HasEmptyLine(const std::string &hex) {
  for (size_t i = 0; i + 4 <= hex.size(); i += 2)
    if (hex.compare(i, 4, "0A0A") == 0) return true;
  return false;
}

/* The title lines of a GuideDump. */
std::vector<std::string> TitleLines(const std::string &dump) {
  std::vector<std::string> titles;
  for (const auto &line : SplitLines(dump))
    if (line.compare(0, 8, "channel ") != 0) titles.push_back(line);
  return titles;
}

struct Sweep {
  GrabDir g{"nomem"};
  std::string before_copy;
  std::string config;                     /* of the grabs of B */
  std::string before, after;              /* GuideDump of the two guides */
  std::set<std::string> before_titles;
  std::set<std::string> after_titles;     /* their Identity */
  std::set<std::string> reference_shapes; /* of the run without refusals */
  long allocations = 0;
  int runs = 0, saved_whole = 0, saved_part = 0, kept = 0, refused_open = 0, no_log = 0;

  /* Grabs broadcast A into a new database, then broadcast B over it through
   * the preload without refusals: the earlier guide, the whole new guide,
   * and the run's allocation count. */
  void SetUp() {
    std::string streams[2];
    for (int k = 0; k < 2; k++) {
      std::string folder = g.dir + "/" + (k ? "b" : "a");
      SimExpectation e;
      ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
      ASSERT_TRUE(SimGenerate(folder, SmallGuide(40 + k), "", &e));
      streams[k] = e.stream;
    }
    g.err_path = g.dir + "/stderr";
    g.WriteConfig("demux=" + streams[0] + "\n");
    GrabResult a = g.Run({g.root}, {SIM_TZ});
    ASSERT_EQ(a.exit_code, 0) << a.log;
    before_copy = g.dir + "/before.db";
    ASSERT_TRUE(HardCopyFile(g.root + "/guide.db", before_copy));
    before = GuideDump(g.root);
    for (const auto &t : TitleLines(before)) before_titles.insert(t);

    /* The new broadcast with UTF-8 texts and an alias onto a channel the
     * channel table does not hold. */
    config = "demux=" + streams[1] + "\nConvertToUTF8=1\nalias=1F41:400:1,99:98:97\n";
    g.WriteConfig(config);
    const std::string count_path = g.dir + "/count";
    GrabResult b = g.Run({g.root}, NomemEnv("NOMEM_COUNT=" + count_path));
    ASSERT_EQ(b.exit_code, 0) << b.log << ReadFileText(g.err_path);
    ASSERT_TRUE(HasLine(LogMessages(b.log), "Data saved")) << b.log;
    reference_shapes = Shapes(b.log);
    after = GuideDump(g.root);
    ASSERT_NE(before, after);
    for (const auto &t : TitleLines(after)) after_titles.insert(Identity(t));
    allocations = atol(ReadFileText(count_path).c_str());
    ASSERT_GT(allocations, 1000) << "the preload counted too few allocations";
  }

  /* One grab of B over A with "refuse", every table at once or, with
   * "one_by_one", one table after another; checked. "label" names it in
   * failures. */
  void Run(const std::string &refuse, const std::string &label, bool one_by_one) {
    runs++;
    g.WriteConfig(config + (one_by_one ? "ParallelDownload=0\n" : ""));
    unlink((g.root + "/guide.db-journal").c_str());
    ASSERT_TRUE(HardCopyFile(before_copy, g.root + "/guide.db"));
    GrabResult r = g.Run({g.root}, NomemEnv(refuse));
    std::string err = ReadFileText(g.err_path);
    SCOPED_TRACE(label + "\n" + r.log.substr(0, 20000) + err.substr(0, 20000));
    ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1) << "exit code " << r.exit_code;
    ASSERT_EQ(err.find("Sanitizer"), std::string::npos);
    ASSERT_EQ(err.find("runtime error"), std::string::npos);
    ASSERT_EQ(HardIntegrity(g.root + "/guide.db"), "ok\n");

    std::vector<std::string> messages = LogMessages(r.log);
    while (!messages.empty() && messages.back().empty()) messages.pop_back();
    /* A failure is said once where it happens, not in a loop of retries. */
    EXPECT_LT(messages.size(), 1000u);
    std::string now = GuideDump(g.root);
    if (messages.empty()) {
      /* The main log's own stream was refused: the run goes on without a
       * main log, as with a log path that cannot be opened, and with the
       * rest of its memory saves the whole new guide. */
      ASSERT_EQ(r.exit_code, 0);
      ASSERT_EQ(now, after);
      no_log++;
    } else if (r.exit_code == 1) {
      /* The guide database could not be opened: its failure path. */
      ASSERT_GE(messages.size(), 2u);
      EXPECT_EQ(messages[messages.size() - 2], "Error opening EPGDB");
      EXPECT_EQ(messages.back().compare(0, 7, "EPGDB: "), 0) << messages.back();
      refused_open++;
    } else {
      ASSERT_EQ(messages.back(), "done");
    }

    if (now == after) {
      saved_whole++;
      return;
    }
    /* Anything less than the whole new guide is said in the main log: a
     * message that the run without refusals does not write. */
    bool told = false;
    for (const auto &shape : Shapes(r.log)) told = told || !reference_shapes.count(shape);
    EXPECT_TRUE(told) << "guide.db lacks part of the new guide, and the main log does not say why";
    if (now == before) {
      kept++;
      return;
    }
    /* The save of what the run still had: every title is one of the earlier
     * guide or one of the new guide, with all its fields and texts, whatever
     * summary the tables that came gave it (a long description with its
     * empty line); the new ones are the titles the run saved, and they
     * replaced the earlier titles they overlap. */
    ASSERT_TRUE(HasLine(messages, "Data saved"));
    int from_new = 0;
    for (const auto &t : TitleLines(now)) {
      if (before_titles.count(t)) continue;
      ASSERT_TRUE(after_titles.count(Identity(t))) << "a title of neither guide: " << t;
      ASSERT_TRUE(HasEmptyLine(t.substr(t.rfind('|') + 1))) << "a title without its long description: " << t;
      from_new++;
    }
    EXPECT_EQ(GuideOverlaps(g.root), 0);
    const std::string saved_line = std::to_string(from_new) + " titles saved - ";
    bool counted = false;
    for (const auto &m : messages) counted = counted || m.compare(0, saved_line.size(), saved_line) == 0;
    EXPECT_TRUE(counted) << from_new << " titles of the new guide in guide.db";
    saved_part++;
  }
};

/* The values of N to refuse among "count" allocations: all of them, or
 * "samples" spread evenly over the run, each at a random place within its
 * share (the seed is in the failure messages). */
std::vector<long> Choose(long count, long samples, bool all, std::mt19937 *rng) {
  std::vector<long> picks;
  if (all || samples >= count) {
    for (long n = 1; n <= count; n++) picks.push_back(n);
    return picks;
  }
  for (long k = 0; k < samples; k++) {
    long from = 1 + count * k / samples, to = count * (k + 1) / samples;
    picks.push_back(std::uniform_int_distribution<long>(from, to < from ? from : to)(*rng));
  }
  return picks;
}

TEST(HardeningNomem, RefusedAllocationsEndTheirOperationNeverTheRun) {
  Sweep s;
  s.SetUp();
  if (HasFatalFailure()) return;
  const char *sweep = getenv("MHW2_NOMEM_SWEEP");
  bool all = sweep && std::string(sweep) == "all";
  unsigned seed = std::random_device()();
  std::mt19937 rng(seed);
  const std::string seed_text = " (seed " + std::to_string(seed) + ", " +
                                std::to_string(s.allocations) + " allocations a run)";

  /* One allocation refused, the rest granted: a passing shortage. Every
   * other run collects one table after another. */
  bool one_by_one = false;
  for (long n : Choose(s.allocations, 400, all, &rng)) {
    one_by_one = !one_by_one;
    s.Run("NOMEM_FAIL_AT=" + std::to_string(n),
          "allocation " + std::to_string(n) + (one_by_one ? ", one table after another" : "") +
              seed_text,
          one_by_one);
    if (HasFatalFailure()) return;
  }
  /* Every allocation from the Nth on refused: memory that stays gone. The
   * first one counted is the main log's own stream, so these start after it. */
  for (long n : Choose(s.allocations - 1, 40, all, &rng)) {
    s.Run("NOMEM_FAIL_FROM=" + std::to_string(n + 1),
          "allocations from " + std::to_string(n + 1) + seed_text, false);
    if (HasFatalFailure()) return;
  }
  /* The sweep reached every way a run can end. */
  EXPECT_GT(s.saved_whole, 0);
  EXPECT_GT(s.saved_part, 0);
  EXPECT_GT(s.kept, 0);
  EXPECT_GT(s.refused_open, 0);
  printf("%d runs over %ld allocations: %d whole new guides, %d partial saves, %d earlier guides"
         " kept, %d refused opens, %d without main log\n",
         s.runs, s.allocations, s.saved_whole, s.saved_part, s.kept, s.refused_open, s.no_log);
}

}  // namespace
