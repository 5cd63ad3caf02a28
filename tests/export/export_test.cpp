/* Event export: what reaches the guide database for an event, under which
 * channels, and the ISO-8859-1 to UTF-8 conversion. */
#include <algorithm>

#include "mhw2/mhw2_fixture.h"

namespace {

class ExportTest : public GuideTest {
 protected:
  void SetUp() override {
    GuideTest::SetUp();
    MakeChannels(3);
    event_ = TestRecord(1, 1677328200, 0, "Film");
    event_.duration = 90;
    event_.day = 5;
    event_.hour = 20;
    event_.minute = 30;
  }
  std::vector<std::string> Triples() const {
    std::vector<std::string> v;
    char buf[32];
    for (const FakeTitle &t : db_.titles) {
      snprintf(buf, sizeof(buf), "%X:%X:%X", t.sid, t.tsid, t.nid);
      v.push_back(buf);
    }
    return v;
  }
  EventRecord event_;
};

TEST_F(ExportTest, TitleRecordFields) {
  EXPECT_EQ(StoreEvent(&event_, "Sum", "Text", 0x301, 0x201, 0x101), 1);
  ASSERT_EQ(db_.titles.size(), 1u);
  const FakeTitle &t = db_.titles[0];
  EXPECT_EQ(t.sid, 0x301);
  EXPECT_EQ(t.tsid, 0x201);
  EXPECT_EQ(t.nid, 0x101);
  const epgdb_title_t *r = t.record;
  EXPECT_EQ(r->event_id, 8430); /* (5 * 24 + 20) * 60 + 30 */
  EXPECT_EQ(r->start_time, 1677328200u);
  EXPECT_EQ(r->mjd, 60000);
  EXPECT_EQ(r->length, 5400);
  EXPECT_EQ(std::string(r->language, 3), "spa");
  /* Bytes the export does not own keep what the library gave. */
  EXPECT_EQ(r->flags, 0xA4);
  EXPECT_EQ(r->lib_state, 0xA4);
  for (uint8_t b : r->lib_reserved) EXPECT_EQ(b, 0xA4);
  EXPECT_EQ(r->lib_pad, 0xA4);
  EXPECT_EQ(t.description, "Film");
  EXPECT_EQ(t.long_description, "Sum\n\nText");
  EXPECT_EQ(db_.calls, std::vector<std::string>({"channels_add", "channels_set_name",
                                                 "title_alloc", "calculate_mjd", "titles_add",
                                                 "set_description", "set_long_description"}));
  EXPECT_EQ(t.channel_name, "Ch1");
  EXPECT_NE(DebugLog().find("TARNWELL ADDING event - ch:'Ch1' - 301:201:101 - TARNWELL "
                            "event_id=8430\nChannel: 1 - Ch1\nName: Film\n"),
            std::string::npos);
}

TEST_F(ExportTest, LengthKeepsTheLow16Bits) {
  event_.duration = 1092;
  StoreEvent(&event_, "", "", 1, 2, 3);
  event_.duration = 1093;
  StoreEvent(&event_, "", "", 1, 2, 3);
  event_.duration = 4095;
  StoreEvent(&event_, "", "", 1, 2, 3);
  ASSERT_EQ(db_.titles.size(), 3u);
  EXPECT_EQ(db_.titles[0].record->length, 65520);
  EXPECT_EQ(db_.titles[1].record->length, 44);
  EXPECT_EQ(db_.titles[2].record->length, (uint16_t)(4095 * 60));
}

TEST_F(ExportTest, LongDescriptionOfTheFinalPassAndOfEmptyTexts) {
  StoreEventWithAliases(&event_, event_.title, "");
  StoreEventWithAliases(&event_, "", "");
  ASSERT_EQ(db_.titles.size(), 2u);
  EXPECT_EQ(db_.titles[0].long_description, "Film\n\n");
  EXPECT_EQ(db_.titles[1].long_description, "\n\n");
}

TEST_F(ExportTest, AliasesStoreTheEventAgainNewestFirst) {
  /* Channel 1 is 301:201:101, named in ISO-8859-1; channel 2 is 302:202:102. */
  snprintf(GuideChannels()[1].name, sizeof(ChannelEntry::name), "Ca\xF1" "a 1");
  PushAlias(0x301, 0x201, 0x101, 0x302, 0x202, 0x102);     /* onto a named channel */
  PushAlias(0x301, 0x201, 0x101, 0x999, 0x888, 0x777);     /* oldest line */
  PushAlias(0x301, 0x201, 0x101, 0x301, 0x201, 0x101);     /* onto itself */
  PushAlias(0x300, 0x200, 0x100, 0x555, 0x555, 0x555);     /* another channel */
  PushAlias(0x10301, 0x201, 0x101, 0x444, 0x444, 0x444);   /* source above 0xFFFF */
  PushAlias(0x301, 0x201, 0x101, 0x1ABCD, 0x888, 0x777);   /* target above 0xFFFF */
  PushAlias(0x301, 0x201, 0x101, 0x999, 0x888, 0x777);     /* same as the oldest */
  EXPECT_EQ(StoreEventWithAliases(&event_, "S", "T"), 1);
  EXPECT_EQ(Triples(), std::vector<std::string>({"301:201:101", "999:888:777", "ABCD:888:777",
                                                 "301:201:101", "999:888:777", "302:202:102"}));
  /* Names in UTF-8 with ConvertToUTF8 off; a target takes its source's name
   * unless the channel table names it. */
  std::vector<std::string> names;
  for (const FakeTitle &t : db_.titles) names.push_back(t.channel_name);
  const std::string own = "Ca\xC3\xB1" "a 1";
  EXPECT_EQ(names, std::vector<std::string>({own, own, own, own, own, "Ch2"}));
  /* The debug line names the own channel and the target in full. */
  EXPECT_NE(DebugLog().find("TARNWELL ADDING event - ch:'Ca\xF1" "a 1' - 1ABCD:888:777 - TARNWELL "
                            "event_id=8430\n"),
            std::string::npos);
}

TEST_F(ExportTest, AChannelIsNamedOnceAndAgainOnlyWhenItsNameChanges) {
  /* Channel 0 and channel 1 both go to the unnamed 999:888:777, which takes
   * the name of the event's own channel. */
  db_.same_channel = true;
  PushAlias(0x300, 0x200, 0x100, 0x999, 0x888, 0x777);
  PushAlias(0x301, 0x201, 0x101, 0x999, 0x888, 0x777);
  const std::vector<std::string> named = {"channels_add", "channels_set_name", "title_alloc",
                                          "calculate_mjd", "titles_add", "set_description",
                                          "set_long_description"};
  std::vector<std::string> unnamed = named;
  unnamed.erase(unnamed.begin() + 1);
  auto twice = [](std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  StoreEventWithAliases(&event_, "S", "T");
  EXPECT_EQ(db_.calls, twice(named, named));
  db_.calls.clear();
  StoreEventWithAliases(&event_, "S", "T");
  EXPECT_EQ(db_.calls, twice(unnamed, unnamed));
  db_.calls.clear();
  event_.channel = 0;
  StoreEventWithAliases(&event_, "S", "T");
  EXPECT_EQ(db_.calls, twice(named, named)) << "channel 0 is new, the target's name changes";
  std::vector<std::string> names;
  for (const FakeTitle &t : db_.titles) names.push_back(t.channel_name);
  EXPECT_EQ(names, std::vector<std::string>({"Ch1", "Ch1", "Ch1", "Ch1", "Ch0", "Ch0"}));
  /* Handles of an earlier run are forgotten with the run's limit. */
  db_.calls.clear();
  ExportSetTextLimit(0);
  StoreEvent(&event_, "S", "T", 0x300, 0x200, 0x100);
  EXPECT_EQ(db_.calls, named);
}

TEST_F(ExportTest, ALibraryWithoutChannelNamesGetsOnlyTheSixCallsOfATitle) {
  ExportLibrary without_names = FAKE_LIBRARY;
  without_names.channels_set_name = nullptr;
  ExportSetLibrary(&without_names);
  PushAlias(0x301, 0x201, 0x101, 0x999, 0x888, 0x777);
  EXPECT_EQ(StoreEventWithAliases(&event_, "Sum", "Text"), 1);
  const std::vector<std::string> title = {"channels_add", "title_alloc", "calculate_mjd",
                                          "titles_add", "set_description", "set_long_description"};
  std::vector<std::string> both = title;
  both.insert(both.end(), title.begin(), title.end());
  EXPECT_EQ(db_.calls, both);
  ASSERT_EQ(db_.titles.size(), 2u);
  EXPECT_EQ(db_.titles[1].long_description, "Sum\n\nText");
  EXPECT_EQ(db_.titles[1].channel_name, "");
}

TEST_F(ExportTest, WithoutAliasesTheEventIsStoredOnce) {
  EXPECT_EQ(StoreEventWithAliases(&event_, "S", "T"), 1);
  EXPECT_EQ(Triples(), std::vector<std::string>({"301:201:101"}));
}

TEST_F(ExportTest, DecodedTextPastTheLimitLeavesThatEventAndEveryLaterOneOut) {
  /* Channel 1 goes to itself and to one alias target: 2 titles of
   * "Film" and "Sum\n\nText", 2 * 13 = 26 bytes an event. */
  PushAlias(0x301, 0x201, 0x101, 0x999, 0x888, 0x777);
  ExportSetTextLimit(60);
  EXPECT_EQ(StoreEventWithAliases(&event_, "Sum", "Text"), 1);
  EXPECT_EQ(StoreEventWithAliases(&event_, "Sum", "Text"), 1);
  EXPECT_EQ(ExportTextHanded(), 52);
  EXPECT_EQ(ExportEventsLeftOut(), 0);
  /* The third would pass 60 bytes; a smaller one after it is left out too. */
  EXPECT_EQ(StoreEventWithAliases(&event_, "Sum", "Text"), 1);
  EXPECT_EQ(StoreEventWithAliases(&event_, "", ""), 1);
  EXPECT_EQ(db_.titles.size(), 4u);
  EXPECT_EQ(ExportTextHanded(), 52);
  EXPECT_EQ(ExportEventsLeftOut(), 2);
  std::vector<std::string> log = MainLog();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "StoreEventWithAliases() - Decoded text would pass 60 bytes: this and every "
                       "later event are left out"),
            1);
  /* Counting starts afresh with the limit of a run. */
  ExportSetTextLimit(0);
  EXPECT_EQ(ExportEventsLeftOut(), 0);
  EXPECT_EQ(StoreEventWithAliases(&event_, "Sum", "Text"), 1);
  EXPECT_EQ(db_.titles.size(), 6u);
}

