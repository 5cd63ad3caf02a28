/* Event table decoders on hand-built 3-day and 7-day event sections. */
#include "mhw2/mhw2_fixture.h"

namespace {

class EventsTest : public GuideTest {
 protected:
  void SetUp() override {
    GuideTest::SetUp();
    MakeChannels(10);
  }
};

/* A 3-day section of one entry, as received: channel 2, summary id
 * 0x012345, event id 0xCAFE0001, day 60000 (0xEA60) 12:30:45, 90 minutes
 * (0x05A7: low nibble 7 dropped), title "News", 3-day summary id 0x0BEE. */
const uint8_t kThreeDayNewsSection[] = {
    0xE6, 0x70, 0x2C, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x01,                                     /* count 1 */
    0x02, 0x00, 0x00, 0x00, 0x01, 0x23, 0x45,                   /* channel, summary id */
    0xCA, 0xFE, 0x00, 0x01, 0xEA, 0x60, 0x12, 0x30, 0x45,       /* event id, start */
    0x05, 0xA7, 0xC4, 'N',  'e',  'w',  's',  0x00, 0x0B, 0xEE, /* duration, title, 3d id */
};

TEST_F(EventsTest, ThreeDayEntryDecodesEveryField) {
  ScopedTz tz("XXX-1"); /* one hour east of UTC */
  Bytes s(std::begin(kThreeDayNewsSection), std::end(kThreeDayNewsSection));
  EXPECT_EQ(ProcessMHW2Events3days(s.data(), (int32_t)s.size()), 0);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  const EventRecord *e = events[0];
  EXPECT_EQ(e->channel, 2);
  EXPECT_EQ(e->summary_id, 0x012345u);
  EXPECT_EQ(e->mhw_event_id, 0xCAFE0001u);
  EXPECT_EQ(e->mjd, 60000);
  EXPECT_EQ(e->hours, 12);
  EXPECT_EQ(e->minutes, 30);
  EXPECT_EQ(e->seconds, 45);
  EXPECT_EQ(e->start_time, 1677328200); /* 2023-02-25 12:30:00 UTC: seconds not added */
  EXPECT_EQ(e->duration, 90);
  EXPECT_STREQ(e->title, "News");
  EXPECT_EQ(e->summary_id_3d, 0x0BEEu);
  EXPECT_EQ(e->flags, EVENT_HAS_SUMMARY_ID_3D);
  EXPECT_EQ(e->day, 25);
  EXPECT_EQ(e->month, 2);
  EXPECT_EQ(e->year, 2023);
  EXPECT_EQ(e->hour, 13);
  EXPECT_EQ(e->minute, 30);
  EXPECT_EQ(e->second, 0);
  EXPECT_EQ(e->summary_id2, 0u);
  EXPECT_EQ(e->newbyte, 0);
  std::string debug = DebugLog();
  EXPECT_NE(debug.find("MHW event 3 days =\n"), std::string::npos);
  EXPECT_NE(debug.find("ProcessMHW2Events3days() - EVENTS IN SECTION 1\n"), std::string::npos);
  /* A title length byte 0xC4 gave 4 bytes; the entry was 26 bytes. */
  EXPECT_EQ(s.size(), 18u + 4 + 22);
}

TEST_F(EventsTest, BcdAndDayNumbers) {
  EXPECT_EQ(BcdToDec(0x59), 59);
  EXPECT_EQ(BcdToDec(0x1A), 20);
  EXPECT_EQ(BcdToDec(0xFF), 165);
  /* Day 40587 is 1970-01-01; 7-day entries compute the start the same way. */
  ScopedTz tz("UTC0");
  EventStart s;
  s.mjd = 40587;
  s.hour = 0x00;
  s.minute = 0x01;
  s.duration = 4095;
  s.nibble = 0xF;
  Bytes sec = Section7Day(4, 1, {Entry7Day(1, 2, s, "Epoch", 3, 4)});
  EXPECT_EQ(ProcessMHW2Events(sec.data(), (int32_t)sec.size()), 0);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->start_time, 60);
  EXPECT_EQ(events[0]->duration, 4095);
  EXPECT_EQ(events[0]->year, 1970);
  EXPECT_EQ(events[0]->day, 1);
  EXPECT_EQ(events[0]->minute, 1);
}

TEST_F(EventsTest, ThreeDayTitlesOf63And64Bytes) {
  EventStart s;
  std::string t63(63, 'a');
  /* A length byte of 0x40 | 63 still means 63; 64 cannot be expressed and
   * wraps to 0 under the 6-bit mask. */
  Bytes sec = Section3Day(2, {Entry3Day(1, 1, 1, s, t63, 0, 0x40 | 63),
                              Entry3Day(1, 2, 2, (s.minute = 0x31, s), "", 0, 0xC0)});
  EXPECT_EQ(ProcessMHW2Events3days(sec.data(), (int32_t)sec.size()), 0);
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(std::string(events[1]->title), t63);
  EXPECT_STREQ(events[0]->title, "");
}

