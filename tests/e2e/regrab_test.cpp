/* Two grabs of a changed schedule into one guide database: no channel may
 * show two programmes at once afterwards, and the guide exports as valid
 * XMLTV. */
#include <gtest/gtest.h>

#include "e2e/sim_helpers.h"
#include "support/guide_dump.h"
#include "support/run_helper.h"

TEST(Regrab, ChangedScheduleLeavesNoOverlapAndExportsValidXmltv) {
  GrabDir g("regrab");
  const std::string shape = "--random --channels 6 --days 3 --events-per-day 18 --summaries 0.7 --start " +
                            SimToday();
  SimExpectation first, second;
  ASSERT_EQ(SimShell("mkdir -p " + g.dir + "/a " + g.dir + "/b"), 0);
  /* Same channels, another seed: programmes of other lengths at other times. */
  ASSERT_TRUE(SimGenerate(g.dir + "/a", shape + " --seed 11", "", &first));
  ASSERT_TRUE(SimGenerate(g.dir + "/b", shape + " --seed 12", "", &second));

  g.WriteConfig("demux=" + first.stream + "\n");
  ASSERT_EQ(g.Run({g.root}, {SIM_TZ}).exit_code, 0);
  ASSERT_GT(GuideTitleCount(g.root), 100);

  g.WriteConfig("demux=" + second.stream + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  ASSERT_TRUE(HasLine(LogMessages(r.log), "Data saved")) << r.log;

  /* Every title of the second grab is stored as it came; of the first grab
   * only titles that no new one overlaps may remain. */
  const std::string stored = SimDumpDatabase(g.root);
  int missing = 0;
  for (const auto &row : SplitLines(second.rows))
    if (stored.find(row + "\n") == std::string::npos && ++missing < 5) ADD_FAILURE() << "missing: " << row;
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(GuideOverlaps(g.root), 0);

  std::string xml = g.dir + "/guide.xml";
  ASSERT_EQ(SimShell(std::string(MHW2_BUILD_DIR) + "/epgdb xmltv " + g.root + " > " + xml), 0);
  std::string out = ShellOutput("tv_validate_file --dtd-file /usr/share/xmltv/xmltv.dtd " + xml + " 2>&1");
  EXPECT_NE(out.find("Validated ok."), std::string::npos) << out;
}

/* A poorer run never wipes a richer guide: a title with a garbage duration
 * erases nothing of its own run; titles that look past (a clock days ahead
 * of the broadcast) are stored all the same; a second grab that misses the
 * summary tables keeps every stored summary, and its log counts what it
 * replaced and expired. */
TEST(Regrab, PoorerRunKeepsARicherGuide) {
  GrabDir g("poorer");
  const std::string day = SimToday();
  time_t past = time(nullptr) - 10 * 86400;
  char past_day[16];
  strftime(past_day, sizeof past_day, "%Y-%m-%d", gmtime(&past));
  WriteFileText(g.dir + "/week.guide",
                "channel \"Uno\" nid=1 tsid=0x400 sid=0x1F41\n"
                "summary news id3=0x10 id7=0x010010 title=\"Telediario\"\n"
                "line \"La actualidad.\"\n"
                "summary film id3=0x11 id7=0x010011 title=\"El verdugo\"\n"
                "line \"Cine espa\\xF1ol.\"\n"
                "event ch=0 start=" + std::string(past_day) + "T20:00 dur=60 title=\"Viejo\"\n"
                "event ch=0 start=" + day + "T21:00 dur=45 title=\"Telediario\" summary=news\n"
                "event ch=0 start=" + day + "T21:45 dur=1092 title=\"Basura\"\n"
                "event ch=0 start=" + day + "T22:00 dur=110 title=\"Cine\" summary=film\n"
                "event ch=0 start=" + day + "T23:50 dur=30 title=\"Noche\"\n");
  SimExpectation full, poor;
  ASSERT_EQ(SimShell("mkdir -p " + g.dir + "/a " + g.dir + "/b"), 0);
  ASSERT_TRUE(SimGenerate(g.dir + "/a", "--guide " + g.dir + "/week.guide", "", &full));
  ASSERT_TRUE(SimGenerate(g.dir + "/b", "--guide " + g.dir + "/week.guide --omit summaries3 --omit summaries7",
                          "", &poor));
  ASSERT_EQ(SplitLines(full.rows).size(), 5u);
  ASSERT_NE(full.rows, poor.rows) << "the poorer broadcast must lack summaries";

  g.WriteConfig("demux=" + full.stream + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "5 titles saved - 0 stored titles replaced - 0 expired")) << r.log;
  SimCheckRows(full.rows, SimDumpDatabase(g.root));

  g.WriteConfig("demux=" + poor.stream + "\n");
  r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  /* The past title of the first grab expired; the four others were replaced
   * by the same programmes, which keep their stored summaries. */
  EXPECT_TRUE(HasLine(LogMessages(r.log), "5 titles saved - 4 stored titles replaced - 1 expired")) << r.log;
  SimCheckRows(full.rows, SimDumpDatabase(g.root));
}