TEST_F(ExportTest, Utf8ConversionSetsFlagBitZero) {
  ConfigSettings()->convert_to_utf8 = 1;
  event_.title = "Caf\xE9";
  StoreEvent(&event_, "\xC1rbol", "ni\xF1o\nx", 1, 2, 3);
  event_.title = "Plain";
  StoreEvent(&event_, "a", "b", 1, 2, 3);
  ASSERT_EQ(db_.titles.size(), 2u);
  EXPECT_EQ(db_.titles[0].description, "Caf\xC3\xA9");
  EXPECT_EQ(db_.titles[0].long_description, "\xC3\x81rbol\n\nni\xC3\xB1o\nx");
  EXPECT_EQ(db_.titles[0].record->flags, 0xA5);
  EXPECT_EQ(db_.titles[1].description, "Plain");
  EXPECT_EQ(db_.titles[1].record->flags, 0xA5);

  /* Off: texts pass unchanged and the flags byte is not written. */
  ConfigSettings()->convert_to_utf8 = 0;
  event_.title = "Caf\xE9";
  StoreEvent(&event_, "", "", 1, 2, 3);
  EXPECT_EQ(db_.titles[2].description, "Caf\xE9");
  EXPECT_EQ(db_.titles[2].record->flags, 0xA4);
}