TEST_F(EventsTest, SevenDayEntryDecodesEveryFieldAndCutsLongTitles) {
  ScopedTz tz("UTC0");
  EventStart s;
  s.nibble = 0x7;
  std::string t70(70, 'x');
  t70[62] = 'E';
  t70[63] = 'Z';
  EventStart s2 = s;
  s2.minute = 0x45;
  Bytes sec = Section7Day(9, 3,
                          {Entry7Day(0xABCDEF, 0x01020304, s, t70, 0x5A5A, 0x77),
                           Entry7Day(0x000001, 0x05060708, s2, std::string(64, 'y'), 0x0001, 0x01),
                           Entry7Day(0x000002, 0x0A, (s2.hour = 0x13, s2), std::string(63, 'z'), 2, 2)});
  ASSERT_EQ(sec.size(), 11u + (70 + 20) + (64 + 20) + (63 + 20));
  EXPECT_EQ(ProcessMHW2Events(sec.data(), (int32_t)sec.size()), 0);
  auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  const EventRecord *e = events[2];
  EXPECT_EQ(e->channel, 9);
  EXPECT_EQ(e->summary_id, 0xABCDEFu);
  EXPECT_EQ(e->mhw_event_id, 0x01020304u);
  EXPECT_EQ(e->start_time, 1677328200);
  EXPECT_EQ(e->duration, 90);
  EXPECT_EQ(std::string(e->title), t70.substr(0, 63));
  EXPECT_EQ(e->summary_id2, 0x5A5Au);
  EXPECT_EQ(e->newbyte, 0x77);
  EXPECT_EQ(e->summary_id_3d, 0u);
  EXPECT_EQ(e->flags, 0);
  /* The second entry began 90 bytes after the first. */
  EXPECT_EQ(events[1]->mhw_event_id, 0x05060708u);
  EXPECT_EQ(std::string(events[1]->title), std::string(63, 'y'));
  EXPECT_EQ(events[1]->newbyte, 0x01);
  EXPECT_EQ(std::string(events[0]->title), std::string(63, 'z'));
  EXPECT_NE(DebugLog().find("ProcessMHW2Events() - EVENTS IN SECTION 3\n"), std::string::npos);
}

TEST_F(EventsTest, ChannelIdsAgainstTheChannelCount) {
  EventStart s;
  EventStart s2 = s;
  s2.minute = 0x40;
  /* 3-day: the entry on channel 10 is skipped, the one after it decoded. */
  Bytes three = Section3Day(2, {Entry3Day(10, 1, 1, s, "bad", 0), Entry3Day(9, 2, 2, s, "ok", 0)});
  EXPECT_EQ(ProcessMHW2Events3days(three.data(), (int32_t)three.size()), 0);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->channel, 9);
  EXPECT_TRUE(HasLine(MainLog(), "ProcessMHW2Events3days() - Invalid channel id received: 10 (ignoring)"));

  /* 7-day: channel 10 skips the whole section; 9 is accepted. */
  Bytes seven = Section7Day(10, 1, {Entry7Day(1, 1, s2, "bad", 0, 0)});
  EXPECT_EQ(ProcessMHW2Events(seven.data(), (int32_t)seven.size()), 0);
  EXPECT_EQ(Events().size(), 1u);
  EXPECT_TRUE(HasLine(MainLog(), "ProcessMHW2Events() - Invalid channel id received: 10 (ignoring)"));
  seven[7] = 9;
  EXPECT_EQ(ProcessMHW2Events(seven.data(), (int32_t)seven.size()), 0);
  EXPECT_EQ(Events().size(), 2u);
}

TEST_F(EventsTest, CountLargerThanTheEntriesIsAcceptedWhenTheyFillTheSection) {
  EventStart s, s2;
  s2.minute = 0x31;
  Bytes sec = Section3Day(3, {Entry3Day(1, 1, 1, s, "a", 0), Entry3Day(1, 2, 2, s2, "b", 0)});
  EXPECT_EQ(ProcessMHW2Events3days(sec.data(), (int32_t)sec.size()), 0);
  EXPECT_EQ(Events().size(), 2u);
  char line[128];
  snprintf(line, sizeof(line),
           "ProcessMHW2Events3days() - INVALID EVENT TABLE (ignoring) pos=%d - datelen=%d\n",
           (int)sec.size(), (int)sec.size());
  EXPECT_NE(DebugLog().find(line), std::string::npos);
}

