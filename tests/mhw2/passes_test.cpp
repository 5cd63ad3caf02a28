/* Table download passes: progress lines while the collected sections are
 * decoded, and the pass's messages when nothing was collected. */
#include "demux/concurrent.h"
#include "mhw2/mhw2_fixture.h"
#include "run/status.h"

namespace {

/* A section list of "count" one-byte sections, newest first; section k
 * (from the head) holds the byte k. */
struct SectionList {
  /* Each section with its byte behind it, as the collector keeps them. */
  std::vector<std::vector<uint64_t>> storage;
  explicit SectionList(int count) {
    for (int k = count - 1; k >= 0; k--) {
      RawSection *next = Head();
      storage.emplace_back((sizeof(RawSection) + 1 + 7) / 8);
      RawSection *s = (RawSection *)storage.back().data();
      s->next = next;
      s->length = 1;
      DemuxSectionBytes(s)[0] = (uint8_t)k;
    }
  }
  RawSection *Head() { return storage.empty() ? nullptr : (RawSection *)storage.back().data(); }
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
  list.Head()->length = 0;
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
