/* Runs of the grabber under valgrind's memcheck: a whole grab with every
 * table, aliases, UTF-8 conversion and the debug log, and the runs that end
 * early or meet a failure, each with no memory error, nothing left
 * allocated and no descriptor left open at the end. */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "e2e/sim_helpers.h"
#include "support/hardening_helpers.h"
#include "support/run_helper.h"

namespace {

const char kValgrind[] = "/usr/bin/valgrind";

/* Skips the test where memcheck cannot run. */
#define HARD_NEED_VALGRIND()                                                          \
  do {                                                                                \
    if (HARD_SANITIZED) GTEST_SKIP() << "valgrind does not run sanitized programs";   \
    if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";    \
  } while (0)

/* Runs the grabber of "g" on its root under memcheck, through "wrapper"
 * (shell words put in front, e.g. a resource limit) when it is not empty,
 * with the extra environment "env"; returns the run's exit code and checks
 * memcheck's report: no error, every block freed, only inherited
 * descriptors open at the end. Every kind of leak counts as an error. */
int Memcheck(const GrabDir &g, const std::vector<std::string> &env, HardChild *c,
             const std::string &wrapper = "") {
  const std::string report = g.dir + "/memcheck.txt";
  std::vector<std::string> argv = {kValgrind,
                                   "--error-exitcode=99",
                                   "--leak-check=full",
                                   "--show-leak-kinds=all",
                                   "--errors-for-leak-kinds=all",
                                   "--track-fds=yes",
                                   "--log-file=" + report,
                                   g.exe,
                                   g.root};
  bool started;
  if (wrapper.empty()) {
    started = HardStart(c, kValgrind, argv, env);
  } else {
    std::string command = wrapper;
    for (const auto &a : argv) command += " '" + a + "'";
    started = HardStart(c, "/bin/sh", {"sh", "-c", command}, env);
  }
  if (!started) {
    ADD_FAILURE() << "cannot start valgrind";
    return -1;
  }
  int status = HardFinish(c, 300);
  std::string memcheck = ReadFileText(report);
  EXPECT_NE(status, 99) << memcheck;
  EXPECT_NE(memcheck.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << memcheck;
  EXPECT_NE(memcheck.find("All heap blocks were freed -- no leaks are possible"), std::string::npos)
      << memcheck;
  std::vector<std::string> lines = SplitLines(memcheck);
  int open_at_exit = 0;
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].find("Open file descriptor ") == std::string::npos) continue;
    open_at_exit++;
    EXPECT_TRUE(i + 1 < lines.size() && lines[i + 1].find("<inherited from parent>") != std::string::npos)
        << "descriptor left open by the run: " << lines[i] << "\n" << memcheck;
  }
  EXPECT_NE(memcheck.find("FILE DESCRIPTORS: " + std::to_string(open_at_exit + 3) + " open (3 std) at exit"),
            std::string::npos)
      << memcheck;
  return status;
}

TEST(HardeningValgrind, WholeGrabHasNoMemoryErrorAndNoLeak) {
  HARD_NEED_VALGRIND();
  GrabDir g("valgrind");
  const std::string a1 = "1F41:400:1,2000:401:1", a2 = "1F44:400:1,2001:401:1";
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir,
                          "--random --seed 41 --start " + SimToday() +
                              " --channels 3 --days 5 --events-per-day 4 --continuations --long-titles 0.3"
                              " --duplicates 0.2 --repeats 0.4 --pack",
                          "--utf8 --alias " + a1 + " --alias " + a2, &e));
  ASSERT_GT(e.Stat("summaries3"), 0);
  ASSERT_GT(e.Stat("summaries7"), 0);
  ASSERT_GT(e.Stat("continuations"), 0);
  ASSERT_GT(e.Stat("without_summary"), 0);
  g.WriteConfig("debug=1\ndemux=" + e.stream + "\nConvertToUTF8=1\nalias=" + a1 + "\nalias=" + a2 + "\n");
  HardChild c;
  EXPECT_EQ(Memcheck(g, {SIM_TZ}, &c), 0);
  /* The run under valgrind is a real grab: everything stored. */
  SimCheckStatusLines(c.out, g.name, e);
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
  EXPECT_TRUE(HasLine(LogMessages(ReadFileText(g.LogPath())), "Data saved"));
}

TEST(HardeningValgrind, RunsThatEndEarlyOrFailLeakNothing) {
  HARD_NEED_VALGRIND();
  std::mt19937 rng(71);
  std::string noise(200000, 0);
  for (auto &ch : noise) ch = (char)rng();
  {
    SCOPED_TRACE("database file of another kind");
    GrabDir g("vg_notdb");
    ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
    WriteFileText(g.root + "/guide.db", noise.substr(0, 8192));
    HardChild c;
    EXPECT_EQ(Memcheck(g, {}, &c), 1);
    std::vector<std::string> msgs = LogMessages(ReadFileText(g.LogPath()));
    ASSERT_GE(msgs.size(), 2u);
    EXPECT_EQ(msgs[msgs.size() - 2], "Error opening EPGDB");
  }
  {
    SCOPED_TRACE("configuration of binary garbage, no demux found");
    GrabDir g("vg_nodemux");
    g.WriteConfig(noise.substr(0, 30000));
    HardChild c;
    EXPECT_EQ(Memcheck(g, AdapterEnv(), &c), 1);
    EXPECT_EQ(LogMessages(ReadFileText(g.LogPath())).back(), "Error detecting demux. Try to enter manually");
  }
  {
    SCOPED_TRACE("recording of random bytes");
    GrabDir g("vg_noise");
    WriteFileText(g.dir + "/noise.ts", noise);
    g.WriteConfig("debug=1\ndemux=" + g.dir + "/noise.ts\n");
    HardChild c;
    EXPECT_EQ(Memcheck(g, {}, &c), 0);
    EXPECT_TRUE(HasLine(LogMessages(ReadFileText(g.LogPath())), "ERROR: Channels not received!!"));
  }
  {
    SCOPED_TRACE("save that meets a write error");
    GrabDir g("vg_fsize");
    SimExpectation e;
    ASSERT_TRUE(SimGenerate(g.dir, "--random --seed 72 --start " + SimToday() + " --channels 20 --days 7", "--utf8",
                            &e));
    g.WriteConfig("demux=" + e.stream + "\nConvertToUTF8=1\n");
    HardChild c;
    /* No file may grow past 64 KiB (memcheck's report stays below it); the
     * signal the limit raises is ignored, so the write fails instead. */
    EXPECT_EQ(Memcheck(g, {SIM_TZ}, &c, "trap '' XFSZ; exec prlimit --fsize=65536 --"), 0);
    EXPECT_TRUE(HasLine(LogMessages(ReadFileText(g.LogPath())), "Error saving data"));
  }
}

}  // namespace
