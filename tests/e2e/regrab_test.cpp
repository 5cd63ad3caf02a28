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
