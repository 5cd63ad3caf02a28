/* The channel table download and the four table passes against a recorded
 * transport stream: what reaches the guide store and the guide database,
 * and the status lines of each pass. */
#include <map>

#include "demux/concurrent.h"
#include "mhw2/mhw2_fixture.h"
#include "run/status.h"

namespace {

class DownloadTest : public GuideTest {
 protected:
  void SetUp() override {
    GuideTest::SetUp();
    StatusReset();
    stream_ = dir_ + "/guide.ts";
    ASSERT_TRUE(SaveSampleGuide(stream_, 60000));
  }
  void TearDown() override {
    DemuxCollectRelease();
    DemuxClose();
    GuideTest::TearDown();
  }
  /* Runs "pass" with standard output captured; drops the spinner lines. */
  static std::string Pass(int32_t (*pass)(void), int32_t *result) {
    testing::internal::CaptureStdout();
    *result = pass();
    std::string out;
    for (const std::string &line : SplitLines(testing::internal::GetCapturedStdout()))
      if (line.find(" (") == std::string::npos) out += line + "\n";
    return out;
  }
  std::string stream_;
};

/* One table after another, or every table collected at once first. */
class DownloadWays : public DownloadTest, public testing::WithParamInterface<bool> {};

TEST_P(DownloadWays, ChannelsEventsAndSummariesFromARecording) {
  ASSERT_EQ(DemuxInit(stream_.c_str()), 1);
  ASSERT_EQ(DownloadChannelList(), 3);
  EXPECT_STREQ(GuideChannels()[2].name, "Tres");
  if (GetParam()) {
    ASSERT_EQ(DownloadTablesAtOnce(1, 1), 1);
  }

  int32_t r;
  EXPECT_EQ(Pass(DownloadEvents3days, &r),
            "LOGTEXT Processing 3 days events\nPROGRESS ON\nPROGRESS 0\nPROGRESS 50\nPROGRESS OFF\n");
  EXPECT_EQ(r, 4);
  EXPECT_EQ(Pass(DownloadEvents7days, &r),
            "LOGTEXT Processing 7 days events\nPROGRESS ON\nPROGRESS 0\nPROGRESS 50\nPROGRESS OFF\n");
  EXPECT_EQ(r, 2);
  EXPECT_EQ(GuideGetCounters()->total_events, 6);

  EXPECT_EQ(Pass(DownloadSummaries3days, &r),
            "LOGTEXT Processing 3 days summaries\nPROGRESS ON\nPROGRESS 0\nPROGRESS 33\n"
            "PROGRESS 66\nPROGRESS OFF\n");
  EXPECT_EQ(r, 2);
  EXPECT_EQ(GuideGetCounters()->summaries_3days, 2);
  Pass(DownloadSummaries7days, &r);
  EXPECT_EQ(r, 2);
  EXPECT_EQ(GuideGetCounters()->summaries_7days, 2);
  EXPECT_EQ(GuideGetCounters()->summaries_without_event, 1);

  std::map<std::string, std::string> stored;
  for (const FakeTitle &t : db_.titles) stored[t.description] = t.long_description;
  EXPECT_EQ(stored, (std::map<std::string, std::string>{
                        {"Noticias", "Resumen\n\nL\xEDnea uno Linea dos"},
                        {"Concurso", "Preguntas\n\nMuchas"},
                        {"Tarde", "Charla\n\nHasta tarde"},
                        {"Documental", "Naturaleza\n\nAnimales"}}));
  auto log = MainLog();
  EXPECT_TRUE(HasLine(log, "Processing 3 days events (tot_sections=2)"));
  EXPECT_TRUE(HasLine(log, "Received 4 NEW unique 3 days events"));
  EXPECT_TRUE(HasLine(log, "Received 2 NEW unique 7 days events"));
  EXPECT_TRUE(HasLine(log, "Processing 3 days summaries (tot_sections=3)"));
  EXPECT_TRUE(HasLine(log, "Received 2 NEW 3 days summaries"));
  EXPECT_TRUE(HasLine(log, "Processing 7 days summaries (tot_sections=4)"));
  EXPECT_TRUE(HasLine(log, "Received 2 NEW 7 days summaries"));
  EXPECT_EQ(DemuxHeldBytes(), 0); /* every section went with its pass */

  /* A pass whose filter cannot be set holds no section, and says so. */
  DemuxClose();
  EXPECT_EQ(Pass(DownloadEvents3days, &r), "LOGTEXT Processing 3 days events\n");
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(HasLine(MainLog(), "Processing 3 days events (tot_sections=0)"));
}

INSTANTIATE_TEST_SUITE_P(OneAfterAnotherOrAtOnce, DownloadWays, testing::Bool());

}  // namespace
