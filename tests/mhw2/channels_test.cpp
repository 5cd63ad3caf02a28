/* Channel table decoder on hand-built channel sections. */
#include "mhw2/mhw2_fixture.h"

namespace {

class ChannelsTest : public GuideTest {};

TEST_F(ChannelsTest, TwoChannelsWithNamesEndingOnTheLastByte) {
  Bytes s = ChannelSection(
      2, {{0x0001, 0x0402, 0x1F41, 0xABCD, 0x03, "Uno"}, {0x0002, 0x0403, 0x22, 0, 0x02, "Do"}},
      {});
  EXPECT_EQ(ProcessMHW2Channels(s.data(), (int32_t)s.size()), 2);
  EXPECT_EQ(GuideGetCounters()->channel_count, 2);
  const ChannelEntry *t = GuideChannels();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t[0].nid, 0x0001);
  EXPECT_EQ(t[0].tsid, 0x0402);
  EXPECT_EQ(t[0].sid, 0x1F41);
  EXPECT_EQ(t[0].word4, 0xABCD);
  EXPECT_STREQ(t[0].name, "Uno");
  EXPECT_STREQ(t[1].name, "Do");
  EXPECT_EQ(t[1].sid, 0x22);
  auto log = MainLog();
  EXPECT_TRUE(HasLine(log, " MHW channel=\"Uno\":1F41:402:1"));
  EXPECT_TRUE(HasLine(log, " MHW channel=\"Do\":22:403:2"));
  EXPECT_TRUE(HasLine(log, "Total received mhw channels: 2"));
  EXPECT_NE(DebugLog().find("ProcessMHW2Channels() - Num channels: 2\n"), std::string::npos);
  EXPECT_NE(DebugLog().find("MHW channels section =\n"), std::string::npos);
}

TEST_F(ChannelsTest, UpperNibbleOfTheNameLengthIsIgnoredAndNamesStayTerminated) {
  Bytes s = ChannelSection(1, {{1, 2, 3, 4, 0x35, "ABCDE"}}, {'X', 'Y'});
  EXPECT_EQ(ProcessMHW2Channels(s.data(), (int32_t)s.size()), 1);
  EXPECT_STREQ(GuideChannels()[0].name, "ABCDE");

  /* A 15-character name fills the field but for its terminator. */
  s = ChannelSection(1, {{1, 2, 3, 4, 0x0F, "ABCDEFGHIJKLMNO"}}, {});
  EXPECT_EQ(ProcessMHW2Channels(s.data(), (int32_t)s.size()), 1);
  EXPECT_STREQ(GuideChannels()[0].name, "ABCDEFGHIJKLMNO");
}

TEST_F(ChannelsTest, NoChannels) {
  Bytes s = ChannelSection(0, {}, {0x00});
  EXPECT_EQ(s.size(), 122u);
  EXPECT_EQ(ProcessMHW2Channels(s.data(), (int32_t)s.size()), 0);
  EXPECT_TRUE(HasLine(MainLog(), "Total received mhw channels: 0"));
  EXPECT_NE(DebugLog().find("ProcessMHW2Channels() - Num channels: 0\n"), std::string::npos);
  EXPECT_EQ(GuideGetCounters()->channel_count, 0);
}

/* Sections that do not hold their channels: each is rejected with its
 * message, and no channel table remains. */
TEST_F(ChannelsTest, CorruptSectionsAreRejected) {
  struct Case {
    const char *what;
    Bytes section;
    const char *message; /* null: no message */
  };
  Bytes header_only(120, 0);
  Bytes count_zero_121 = ChannelSection(0, {}, {});
  Bytes entries_to_end = ChannelSection(1, {{1, 2, 3, 4, 0, ""}}, {});
  entries_to_end.pop_back(); /* drop the name record: entries end at the end */
  Bytes name_past_end = ChannelSection(1, {{1, 2, 3, 4, 0x05, "ABCDE"}}, {});
  name_past_end.pop_back();
  Bytes second_length_outside = ChannelSection(2, {{1, 2, 3, 4, 2, "AB"}, {1, 2, 3, 4, 0, ""}}, {});
  second_length_outside.pop_back(); /* the second length byte would follow the section */
  std::vector<Case> cases = {
      {"header only", header_only, nullptr},
      {"no room after count", count_zero_121, "ProcessMHW2Channels() - Invalid MHW channel list (2)"},
      {"entries reach the end", entries_to_end,
       "ProcessMHW2Channels() - Invalid MHW channel list (2)"},
      {"name runs past", name_past_end, "ProcessMHW2Channels() - Invalid MHW channel list (1)"},
      {"length byte outside", second_length_outside,
       "ProcessMHW2Channels() - Invalid MHW channel list (1)"},
  };
  for (Case &c : cases) {
    /* A good table first, so that the rejection visibly drops it. */
    MakeChannels(3);
    size_t lines_before = MainLog().size();
    EXPECT_EQ(ProcessMHW2Channels(c.section.data(), (int32_t)c.section.size()), 0) << c.what;
    EXPECT_EQ(GuideGetCounters()->channel_count, 0) << c.what;
    EXPECT_EQ(GuideChannels(), nullptr) << c.what;
    auto log = MainLog();
    if (c.message) {
      ASSERT_EQ(log.size(), lines_before + 1) << c.what;
      EXPECT_EQ(log.back(), c.message) << c.what;
    } else {
      EXPECT_EQ(log.size(), lines_before) << c.what;
    }
  }
}

}  // namespace
