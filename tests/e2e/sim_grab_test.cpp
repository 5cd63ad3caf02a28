/* Whole runs of the grabber on simulated broadcasts played from a recording
 * named in the configuration: status lines, logs, exit code and every title
 * of the guide database against what the simulator says a grab stores. */
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "demux/tsfilter.h"
#include "e2e/sim_helpers.h"
#include "support/run_helper.h"

namespace {

/* A small random guide: four channels, four days, six programmes a day. */
std::string SmallGuide(int seed, const std::string &more = "") {
  return "--random --seed " + std::to_string(seed) + " --start " + SimToday() +
         " --channels 4 --days 4 --events-per-day 6 " + more;
}

struct RecordingCase {
  std::string tag;
  std::string guide_args;                  /* mhw2sim guide and stream options */
  std::string grab_args;                   /* mhw2sim options mirroring the configuration */
  std::string config;                      /* configuration lines after debug and demux */
  std::vector<std::string> config_messages;/* main log messages of those lines */
};

/* Generates the broadcast, grabs it from the recording and checks the run;
 * "more" checks further while the recording still exists. */
void GrabRecording(const RecordingCase &c, SimExpectation *out = nullptr,
                   const std::function<void(const SimExpectation &)> &more = {}) {
  GrabDir g(c.tag);
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, c.guide_args, c.grab_args, &e));
  g.WriteConfig("debug=1\ndemux=" + e.stream + "\n" + c.config);
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  SimCheckStatusLines(r.out, g.name, e);
  std::vector<std::string> config_messages = {"Enabling FULL debug log", "Changing demux to: " + e.stream};
  config_messages.insert(config_messages.end(), c.config_messages.begin(), c.config_messages.end());
  /* A recording read round without the PID ends the collection as a read failure. */
  SimCheckMainLog(r.log, g.name, g.exe, g.root, e.stream, e, config_messages,
                  "DemuxGetAllSections() - Error reading data from sat");
  SimCheckDebugLog(r, e);
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
  if (more) more(e);
  if (out) *out = e;
}

TEST(SimGrab, CaptureFromMidCycleWithPackedSectionsGarbageAndNoise) {
  SimExpectation e;
  GrabRecording({"midcycle",
                 SmallGuide(11, "--mid-cycle --pack --garbage --noise --duplicates 0.15 --continuations "
                                "--long-titles 0.2 --repeats 0.4 --section-size 400"),
                 "", "", {}},
                &e);
  /* The guide is large enough to exercise every pass. */
  EXPECT_GT(e.Stat("events3"), 50);
  EXPECT_GT(e.Stat("events7"), 10);
  EXPECT_GT(e.Stat("summaries3"), 20);
  EXPECT_GT(e.Stat("summaries7"), 0);
  EXPECT_GT(e.Stat("without_summary"), 0);
  EXPECT_GT(e.Stat("sections_events3"), 3);
}

TEST(SimGrab, ConvertsToUtf8AndStoresUnderAliases) {
  /* Canal Uno again under a new channel; Canal Dos twice under itself; a
   * source id above 0xFFFF that never matches. */
  const std::string a1 = "1F41:400:1,2000:401:1", a2 = "1F44:400:1,1F44:400:1", a3 = "11F47:400:1,2001:401:1";
  SimExpectation e;
  GrabRecording({"utf8alias", SmallGuide(12), "--utf8 --alias " + a1 + " --alias " + a2 + " --alias " + a3,
                 "ConvertToUTF8=1\nalias=" + a1 + "\nalias=" + a2 + "\nalias=" + a3 + "\n",
                 {"Text will be converted to UTF-8", "3 alias readed from config file"}},
                &e);
  EXPECT_NE(e.rows.find("0001:0401:2000\t"), std::string::npos);
  EXPECT_EQ(e.rows.find("0001:0401:2001\t"), std::string::npos);
  EXPECT_NE(e.rows.find("\\xC3\\x"), std::string::npos) << "no converted accented letter in the guide";
}

TEST(SimGrab, SevenDayTablesOff) {
  SimExpectation e;
  GrabRecording({"no7", SmallGuide(13), "--no-7-days", "Download_7_Days=0\n", {}}, &e);
  EXPECT_FALSE(e.ran[1]);
  EXPECT_FALSE(e.ran[3]);
  EXPECT_GT(e.Stat("events3"), 0);
}

TEST(SimGrab, ThreeDayTablesOff) {
  SimExpectation e;
  GrabRecording({"no3", SmallGuide(14), "--no-3-days", "Download_3_Days=0\n", {}}, &e);
  EXPECT_FALSE(e.ran[0]);
  EXPECT_FALSE(e.ran[2]);
  EXPECT_GT(e.Stat("events7"), 0);
}

TEST(SimGrab, BothDownloadsOffReadOnlyTheChannelTable) {
  SimExpectation e;
  GrabRecording({"none", SmallGuide(15), "--no-3-days --no-7-days", "Download_3_Days=0\nDownload_7_Days=0\n", {}},
                &e);
  EXPECT_EQ(e.Stat("total_events"), 0);
  EXPECT_EQ(e.rows, "");
}

/* The sizes of the sections on "pid" of the recording "path". */
std::vector<size_t> SectionSizes(const std::string &path, uint16_t pid) {
  std::string bytes = ReadFileText(path);
  TsFilter *f = new TsFilter();
  TsFilterReset(f);
  const uint8_t filter[1] = {0}, mask[1] = {0};
  TsFilterSet(f, pid, filter, mask, nullptr, 1);
  TsFilterFeed(f, (const uint8_t *)bytes.data(), bytes.size());
  std::vector<size_t> sizes;
  static uint8_t section[TS_SECTION_MAX];
  int n;
  while ((n = TsFilterTake(f, section, TS_SECTION_MAX)) > 0) sizes.push_back((size_t)n);
  delete f;
  return sizes;
}

TEST(SimGrab, SectionsOfTheLargestSize) {
  /* The recording really carries summary sections of 4096 bytes. */
  GrabRecording({"big", SmallGuide(16, "--big"), "", "", {}}, nullptr, [](const SimExpectation &e) {
    for (uint16_t pid : {0x236, 0x282}) {
      auto sizes = SectionSizes(e.stream, pid);
      ASSERT_FALSE(sizes.empty());
      EXPECT_EQ(*std::max_element(sizes.begin(), sizes.end()), 4096u) << "PID " << pid;
    }
  });
}

class SimMissingTable : public ::testing::TestWithParam<const char *> {};

TEST_P(SimMissingTable, GrabsWhatTheOtherTablesCarry) {
  std::string table = GetParam();
  SimExpectation e;
  GrabRecording({"omit_" + table, SmallGuide(17, "--omit " + table), "", "", {}}, &e);
  if (table == "channels") {
    EXPECT_EQ(e.Stat("channels"), 0);
    EXPECT_EQ(e.rows, "");
  } else {
    EXPECT_GT(e.Stat("total_events"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(EachTable, SimMissingTable,
                         ::testing::Values("channels", "events3", "events7", "summaries3", "summaries7"));

}  // namespace
