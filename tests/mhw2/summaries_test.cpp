/* Summary table decoders and summary attachment: which events a summary
 * reaches, what is stored for them, and what the sections may not do. */
#include "mhw2/mhw2_fixture.h"

namespace {

class SummariesTest : public GuideTest {
 protected:
  void SetUp() override {
    GuideTest::SetUp();
    MakeChannels(4);
  }
  /* Adds an event from a 3-day entry (with its 3-day summary id) or from a
   * 7-day entry (without one). */
  static EventRecord *Add(uint16_t channel, int32_t start, uint32_t summary_id, bool three_day,
                          uint32_t summary_id_3d = 0) {
    const std::string title = "T" + std::to_string(start);
    EventRecord r = TestRecord(channel, start, 0, title.c_str());
    r.summary_id = summary_id;
    if (three_day) {
      r.summary_id_3d = summary_id_3d;
      r.flags = EVENT_HAS_SUMMARY_ID_3D;
      EXPECT_EQ(AddEvent3days(&r), 1);
    } else {
      EXPECT_EQ(AddEvent(&r), 1);
    }
    return GuideEventList();
  }
  /* Decodes a copy of "section" with the 3-day or 7-day decoder. */
  static int32_t Decode(const Bytes &section, bool seven) {
    Bytes copy = section;
    return seven ? ProcessMHW2Summaries7days(copy.data(), (int32_t)copy.size())
                 : ProcessMHW2Summaries3days(copy.data(), (int32_t)copy.size());
  }
};

TEST_F(SummariesTest, OneSummaryOnThreeEventsThenRepeated) {
  EventRecord *a = Add(0, 100, 0x77, true);
  Add(1, 200, 0x99, true);
  EventRecord *b = Add(2, 300, 0x77, false);
  EventRecord *c = Add(3, 400, 0x77, true);
  EXPECT_EQ(AddSummary(0x77, "Title", "Text"), 1);
  ASSERT_EQ(db_.titles.size(), 3u);
  /* Stored newest first. */
  EXPECT_EQ(db_.titles[0].sid, 0x303);
  EXPECT_EQ(db_.titles[1].sid, 0x302);
  EXPECT_EQ(db_.titles[2].sid, 0x300);
  EXPECT_EQ(db_.titles[0].long_description, "Title\n\nText");
  EXPECT_TRUE(a->flags & EVENT_HAS_SUMMARY);
  EXPECT_TRUE(b->flags & EVENT_HAS_SUMMARY);
  EXPECT_TRUE(c->flags & EVENT_HAS_SUMMARY);
  EXPECT_EQ(GuideGetCounters()->summaries_attached, 3);
  EXPECT_NE(DebugLog().find("AddSummary() - summary_id: 0077 - found 3 time(s) - repeated 0 times\n"),
            std::string::npos);

  EXPECT_EQ(AddSummary(0x77, "Other", "Again"), 1);
  EXPECT_EQ(db_.titles.size(), 3u);
  EXPECT_EQ(GuideGetCounters()->summaries_attached, 3);
  EXPECT_NE(DebugLog().find("AddSummary() - summary_id: 0077 - found 0 time(s) - repeated 3 times\n"),
            std::string::npos);
  EXPECT_EQ(GuideGetCounters()->summaries_without_event, 0);
}

TEST_F(SummariesTest, ThreeDaySummaryIdMatchesAndAnEventIsStoredOnce) {
  /* Matches by its 3-day id only; another event matches by both ids and is
   * still stored once. */
  Add(0, 100, 0x5000, true, 0x1234);
  Add(1, 200, 0x1234, true, 0x1234);
  EXPECT_EQ(AddSummary(0x1234, "S", "x"), 1);
  ASSERT_EQ(db_.titles.size(), 2u);
  EXPECT_EQ(db_.titles[0].sid, 0x301);
  EXPECT_EQ(db_.titles[1].sid, 0x300);
}

TEST_F(SummariesTest, SummaryIdZeroReachesOnlyEventsThatCarryIt) {
  /* 7-day-only events hold summary_id_3d 0 without carrying it. */
  Add(0, 100, 0x10, false);
  Add(1, 200, 0x11, false);
  Add(2, 300, 0x12, true, 0x0000); /* a real 3-day id of 0 */
  EXPECT_EQ(AddSummary(0, "Zero", ""), 1);
  ASSERT_EQ(db_.titles.size(), 1u);
  EXPECT_EQ(db_.titles[0].sid, 0x302);

  /* A 3-day entry refused as a duplicate of a 7-day event does not give
   * that event a 3-day summary id. */
  EventRecord seven;
  memset(&seven, 0, sizeof(seven));
  seven.channel = 3;
  seven.start_time = 400;
  seven.summary_id = 0x20;
  ASSERT_EQ(AddEvent(&seven), 1);
  EventRecord three = seven;
  ASSERT_EQ(AddEvent3days(&three), 1); /* duplicate: ignored */
  EXPECT_EQ(AddSummary(0, "Zero", ""), 1);
  EXPECT_EQ(db_.titles.size(), 1u);
}

TEST_F(SummariesTest, SummaryWithoutEvent) {
  EXPECT_EQ(AddSummary(0xABC, "t", "x"), 1);
  EXPECT_EQ(GuideGetCounters()->summaries_without_event, 1);
  EXPECT_NE(DebugLog().find("AddSummary() - summary_id: 0ABC - not found\n"), std::string::npos);
  Add(0, 100, 0x1, true, 0x2);
  EXPECT_EQ(AddSummary(0xABC, "t", "x"), 1);
  EXPECT_EQ(GuideGetCounters()->summaries_without_event, 2);
  EXPECT_TRUE(db_.titles.empty());
}

TEST_F(SummariesTest, ThreeDayLinesAreJoinedWithSpaces) {
  Add(0, 100, 0x99, true, 0x4321);
  Bytes s = Summary3Day(0x4321, 0, "Film", 0xF3, {"AB", "C", "DEF"});
  EXPECT_EQ(Decode(s, false), 0);
  ASSERT_EQ(db_.titles.size(), 1u);
  EXPECT_EQ(db_.titles[0].long_description, "Film\n\nAB C DEF");
  std::string debug = DebugLog();
  EXPECT_NE(debug.find("MHW2 3 DAYS SUMMARY SECTION =\n"), std::string::npos);
  EXPECT_NE(debug.find("summary_id: 0x004321\nTitle: Film\nAB C DEF\n"
                       "---------------------------------------\n"),
            std::string::npos);
}

TEST_F(SummariesTest, ThreeDayEmptyLines) {
  struct Case {
    std::vector<std::string> lines;
    const char *text;
  } cases[] = {
      {{"", "B"}, " B"},
      {{""}, ""},
      {{"A", "", "C"}, "A  C"},
      {{}, ""},
  };
  uint16_t id = 1;
  for (const Case &c : cases) {
    Add(0, id * 100, id, true, 0);
    Bytes s = Summary3Day(id, 0, "T", (uint8_t)c.lines.size(), c.lines);
    EXPECT_EQ(Decode(s, false), 0);
    ASSERT_EQ(db_.titles.size(), id);
    EXPECT_EQ(db_.titles.back().long_description, std::string("T\n\n") + c.text) << id;
    id++;
  }
}

TEST_F(SummariesTest, ContinuationSectionIsSkipped) {
  Add(0, 100, 0x10, true, 0x10);
  Bytes s = Summary3Day(0x10, 1, "T", 1, {"x"});
  size_t main_before = MainLog().size();
  EXPECT_EQ(Decode(s, false), 0);
  EXPECT_TRUE(db_.titles.empty());
  EXPECT_NE(DebugLog().find("ProcessMHW2Summaries3days() - section is second part of previous "
                            "summary\n"),
            std::string::npos);
  EXPECT_EQ(MainLog().size(), main_before);
  /* Below 16 bytes the length test comes first. */
  Bytes tiny(15, 0);
  tiny[6] = 1;
  EXPECT_EQ(Decode(tiny, false), 0);
  EXPECT_TRUE(HasLine(MainLog(), "Received invalid section. Ignoring."));
}

/* The last 3-day line must leave room for the terminator inside the
 * section: a line ending on the last byte, or running past it, rejects
 * the section; a line ending one byte earlier is accepted. */
TEST_F(SummariesTest, ThreeDayLastLineAgainstTheSectionEnd) {
  Add(0, 100, 0x10, true, 0x10);
  Bytes ends_before = Summary3Day(0x10, 0, "T", 1, {"ABC"}, {0x00});
  Bytes ends_on_last = Summary3Day(0x10, 0, "T", 1, {"ABC"}, {});
  Bytes runs_past = ends_on_last;
  runs_past.pop_back();
  for (Bytes *s : {&ends_on_last, &runs_past}) {
    /* The decoder writes only inside the section: guard bytes behind it. */
    Bytes guarded = *s;
    guarded.insert(guarded.end(), 8, 0x5A);
    EXPECT_EQ(ProcessMHW2Summaries3days(guarded.data(), (int32_t)s->size()), 0);
    for (size_t i = s->size(); i < guarded.size(); i++) EXPECT_EQ(guarded[i], 0x5A);
    EXPECT_TRUE(db_.titles.empty());
  }
  EXPECT_NE(DebugLog().find("ProcessMHW2Summaries3days() - INVALID SUMMARY TABLE (ignoring)\n"),
            std::string::npos);
  EXPECT_EQ(Decode(ends_before, false), 0);
  ASSERT_EQ(db_.titles.size(), 1u);
  EXPECT_EQ(db_.titles[0].long_description, "T\n\nABC");
}

TEST_F(SummariesTest, SevenDaySummary) {
  Add(0, 100, 0xABCDEF, false);
  Add(1, 200, 0x000102, false);
  Bytes s = Summary7Day(0xABCDEF, "Title", "Some text", {0xFF});
  EXPECT_EQ(Decode(s, true), 0);
  ASSERT_EQ(db_.titles.size(), 1u);
  EXPECT_EQ(db_.titles[0].long_description, "Title\n\nSome text");
  EXPECT_NE(DebugLog().find("summary_id: 0xABCDEF\n"), std::string::npos);

  /* The high nibble of the length word does not count; byte 6 is part of
   * the id, never a continuation flag. */
  std::string text(258, 't');
  s = Summary7Day(0x000102, "", text, {0x00}, 0xF);
  EXPECT_EQ(s[20], 0xF1);
  EXPECT_EQ(s[21], 0x02);
  EXPECT_EQ(Decode(s, true), 0);
  ASSERT_EQ(db_.titles.size(), 2u);
  EXPECT_EQ(db_.titles[1].long_description, "\n\n" + text);
}

TEST_F(SummariesTest, ZeroByteEndsTitleAndText) {
  Add(0, 100, 0x42, false);
  Bytes s = Summary7Day(0x42, std::string("Ti\0tle", 6), std::string("te\0xt", 5), {0x00});
  EXPECT_EQ(Decode(s, true), 0);
  ASSERT_EQ(db_.titles.size(), 1u);
  EXPECT_EQ(db_.titles[0].long_description, "Ti\n\nte");
}

/* Sections that do not hold a summary: each is rejected with the debug and
 * the main-log line, writes nothing outside itself and stores nothing. */
TEST_F(SummariesTest, CorruptSectionsAreRejected) {
  Add(0, 100, 0x10, true, 0x10);
  Bytes ok3 = Summary3Day(0x10, 0, "TT", 2, {"ab", "c"}, {0x00});
  Bytes ok7 = Summary7Day(0x10, "TT", "abc", {0x00});
  struct Case {
    const char *what;
    bool seven;
    Bytes section;
  };
  std::vector<Case> cases;
  cases.push_back({"3-day 15 bytes", false, Bytes(ok3.begin(), ok3.begin() + 15)});
  /* Line-count byte at 15+T = 17 must be inside. */
  cases.push_back({"3-day count byte outside", false, Bytes(ok3.begin(), ok3.begin() + 17)});
  /* First line byte at 16+T = 18 must be inside, also for N = 0. */
  Bytes n0 = Summary3Day(0x10, 0, "TT", 0, {}, {});
  cases.push_back({"3-day N=0 first line byte outside", false, n0});
  /* Second line's length byte outside. */
  cases.push_back({"3-day line length byte outside", false, Bytes(ok3.begin(), ok3.begin() + 21)});
  cases.push_back({"7-day 20 bytes", true, Bytes(ok7.begin(), ok7.begin() + 20)});
  cases.push_back({"7-day length word cut", true, Bytes(ok7.begin(), ok7.begin() + 23)});
  cases.push_back({"7-day length word ends the section", true, Bytes(ok7.begin(), ok7.begin() + 24)});
  Bytes ends_on_last = ok7;
  ends_on_last.pop_back(); /* text ends on the last byte */
  cases.push_back({"7-day text on the last byte", true, ends_on_last});
  Bytes overrun = ok7;
  overrun[23] = 0x40; /* text length 64 */
  cases.push_back({"7-day text overruns", true, overrun});

  for (Case &c : cases) {
    size_t main_before = MainLog().size();
    size_t debug_before = DebugLog().size();
    Bytes guarded = c.section;
    guarded.insert(guarded.end(), 8, 0x5A);
    int32_t length = (int32_t)c.section.size();
    int32_t r = c.seven ? ProcessMHW2Summaries7days(guarded.data(), length)
                        : ProcessMHW2Summaries3days(guarded.data(), length);
    EXPECT_EQ(r, 0) << c.what;
    for (size_t i = c.section.size(); i < guarded.size(); i++) EXPECT_EQ(guarded[i], 0x5A) << c.what;
    auto log = MainLog();
    ASSERT_EQ(log.size(), main_before + 1) << c.what;
    EXPECT_EQ(log.back(), "Received invalid section. Ignoring.") << c.what;
    std::string line = std::string(c.seven ? "ProcessMHW2Summaries7days" : "ProcessMHW2Summaries3days") +
                       "() - INVALID SUMMARY TABLE (ignoring)\n";
    EXPECT_NE(DebugLog().find(line, debug_before), std::string::npos) << c.what;
  }
  EXPECT_TRUE(db_.titles.empty());
  EXPECT_EQ(GuideGetCounters()->summaries_attached, 0);
  /* The unbroken sections are valid. */
  EXPECT_EQ(Decode(ok3, false), 0);
  EXPECT_EQ(db_.titles.size(), 1u);
  EXPECT_EQ(Decode(ok7, true), 0);
}

TEST_F(SummariesTest, StoreFailureIsNotFatal) {
  /* A store the guide database refuses is skipped, and attachment goes on. */
  Add(0, 100, 0x10, true, 0);
  Add(1, 200, 0x10, true, 0);
  db_.no_title = true;
  Bytes s = Summary7Day(0x10, "T", "x", {0});
  EXPECT_EQ(Decode(s, true), 0);
  EXPECT_EQ(GuideGetCounters()->summaries_attached, 2);
  EXPECT_TRUE(HasLine(MainLog(), "StoreEvent() - Error: the guide database refused the title (skipped)"));
}

}  // namespace
