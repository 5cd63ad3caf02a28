/* Table download passes: progress lines while the collected sections are
 * decoded, and the pass's messages when nothing was collected. */
#include "demux/concurrent.h"
#include "mhw2/mhw2_fixture.h"
#include "run/status.h"

namespace {

/* A section list of "count" one-byte sections, newest first; section k
 * (from the head) holds the byte k. */
struct SectionList {
  std::vector<std::unique_ptr<RawSection>> sections;
  std::vector<std::unique_ptr<uint8_t[]>> bytes;
  explicit SectionList(int count) {
    for (int k = count - 1; k >= 0; k--) {
      bytes.emplace_back(new uint8_t[1]{(uint8_t)k});
      RawSection *s = new RawSection{sections.empty() ? nullptr : sections.back().get(), 1,
                                     bytes.back().get()};
      sections.emplace_back(s);
    }
  }
  RawSection *Head() { return sections.empty() ? nullptr : sections.back().get(); }
};

/* The bytes of the sections decoded, in order; the section holding
 * FailOn makes the decoder fail. */
std::vector<int> Decoded;
int FailOn = -1;
int32_t RecordingDecoder(uint8_t *data, int32_t) {
  Decoded.push_back(data[0]);
  return data[0] == FailOn ? -1 : 0;
}

class PassesTest : public GuideTest {
 protected:
  void SetUp() override {
    GuideTest::SetUp();
    Decoded.clear();
    FailOn = -1;
  }
  std::string Decode(SectionList &list, int32_t tot) {
    testing::internal::CaptureStdout();
    Mhw2PassDecodeSections(list.Head(), tot, RecordingDecoder);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(PassesTest, ProgressForThreeSections) {
  SectionList list(3);
  EXPECT_EQ(Decode(list, 3), "PROGRESS ON\nPROGRESS 0\nPROGRESS 33\nPROGRESS 66\nPROGRESS OFF\n");
  EXPECT_EQ(Decoded, std::vector<int>({0, 1, 2}));
}

TEST_F(PassesTest, DecoderFailingOnTheSecondOfFiveStopsThePass) {
  SectionList list(5);
  FailOn = 1;
  EXPECT_EQ(Decode(list, 5), "PROGRESS ON\nPROGRESS 0\nPROGRESS 20\nPROGRESS OFF\n");
  EXPECT_EQ(Decoded, std::vector<int>({0, 1}));
}

TEST_F(PassesTest, EmptySectionsAreNotDecodedAndNothingCollectedSendsNoSwitch) {
  SectionList list(2);
  list.sections[1]->length = 0; /* the head */
  EXPECT_EQ(Decode(list, 2), "PROGRESS ON\nPROGRESS 0\nPROGRESS 50\nPROGRESS OFF\n");
  EXPECT_EQ(Decoded, std::vector<int>({1}));
  SectionList none(0);
  EXPECT_EQ(Decode(none, 0), "");
  EXPECT_EQ(Decode(none, -1), "");
}

TEST_F(PassesTest, PassWithoutSectionsReportsItsCounter) {
  /* No demux is open: collection fails, the pass still reports. */
  GuideGetCounters()->new_3day_events = 5;
  GuideGetCounters()->summaries_attached = 4;
  GuideGetCounters()->summaries_3days = 3;
  GuideGetCounters()->summaries_without_event = 2;
  testing::internal::CaptureStdout();
  EXPECT_EQ(DownloadEvents3days(), 0);
  EXPECT_EQ(DownloadSummaries3days(), 0);
  std::string out;
  for (const std::string &line : SplitLines(testing::internal::GetCapturedStdout()))
    if (line.rfind("LOGTEXT Downloading", 0) != 0) out += line + "\n"; /* spinner lines */
  EXPECT_EQ(out, "LOGTEXT Processing 3 days events\nLOGTEXT Processing 3 days summaries\n");
  auto log = MainLog();
  EXPECT_TRUE(HasLine(log, "Downloading 3 days events"));
  EXPECT_TRUE(HasLine(log, "Received 0 NEW unique 3 days events"));
  EXPECT_TRUE(HasLine(log, "Downloading 3 days summaries"));
  EXPECT_TRUE(HasLine(log, "Received 0 NEW 3 days summaries"));
  EXPECT_EQ(GuideGetCounters()->new_3day_events, 0);
  EXPECT_EQ(GuideGetCounters()->summaries_3days, 0);
  EXPECT_EQ(GuideGetCounters()->summaries_without_event, 0);
}

}  // namespace