TEST_F(EventsTest, DuplicateThreeDayEntryIsPrintedAndCountedButNotAdded) {
  EventStart s;
  Bytes sec = Section3Day(2, {Entry3Day(1, 1, 1, s, "first", 0), Entry3Day(1, 2, 2, s, "second", 0)});
  EXPECT_EQ(ProcessMHW2Events3days(sec.data(), (int32_t)sec.size()), 0);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_STREQ(events[0]->title, "first");
  std::string debug = DebugLog();
  EXPECT_NE(debug.find("Name: second\n"), std::string::npos);
  EXPECT_NE(debug.find("ProcessMHW2Events3days() - EVENTS IN SECTION 2\n"), std::string::npos);
}

/* Sections whose sizes do not add up: nothing of them is decoded, and the
 * store is unchanged. */
TEST_F(EventsTest, CorruptSectionsLeaveTheStoreUnchanged) {
  EventStart s;
  Bytes good3 = Section3Day(1, {Entry3Day(1, 1, 1, s, "t", 0)});
  Bytes good7 = Section7Day(1, 1, {Entry7Day(1, 1, s, "t", 0, 0)});
  struct Case {
    const char *what;
    bool seven;
    Bytes section;
    const char *main_line;  /* null: nothing in the main log */
    const char *debug_text; /* null: nothing in the debug log */
  };
  Bytes extra3 = good3;
  extra3.push_back(0);
  Bytes short3 = good3;
  short3.pop_back();
  Bytes nested3 = good3;
  nested3[18 + 18] = 0x3F; /* title length past the end */
  Bytes extra7 = good7;
  extra7.push_back(0);
  Bytes short7 = good7;
  short7.pop_back();
  Bytes count0_3 = good3;
  count0_3[17] = 0;
  Bytes count0_7 = good7;
  count0_7[10] = 0;
  Bytes tiny3(17, 0xE6), tiny7(10, 0xDC);
  std::vector<Case> cases = {
      {"3-day byte left over", false, extra3, "Received invalid section. Ignoring.", nullptr},
      {"3-day entry cut", false, short3, "Received invalid section. Ignoring.",
       "INVALID EVENT TABLE (ignoring) pos=18 - datelen=40"},
      {"3-day title overruns", false, nested3, "Received invalid section. Ignoring.",
       "INVALID EVENT TABLE (ignoring) pos=18 - datelen=41"},
      {"3-day count 0", false, count0_3, nullptr, nullptr},
      {"3-day 17 bytes", false, tiny3, nullptr, nullptr},
      {"7-day byte left over", true, extra7, "Received invalid section. Ignoring.", nullptr},
      {"7-day entry cut", true, short7, "Received invalid section. Ignoring.",
       "INVALID EVENT TABLE (ignoring) pos=11 - datelen=31"},
      {"7-day count 0", true, count0_7, nullptr, nullptr},
      {"7-day 10 bytes", true, tiny7, nullptr, nullptr},
  };
  EventRecord keep;
  memset(&keep, 0, sizeof(keep));
  keep.channel = 5;
  ASSERT_EQ(AddEvent3days(&keep), 1);
  for (Case &c : cases) {
    size_t main_before = MainLog().size();
    size_t debug_before = DebugLog().size();
    int32_t r = c.seven ? ProcessMHW2Events(c.section.data(), (int32_t)c.section.size())
                        : ProcessMHW2Events3days(c.section.data(), (int32_t)c.section.size());
    EXPECT_EQ(r, 0) << c.what;
    EXPECT_EQ(Events().size(), 1u) << c.what;
    auto main_log = MainLog();
    if (c.main_line) {
      ASSERT_EQ(main_log.size(), main_before + 1) << c.what;
      EXPECT_EQ(main_log.back(), c.main_line) << c.what;
    } else {
      EXPECT_EQ(main_log.size(), main_before) << c.what;
    }
    std::string new_debug = DebugLog().substr(debug_before);
    if (c.debug_text) {
      EXPECT_NE(new_debug.find(c.debug_text), std::string::npos) << c.what;
    }
    if (!c.main_line && !c.debug_text) {
      EXPECT_EQ(new_debug, "") << c.what;
    }
  }
}

TEST_F(EventsTest, EighteenByteSectionWithACountDecodesNothing) {
  Bytes sec(18, 0);
  sec[17] = 2;
  EXPECT_EQ(ProcessMHW2Events3days(sec.data(), 18), 0);
  std::string debug = DebugLog();
  EXPECT_NE(debug.find("INVALID EVENT TABLE (ignoring) pos=18 - datelen=18\n"), std::string::npos);
  EXPECT_NE(debug.find("ProcessMHW2Events3days() - EVENTS IN SECTION 0\n"), std::string::npos);
  EXPECT_TRUE(Events().empty());
}

}  // namespace
