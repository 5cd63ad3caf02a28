/* A whole grab under valgrind's memcheck: every table, aliases, UTF-8
 * conversion and the debug log, with no memory error and nothing left
 * allocated at the end. */
#include <gtest/gtest.h>
#include <unistd.h>

#include "e2e/sim_helpers.h"
#include "support/hardening_helpers.h"
#include "support/run_helper.h"

namespace {

const char kValgrind[] = "/usr/bin/valgrind";

TEST(HardeningValgrind, WholeGrabHasNoMemoryErrorAndNoLeak) {
  if (HARD_SANITIZED) GTEST_SKIP() << "valgrind does not run sanitized programs";
  if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
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
  /* Every kind of leak is an error, and so is a descriptor left open. */
  const std::string report = g.dir + "/memcheck.txt";
  HardChild c;
  ASSERT_TRUE(HardStart(&c, kValgrind,
                        {kValgrind, "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=all",
                         "--errors-for-leak-kinds=all", "--track-fds=yes", "--log-file=" + report, g.exe,
                         g.root},
                        {SIM_TZ}));
  int status = HardFinish(&c, 300);
  std::string memcheck = ReadFileText(report);
  EXPECT_EQ(status, 0) << memcheck;
  EXPECT_NE(memcheck.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << memcheck;
  EXPECT_NE(memcheck.find("All heap blocks were freed -- no leaks are possible"), std::string::npos)
      << memcheck;
  /* Descriptors still open at the end are only those the run was given. */
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
  /* The run under valgrind is a real grab: everything stored. */
  SimCheckStatusLines(c.out, g.name, e);
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
  EXPECT_TRUE(HasLine(LogMessages(ReadFileText(g.LogPath())), "Data saved"));
}

}  // namespace