TEST_F(ExportTest, RefusalsOfTheGuideDatabaseSkipTheStore) {
  struct Case {
    bool FakeGuideDb::*refusal;
    const char *message;
    size_t calls;
    size_t titles; /* held by the guide database afterwards */
  } cases[] = {
      {&FakeGuideDb::no_channel, "StoreEvent() - Error: no guide database channel for 301:201:101 (skipped)", 1, 0},
      {&FakeGuideDb::no_record, "StoreEvent() - Error: no title record from the guide database (skipped)", 3, 0},
      {&FakeGuideDb::no_title, "StoreEvent() - Error: the guide database refused the title (skipped)", 5, 0},
      /* The library leaves such a title out of its save. */
      {&FakeGuideDb::no_text, "StoreEvent() - Error: the guide database found no memory for the texts (title left out)", 7, 1},
  };
  for (const Case &c : cases) {
    db_.calls.clear();
    db_.*c.refusal = true;
    EXPECT_EQ(StoreEvent(&event_, "S", "T", 0x301, 0x201, 0x101), 1);
    db_.*c.refusal = false;
    EXPECT_EQ(db_.calls.size(), c.calls) << c.message;
    EXPECT_EQ(MainLog().back(), c.message);
    EXPECT_EQ(db_.titles.size(), c.titles) << c.message;
  }
}

