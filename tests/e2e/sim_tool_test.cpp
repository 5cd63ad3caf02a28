/* The broadcast simulator itself: its guide files read back to the same
 * broadcast, and it refuses what no exact expectation or section can hold. */
#include <gtest/gtest.h>

#include "e2e/sim_helpers.h"
#include "support/run_helper.h"

namespace {

TEST(SimTool, WrittenGuideReadsBackToTheSameBroadcast) {
  GrabDir g("roundtrip");
  const std::string d = g.dir;
  const std::string common = " --big --mid-cycle --pack --seed 21";
  ASSERT_EQ(SimShell(SimExe() + " --random --start 2026-12-07 --channels 5 --days 7 --events-per-day 8"
                     " --continuations --duplicates 0.1 --long-titles 0.3" + common + " -o " + d +
                     "/a.ts --write-guide " + d + "/a.guide --expect " + d + "/a.exp 2>/dev/null"),
            0);
  ASSERT_EQ(SimShell(SimExe() + " --guide " + d + "/a.guide" + common + " -o " + d + "/b.ts --expect " + d +
                     "/b.exp 2>/dev/null"),
            0);
  std::string a = ReadFileText(d + "/a.ts");
  EXPECT_GT(a.size(), 100000u);
  EXPECT_TRUE(a == ReadFileText(d + "/b.ts")) << "streams differ";
  EXPECT_EQ(ReadFileText(d + "/a.exp"), ReadFileText(d + "/b.exp"));
}

TEST(SimTool, RefusesGuidesItCannotSendOrPredict) {
  GrabDir g("refuse");
  struct Case {
    const char *what;
    std::string guide;
    int status;
    std::string message;
  };
  const std::string ch = "channel \"Uno\" nid=1 tsid=2 sid=3\n";
  const std::string title40 = "Un t\\xEDtulo de cuarenta bytes justos....";
  const Case cases[] = {
      {"two different entries for one start in two sections",
       ch + "event ch=0 start=2026-12-07T10:00 dur=5 id=1 tables=3 title=\"A" + title40 + "\"\n" +
           "event ch=0 start=2026-12-07T10:00 dur=5 id=2 tables=3 title=\"B" + title40 + "\"\n",
       3, "depends on the order"},
      {"channel name of 16 bytes", "channel \"Diecis\\xE9is letras\" nid=1 tsid=2 sid=3\n", 1, "longer than 15"},
      {"line of 256 bytes", ch + "summary s id3=1 title=\"t\"\nline \"" + std::string(256, 'x') + "\"\n", 1,
       "longer than 255"},
      {"unknown record", ch + "programa ch=0\n", 1, ":2: unknown record"},
      {"event without duration", ch + "event ch=0 start=2026-12-07T10:00 title=\"x\"\n", 1, ":2: event needs"},
      {"unterminated text", "channel \"Uno nid=1 tsid=2 sid=3\n", 1, ":1: bad quoted string"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileText(g.dir + "/x.guide", c.guide);
    int rc = SimShell(SimExe() + " --guide " + g.dir + "/x.guide --section-size 128 --expect " + g.dir +
                      "/x.exp 2>" + g.dir + "/x.err");
    EXPECT_EQ(rc, c.status);
    std::string err = ReadFileText(g.dir + "/x.err");
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

}  // namespace
