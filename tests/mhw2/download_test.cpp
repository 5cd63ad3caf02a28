/* The channel table download and the four table passes against a recorded
 * transport stream: what reaches the guide store and the guide database,
 * and the status lines of each pass. */
#include <map>

#include "demux/demux.h"
#include "mhw2/mhw2_fixture.h"
#include "run/status.h"
#include "support/tswriter.h"

namespace {

/* "full" (table id to last byte, as the builders make it) with a real
 * section header; "crc" appends the section CRC. */
Bytes Wrap(const Bytes &full, bool crc) {
  return TsMakeSection(full[0], Bytes(full.begin() + 3, full.end()), crc, crc);
}

EventStart At(uint8_t hour_bcd) {
  EventStart s;
  s.hour = hour_bcd;
  s.minute = 0x00;
  s.duration = 60;
  return s;
}

/* A channel section of three channels. */
Bytes Channels(void) {
  Bytes b(120, 0x00);
  b[0] = 0xC8;
  b.push_back(3);
  const uint16_t ids[3][3] = {{1, 0x402, 0x1F41}, {1, 0x402, 0x1F42}, {1, 0x403, 0x2001}};
  for (auto &id : ids) {
    PutBE(b, id[0], 2);
    PutBE(b, id[1], 2);
    PutBE(b, id[2], 2);
    PutBE(b, 0, 2);
  }
  for (const char *name : {"Uno", "Dos", "Tres"}) {
    b.push_back((uint8_t)strlen(name));
    b.insert(b.end(), name, name + strlen(name));
  }
  return b;
}

class DownloadTest : public GuideTest {
 protected:
  void SetUp() override {
    GuideTest::SetUp();
    StatusReset();
    TsWriter w;
    w.Section(0x0000, TsMakePat(0x402, {{0x1F41, 0x100}}));
    w.Section(0x231, Wrap(Channels(), true));
    w.Section(0x234, Wrap(Section3Day(2, {Entry3Day(0, 0x100, 1, At(0x12), "Morning News", 0x0A01),
                                          Entry3Day(1, 0x101, 2, At(0x12), "Film", 0x0A02)}),
                          false));
    w.Section(0x234, Wrap(Section3Day(2, {Entry3Day(2, 0x102, 3, At(0x12), "Sport", 0x0A03),
                                          Entry3Day(0, 0x103, 4, At(0x13), "Quiz", 0x0A04)}),
                          false));
    w.Section(0x284, Wrap(Section7Day(0, 2, {Entry7Day(0x200, 1, At(0x12), "Morning News", 7, 0),
                                             Entry7Day(0x201, 5, At(0x14), "Late Show", 8, 0)}),
                          false));
    w.Section(0x284, Wrap(Section7Day(1, 2, {Entry7Day(0x202, 9, At(0x12), "Other", 9, 0),
                                             Entry7Day(0x203, 6, At(0x15), "Docs", 10, 0)}),
                          false));
    w.Section(0x236, Wrap(Summary3Day(0x0A01, 0, "News", 2, {"Line one", "Line two"}, {}), true));
    w.Section(0x236, Wrap(Summary3Day(0x0A02, 1, "Cont", 1, {"x"}, {}), true));
    w.Section(0x236, Wrap(Summary3Day(0x0A04, 0, "Quiz", 1, {"Questions"}, {}), true));
    w.Section(0x282, Wrap(Summary7Day(0x200, "News again", "ignored", {}), true));
    w.Section(0x282, Wrap(Summary7Day(0x201, "Late", "Talk", {}), true));
    w.Section(0x282, Wrap(Summary7Day(0x203, "Docs", "Nature", {}), true));
    w.Section(0x282, Wrap(Summary7Day(0x999, "Nobody", "x", {}), true));
    stream_ = dir_ + "/guide.ts";
    ASSERT_TRUE(w.Save(stream_));
  }
  void TearDown() override {
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

TEST_F(DownloadTest, ChannelsEventsAndSummariesFromARecording) {
  ASSERT_EQ(DemuxInit(stream_.c_str()), 1);
  ASSERT_EQ(DownloadChannelList(), 3);
  EXPECT_STREQ(StoreChannels()[2].name, "Tres");

  int32_t r;
  EXPECT_EQ(Pass(DownloadEvents3days, &r),
            "LOGTEXT Processing 3 days events\nPROGRESS ON\nPROGRESS 0\nPROGRESS 50\nPROGRESS OFF\n");
  EXPECT_EQ(r, 4);
  EXPECT_EQ(Pass(DownloadEvents7days, &r),
            "LOGTEXT Processing 7 days events\nPROGRESS ON\nPROGRESS 0\nPROGRESS 50\nPROGRESS OFF\n");
  EXPECT_EQ(r, 2);
  EXPECT_EQ(StoreCounters()->total_events, 6);

  EXPECT_EQ(Pass(DownloadSummaries3days, &r),
            "LOGTEXT Processing 3 days summaries\nPROGRESS ON\nPROGRESS 0\nPROGRESS 33\n"
            "PROGRESS 66\nPROGRESS OFF\n");
  EXPECT_EQ(r, 2);
  EXPECT_EQ(StoreCounters()->summaries_3days, 2);
  Pass(DownloadSummaries7days, &r);
  EXPECT_EQ(r, 2);
  EXPECT_EQ(StoreCounters()->summaries_7days, 2);
  EXPECT_EQ(StoreCounters()->summaries_without_event, 1);

  std::map<std::string, std::string> stored;
  for (const FakeTitle &t : db_.titles) stored[t.description] = t.long_description;
  EXPECT_EQ(stored, (std::map<std::string, std::string>{{"Morning News", "News\n\nLine one Line two"},
                                                       {"Quiz", "Quiz\n\nQuestions"},
                                                       {"Late Show", "Late\n\nTalk"},
                                                       {"Docs", "Docs\n\nNature"}}));
  auto log = MainLog();
  EXPECT_TRUE(HasLine(log, "Processing 3 days events (tot_sections=2)"));
  EXPECT_TRUE(HasLine(log, "Received 4 NEW unique 3 days events"));
  EXPECT_TRUE(HasLine(log, "Received 2 NEW unique 7 days events"));
  EXPECT_TRUE(HasLine(log, "Processing 3 days summaries (tot_sections=3)"));
  EXPECT_TRUE(HasLine(log, "Received 2 NEW 3 days summaries"));
  EXPECT_TRUE(HasLine(log, "Processing 7 days summaries (tot_sections=4)"));
  EXPECT_TRUE(HasLine(log, "Received 2 NEW 7 days summaries"));
}

}  // namespace