/* Output bytes as a string of hex pairs. */
std::string Hex(const unsigned char *p, int n) {
  std::string s;
  char buf[4];
  for (int i = 0; i < n; i++) {
    snprintf(buf, sizeof(buf), "%02X", p[i]);
    s += buf;
  }
  return s;
}

TEST(Isolat1ToUtf8, ConversionVectors) {
  struct Case {
    std::string in;
    int room;
    const char *out;
    int consumed;
  } cases[] = {
      {"a\xE9", 10, "61C3A9", 2},
      {"\xE9\xE9", 3, "C3A9", 1},
      {"a", 1, "61", 1},
      {"\xE9", 1, "", 0},
      {"abc\xFF", 4, "616263", 3},
      {"abcdef", 4, "61626364", 4},
      {"\x80\x7F\n", 10, "C2807F0A", 3},
      {"", 5, "", 0},
      {"abc", 0, "", 0},
  };
  for (const Case &c : cases) {
    unsigned char out[32];
    memset(out, 0x5A, sizeof(out));
    int room = c.room, in_len = (int)c.in.size();
    int r = isolat1ToUTF8(out, &room, (const unsigned char *)c.in.data(), &in_len);
    EXPECT_EQ(Hex(out, r), c.out) << c.in;
    EXPECT_EQ(room, r) << c.in;
    EXPECT_EQ(in_len, c.consumed) << c.in;
    for (size_t i = (size_t)r; i < sizeof(out); i++) EXPECT_EQ(out[i], 0x5A) << c.in;
  }
}

TEST(Isolat1ToUtf8, NullPointersChangeNothing) {
  unsigned char out[4] = {1, 2, 3, 4};
  const unsigned char in[1] = {'a'};
  int room = 4, in_len = 1;
  EXPECT_EQ(isolat1ToUTF8(nullptr, &room, in, &in_len), -1);
  EXPECT_EQ(isolat1ToUTF8(out, nullptr, in, &in_len), -1);
  EXPECT_EQ(isolat1ToUTF8(out, &room, nullptr, &in_len), -1);
  EXPECT_EQ(isolat1ToUTF8(out, &room, in, nullptr), -1);
  EXPECT_EQ(room, 4);
  EXPECT_EQ(in_len, 1);
  EXPECT_EQ(out[0], 1);
}

}  // namespace
