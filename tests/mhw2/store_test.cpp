/* Guide store: which records it keeps, the 7-day merge, list order, and
 * that its indexes answer exactly as a walk of the list would. */
#include <malloc.h>

#include "mhw2/mhw2_fixture.h"

namespace {

class StoreTest : public GuideTest {};

TEST_F(StoreTest, ThreeDayDuplicateKeepsTheFirstAndWarns) {
  EventRecord a = TestRecord(1, 1000, 7, "First");
  EventRecord b = TestRecord(1, 1000, 8, "Second");
  EventRecord c = TestRecord(2, 1000, 9, "Other channel");
  EventRecord d = TestRecord(1, 1060, 10, "Other start");
  EXPECT_EQ(AddEvent3days(&a), 1);
  EXPECT_EQ(AddEvent3days(&b), 1);
  EXPECT_EQ(AddEvent3days(&c), 1);
  EXPECT_EQ(AddEvent3days(&d), 1);

  auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  /* Newest first. */
  EXPECT_STREQ(events[0]->title, "Other start");
  EXPECT_STREQ(events[1]->title, "Other channel");
  EXPECT_STREQ(events[2]->title, "First");
  EXPECT_EQ(GuideGetCounters()->new_3day_events, 3);
  EXPECT_EQ(GuideGetCounters()->total_events, 3);
  EXPECT_NE(DebugLog().find("AddEvent3days() - WARNING: REPEATED EVENT FOUND IN EVENT LIST. "
                            "IGNORING.\n"),
            std::string::npos);
}

TEST_F(StoreTest, SevenDayMergeTakesSummaryIdsAndHandsBackThe3DayId) {
  MakeChannels(4);
  EventRecord three = TestRecord(3, 5000, 0x11, "Three");
  three.summary_id = 0xAAAA;
  three.summary_id2 = 0x1;
  three.summary_id_3d = 0x4242;
  three.flags = EVENT_HAS_SUMMARY_ID_3D;
  ASSERT_EQ(AddEvent3days(&three), 1);

  EventRecord seven = TestRecord(3, 5000, 0x11, "Seven title");
  seven.summary_id = 0xBBBBBB;
  seven.summary_id2 = 0xCCCC;
  ASSERT_EQ(AddEvent(&seven), 1);

  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->summary_id, 0xBBBBBBu);
  EXPECT_EQ(events[0]->summary_id2, 0xCCCCu);
  EXPECT_EQ(events[0]->summary_id_3d, 0x4242u);
  EXPECT_STREQ(events[0]->title, "Three");
  /* The caller's record shows the 3-day id it took over. */
  EXPECT_EQ(seven.summary_id_3d, 0x4242u);
  EXPECT_TRUE(seven.flags & EVENT_HAS_SUMMARY_ID_3D);
  EXPECT_EQ(GuideGetCounters()->new_7day_events, 0);
  EXPECT_EQ(GuideGetCounters()->total_events, 1);

  /* Attachment now follows the new summary id and no longer the old one. */
  EXPECT_EQ(AddSummary(0xAAAA, "old", "x"), 1);
  EXPECT_EQ(db_.titles.size(), 0u);
  EXPECT_EQ(AddSummary(0xBBBBBB, "new", "y"), 1);
  EXPECT_EQ(db_.titles.size(), 1u);
}

/* The summary index holds only the ids the records carry: merges that
 * move events through ever new summary ids, and back onto their 3-day ids,
 * leave it at its size once a lookup has made it again, and lookups follow
 * every move. */
TEST_F(StoreTest, SevenDayMergesNeverGrowTheSummaryIndex) {
  MakeChannels(4);
  const int n = 600;
  for (int i = 0; i < n; i++) {
    EventRecord r = TestRecord((uint16_t)(i % 4), i * 60, (uint32_t)i, "e");
    r.summary_id = (uint32_t)i;
    r.summary_id_3d = 0x8000u + (uint32_t)(i % 50);
    r.flags = EVENT_HAS_SUMMARY_ID_3D;
    ASSERT_EQ(AddEvent3days(&r), 1);
  }
  /* The first lookup makes the index; from then on merges keep it. */
  EXPECT_EQ(GuideSummaryIndexSlots(), 0u);
  EXPECT_EQ(GuideSummaryMatchCount(0x8000u), n / 50);
  ASSERT_EQ(GuideSummaryIndexSlots(), 2u * n);
  auto id_of = [](int round, int i) {
    return round % 5 == 0 ? 0x8000u + (uint32_t)(i % 50) : 0x100000u + (uint32_t)(round * 1000 + i);
  };
  for (int round = 1; round <= 41; round++) {
    for (int i = 0; i < n; i++) {
      EventRecord r = TestRecord((uint16_t)(i % 4), i * 60, (uint32_t)i, "e");
      r.summary_id = id_of(round, i);
      ASSERT_EQ(AddEvent(&r), 1);
    }
    ASSERT_EQ(GuideSummaryMatchCount(id_of(round, round)), round % 5 == 0 ? n / 50 : 1)
        << "round " << round;
    ASSERT_EQ(GuideSummaryIndexSlots(), round % 5 == 0 ? 1u * n : 2u * n) << "round " << round;
  }
  for (int i = 0; i < n; i += 37) {
    EXPECT_EQ(GuideSummaryMatchCount(id_of(41, i)), 1) << i;
    EXPECT_EQ(GuideSummaryMatchCount(id_of(39, i)), 0) << i;
    EXPECT_EQ(GuideSummaryMatchCount(0x8000u + (uint32_t)(i % 50)), n / 50) << i;
  }
  ASSERT_EQ(AddSummary(id_of(41, 5), "S", "x"), 1);
  ASSERT_EQ(db_.titles.size(), 1u);
  EXPECT_EQ(db_.titles[0].record->start_time, 5u * 60u);
}

TEST_F(StoreTest, SevenDayWithOtherEventIdIsIgnored) {
  EventRecord three = TestRecord(3, 5000, 0x11, "Three");
  three.summary_id = 0xAAAA;
  ASSERT_EQ(AddEvent3days(&three), 1);
  EventRecord seven = TestRecord(3, 5000, 0x12, "Seven");
  seven.summary_id = 0xBBBB;
  ASSERT_EQ(AddEvent(&seven), 1);

  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->summary_id, 0xAAAAu);
  EXPECT_EQ(events[0]->mhw_event_id, 0x11u);
  EXPECT_NE(DebugLog().find("AddEvent() - WARNING: SAME EVENT WITH DIFFERENT EVENTID. IGNORING.\n"),
            std::string::npos);

  /* A 7-day entry at a new start is added at the head. */
  EventRecord fresh = TestRecord(3, 6000, 0x13, "Fresh");
  ASSERT_EQ(AddEvent(&fresh), 1);
  events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_STREQ(events[0]->title, "Fresh");
  EXPECT_EQ(GuideGetCounters()->new_7day_events, 1);
  EXPECT_EQ(GuideGetCounters()->total_events, 2);
  EXPECT_EQ(events[0]->summary_id_3d, 0u);
  EXPECT_FALSE(events[0]->flags & EVENT_HAS_SUMMARY_ID_3D);
}

/* Many records across channels and starts, added in a shuffled order and
 * merged repeatedly: the records a summary reaches, and their order, must
 * be those of a walk of the list. */
TEST_F(StoreTest, IndexesAgreeWithAWalkOfTheList) {
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFF;
  };
  for (int i = 0; i < 2000; i++) {
    EventRecord r = TestRecord((uint16_t)(next() % 7), (int32_t)(next() % 300) * 60,
                           next() % 3, "e");
    r.summary_id = next() % 40;
    if (next() % 2) {
      r.summary_id_3d = next() % 40;
      r.flags = EVENT_HAS_SUMMARY_ID_3D;
      ASSERT_EQ(AddEvent3days(&r), 1);
    } else {
      ASSERT_EQ(AddEvent(&r), 1);
    }
  }
  MakeChannels(7);
  auto agree = [](const char *when) {
    for (uint32_t id = 0; id < 40; id++) {
      std::vector<EventRecord *> expected;
      for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e))
        if (e->summary_id == id || ((e->flags & EVENT_HAS_SUMMARY_ID_3D) && e->summary_id_3d == id))
          expected.push_back(e);
      std::vector<EventRecord *> seen;
      GuideVisitSummaryMatches(
          id,
          [](EventRecord *r, void *c) {
            ((std::vector<EventRecord *> *)c)->push_back(r);
            return 1;
          },
          &seen);
      EXPECT_EQ(seen, expected) << "summary id " << id << " " << when;
    }
  };
  agree("as added");
  /* One record per channel and start time. */
  std::set<std::pair<int, int>> keys;
  for (EventRecord *e : Events()) EXPECT_TRUE(keys.insert({e->channel, e->start_time}).second);
  EXPECT_EQ((int32_t)keys.size(), GuideGetCounters()->total_events);

  /* Records leaving from anywhere in the list and in their bags. */
  size_t count = 0, kept = 0;
  for (EventRecord *e = GuideEventList(), *n; e; e = n, count++) {
    n = GuideNextEvent(e);
    if (count % 3 == 1 || count % 7 == 0) GuideFreeEvent(e);
    else kept++;
  }
  EXPECT_EQ(Events().size(), kept);
  agree("after some left");
  /* All gone, then more than ever before come, twice: the store starts
   * over with insertion numbers beyond any it had room for. */
  for (int round = 0; round < 2; round++) {
    while (GuideEventList()) GuideFreeEvent(GuideEventList());
    for (int i = 0; i < 2500; i++) {
      EventRecord r = TestRecord((uint16_t)(i % 7), i * 60, 1, "f");
      r.summary_id = next() % 40;
      ASSERT_EQ(AddEvent(&r), 1);
    }
    EXPECT_EQ(Events().size(), 2500u);
    agree("refilled");
  }
}

/* A walk that stops half way (its visit failed) leaves every record it
 * did not mark waiting, in both parts of the id, for the next walk; the
 * counts stay. */
TEST_F(StoreTest, AWalkStoppedHalfWayLeavesTheRestWaiting) {
  const uint32_t id = 0x21;
  std::vector<EventRecord *> expected;
  for (int i = 0; i < 40; i++) {
    EventRecord r = TestRecord((uint16_t)(i % 3), i * 60, (uint32_t)i, "e");
    r.summary_id = i % 4 == 0 ? id : 0x100u + (uint32_t)i;
    r.summary_id_3d = i % 4 == 1 ? id : 0x200u;
    r.flags = EVENT_HAS_SUMMARY_ID_3D;
    ASSERT_EQ(AddEvent3days(&r), 1);
  }
  ASSERT_EQ(GuideSummaryMatchCount(id), 20);
  struct Stop {
    int left;
    std::vector<EventRecord *> seen;
  } stop = {5, {}};
  auto visit = [](EventRecord *r, void *c) {
    Stop *s = (Stop *)c;
    s->seen.push_back(r);
    if (s->left <= 0) return 1;
    /* Every other one gets its summary; the fifth visit fails. */
    if (s->left % 2) r->flags |= EVENT_HAS_SUMMARY;
    return --s->left > 0 ? 1 : 0;
  };
  EXPECT_EQ(GuideVisitSummaryMatches(id, visit, &stop), 0);
  EXPECT_EQ(stop.seen.size(), 5u);
  for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e))
    if ((e->summary_id == id || e->summary_id_3d == id) && !(e->flags & EVENT_HAS_SUMMARY))
      expected.push_back(e);
  EXPECT_EQ(expected.size(), 17u);
  stop.seen.clear();
  EXPECT_EQ(GuideVisitSummaryMatches(id, visit, &stop), 1);
  EXPECT_EQ(stop.seen, expected);
  EXPECT_EQ(GuideSummaryMatchCount(id), 20);
}

/* Events, 7-day merges and summaries interleaved at random, summaries
 * arriving again and events after their summaries: every summary stores
 * exactly the matching events without a summary, in list order, and
 * reports the others as repeated, as a walk of the list finds them. */
TEST_F(StoreTest, AttachmentAgreesWithAWalkOfTheListInAnyInterleaving) {
  MakeChannels(5);
  uint32_t seed = 4242;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return ((seed >> 8) & 0xFFFF) % n;
  };
  /* Ids of both kinds share a small pool, one above 16 bits. */
  const uint32_t ids[] = {0x10, 0x11, 0x12, 0x13, 0x10012};
  for (int op = 0; op < 6000; op++) {
    EventRecord r = TestRecord((uint16_t)next(5), (int32_t)next(200) * 60, next(2), "e");
    r.summary_id = ids[next(5)];
    uint32_t kind = next(10);
    if (kind < 4) {
      r.summary_id_3d = ids[next(4)];
      r.flags = EVENT_HAS_SUMMARY_ID_3D;
      ASSERT_EQ(AddEvent3days(&r), 1);
    } else if (kind < 8) {
      ASSERT_EQ(AddEvent(&r), 1);
    } else {
      uint32_t id = ids[next(5)];
      std::vector<int32_t> expected;
      int32_t repeated = 0;
      for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e)) {
        if (e->summary_id != id && !((e->flags & EVENT_HAS_SUMMARY_ID_3D) && e->summary_id_3d == id))
          continue;
        if (e->flags & EVENT_HAS_SUMMARY) repeated++;
        else expected.push_back(e->channel * 100000 + e->start_time);
      }
      /* What the summary's debug line reports as found and repeated. */
      ASSERT_EQ(GuideSummaryMatchCount(id), (int32_t)expected.size() + repeated) << "at step " << op;
      size_t first = db_.titles.size();
      int32_t without_event = GuideGetCounters()->summaries_without_event;
      ASSERT_EQ(AddSummary(id, "S", "x"), 1);
      std::vector<int32_t> stored;
      for (size_t t = first; t < db_.titles.size(); t++)
        stored.push_back((db_.titles[t].sid - 0x300) * 100000 + (int32_t)db_.titles[t].record->start_time);
      ASSERT_EQ(stored, expected) << "summary " << id << " at step " << op;
      EXPECT_EQ(GuideGetCounters()->summaries_without_event - without_event,
                expected.empty() && repeated == 0 ? 1 : 0);
    }
  }
}

/* The shapes of stream that once made the store's cost grow faster than
 * the guide. Each counts the record steps of the summary walks: a fixed
 * number per event, whatever the order and repetition of ids; a walk of a
 * whole chain per event would take n * n / 2. */

/* Adds "n" 7-day events on 4 channels, one a minute, all with "summary_id". */
void AddSharingEvents(int n, uint32_t summary_id) {
  for (int i = 0; i < n; i++) {
    EventRecord r = TestRecord((uint16_t)(i % 4), i * 60, (uint32_t)i, "e");
    r.summary_id = summary_id;
    ASSERT_EQ(AddEvent(&r), 1);
  }
}

/* The titles stored so far, as the start times of their events. */
std::vector<int32_t> StoredStarts(const FakeGuideDb &db) {
  std::vector<int32_t> v;
  for (const FakeTitle &t : db.titles) v.push_back((int32_t)t.record->start_time);
  return v;
}

TEST_F(StoreTest, SevenDayMergesIntoOneSummaryIdCostStepsLinearInTheEvents) {
  const int n = 3000;
  const uint32_t shared = 0x77;
  std::vector<int> backwards(n), shuffled(n);
  for (int i = 0; i < n; i++) backwards[i] = shuffled[i] = n - 1 - i;
  uint32_t seed = 99;
  for (int i = n - 1; i > 0; i--) {
    seed = seed * 1103515245u + 12345u;
    std::swap(shuffled[i], shuffled[(seed >> 8) % (uint32_t)(i + 1)]);
  }
  for (const std::vector<int> *order : {&backwards, &shuffled}) {
    FreeGuide();
    db_.titles.clear();
    MakeChannels(4);
    /* 3-day events with an id each; every third also carries the shared
     * id as its 3-day id, and every fifth keeps its own id. */
    for (int i = 0; i < n; i++) {
      EventRecord r = TestRecord((uint16_t)(i % 4), i * 60, (uint32_t)i, "e");
      r.summary_id = 0x100000u + (uint32_t)i;
      r.summary_id_3d = i % 3 == 0 ? shared : 0x4000u;
      r.flags = EVENT_HAS_SUMMARY_ID_3D;
      ASSERT_EQ(AddEvent3days(&r), 1);
    }
    uint64_t before = GuideWalkSteps();
    for (int i : *order) {
      if (i % 5 == 0) continue;
      EventRecord r = TestRecord((uint16_t)(i % 4), i * 60, (uint32_t)i, "e");
      r.summary_id = shared;
      ASSERT_EQ(AddEvent(&r), 1);
    }
    std::vector<int32_t> expected;
    for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e))
      if (e->summary_id == shared || e->summary_id_3d == shared) expected.push_back(e->start_time);
    EXPECT_EQ(GuideSummaryMatchCount(shared), (int32_t)expected.size());
    ASSERT_EQ(AddSummary(shared, "S", "x"), 1);
    /* Every match stored once, newest first, as a walk of the list finds
     * them; the merges and the attachment together a few steps a record. */
    EXPECT_EQ(StoredStarts(db_), expected);
    EXPECT_LE(GuideWalkSteps() - before, 8u * n);
  }
}

TEST_F(StoreTest, RepeatedCopiesOfASharedSummaryWalkItsEventsOnce) {
  MakeChannels(4);
  const int n = 2000;
  AddSharingEvents(n, 0x55AA);
  ASSERT_EQ(AddSummary(0x55AA, "First", "wins"), 1);
  uint64_t steps = GuideWalkSteps();
  EXPECT_LE(steps, 4u * n);
  for (int k = 1; k < n; k++) ASSERT_EQ(AddSummary(0x55AA, "Later", "copy"), 1);
  /* The attached events leave the summary id's bag once, at the next copy;
   * no copy walks them again. */
  EXPECT_LE(GuideWalkSteps(), steps + n);
  ASSERT_EQ(db_.titles.size(), (size_t)n);
  for (const FakeTitle &t : db_.titles) ASSERT_EQ(t.long_description, "First\n\nwins");
  EXPECT_EQ(GuideGetCounters()->summaries_attached, n);
  EXPECT_EQ(GuideGetCounters()->summaries_without_event, 0);
  std::string debug = DebugLog();
  const std::string repeated = "AddSummary() - summary_id: 55AA - found 0 time(s) - repeated 2000 times\n";
  size_t copies = 0;
  for (size_t p = debug.find(repeated); p != std::string::npos; p = debug.find(repeated, p + 1)) copies++;
  EXPECT_EQ(copies, (size_t)n - 1);

  /* An event that comes after the summary gets the next copy, alone. */
  EventRecord late = TestRecord(0, n * 60, 0, "late");
  late.summary_id = 0x55AA;
  ASSERT_EQ(AddEvent(&late), 1);
  ASSERT_EQ(AddSummary(0x55AA, "Late", "copy"), 1);
  ASSERT_EQ(db_.titles.size(), (size_t)n + 1);
  EXPECT_EQ(db_.titles.back().long_description, "Late\n\ncopy");
  EXPECT_NE(DebugLog().find("found 1 time(s) - repeated 2000 times\n", debug.size()), std::string::npos);
}

#ifdef MHW2_SANITIZED
constexpr bool kSanitizedHeap = true;
#else
constexpr bool kSanitizedHeap = false;
#endif

/* A guide database that keeps nothing, so that only the grabber's own heap
 * grows. */
epgdb_channel_t *KeepNothingChannel(uint16_t, uint16_t, uint16_t) {
  static uint16_t channel[3];
  return (epgdb_channel_t *)channel;
}
int KeepNothingName(epgdb_channel_t *, const char *) { return 1; }
epgdb_title_t *KeepNothingTitle(void) {
  static epgdb_title_t title;
  return &title;
}
uint32_t KeepNothingMjd(uint32_t) { return 0; }
epgdb_title_t *KeepNothingAdd(epgdb_channel_t *, epgdb_title_t *title) { return title; }
int KeepNothingText(epgdb_title_t *, const char *) { return 1; }

TEST_F(StoreTest, ASummarySharedByEveryEventIsNotCopiedPerEvent) {
  MakeChannels(4);
  const int n = 2000;
  AddSharingEvents(n, 0xABCDE);
  const ExportLibrary keep_nothing = {KeepNothingChannel, KeepNothingName, KeepNothingTitle,
                                      KeepNothingMjd,     KeepNothingAdd,  KeepNothingText,
                                      KeepNothingText};
  ExportSetLibrary(&keep_nothing);
  const std::string text(4052, 'x');
  struct mallinfo2 before = mallinfo2();
  ASSERT_EQ(AddSummary(0xABCDE, "Shared", text.c_str()), 1);
  struct mallinfo2 after = mallinfo2();
  size_t held = (after.uordblks + after.hblkhd) - (before.uordblks + before.hblkhd);
  EXPECT_EQ(GuideGetCounters()->summaries_attached, n);
  /* Each event hands over its title and its long description once. */
  EXPECT_EQ(ExportTextHanded(), (int64_t)n * (1 + 6 + 2 + 4052));
  EXPECT_EQ(ExportEventsLeftOut(), 0);
  /* A copy of the text per event would hold 8 MB; the log buffers may come.
   * The sanitizer's heap does not report through mallinfo2. */
  if (!kSanitizedHeap) {
    EXPECT_LT(held, 256u * 1024);
  }
}

TEST_F(StoreTest, DebugPrintShowsTheRecord) {
  MakeChannels(2);
  EventRecord r = TestRecord(1, 0, 0x1234ABCD, "Film");
  r.day = 5;
  r.month = 2;
  r.year = 2023;
  r.hour = 9;
  r.minute = 7;
  r.second = 3;
  r.duration = 90;
  r.summary_id = 0x12;
  r.summary_id2 = 0x3F;
  r.summary_id_3d = 0xBEEF;
  r.newbyte = 0x0A;
  DebugPrintEvent(&r);
  EXPECT_EQ(DebugLog(),
            "Channel: 1 - Ch1\n"
            "Name: Film\n"
            "EventId: 0x1234ABCD - StartDate: 05/02/2023 - StartTime: 09:07:03 - Duration: 90 min\n"
            "SummaryId: 0x0012 - SummaryId2: 003F - SummaryId3d: 0xBEEF - newbyte: 0A\n"
            "-------------------------\n");
}

/* Once the event passes are over the store holds each record only until it
 * is handed over: an attached record leaves the list at once (a 3-day one
 * and a merged one from the middle of it), its summary still counts it as
 * a repeat, the others stay in order, and no event is taken any more. */
TEST_F(StoreTest, AfterTheEventPassesAttachedRecordsGoAndNoEventIsAdded) {
  MakeChannels(2);
  const char *titles[4] = {"A", "B, whose title fills every one of the sixty-three bytes it has!",
                           "C", "D"};
  for (int i = 0; i < 4; i++) {
    EventRecord r = TestRecord((uint16_t)(i % 2), i * 60, (uint32_t)i, titles[i]);
    r.summary_id = i == 2 ? 0x77u : 0x55u;
    r.summary_id_3d = (uint32_t)(0x900 + i);
    r.flags = EVENT_HAS_SUMMARY_ID_3D;
    ASSERT_EQ(AddEvent3days(&r), 1);
  }
  EventRecord merge = TestRecord(1, 60, 1, "B");
  merge.summary_id = 0x66;
  ASSERT_EQ(AddEvent(&merge), 1); /* B now waits for 0x66 and its 3-day id */
  GuideEndEvents();
  EventRecord late = TestRecord(0, 999, 9, "Late");
  EXPECT_EQ(AddEvent3days(&late), 0);
  EXPECT_EQ(AddEvent(&late), 0);
  EXPECT_EQ(MainLog().back(), "AddEvent() - Error: event added after the event tables");

  ASSERT_EQ(AddSummary(0x55, "S", "x"), 1); /* A and D */
  ASSERT_EQ(AddSummary(0x901, "T", "y"), 1); /* B by its 3-day id */
  ASSERT_EQ(db_.titles.size(), 3u);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_STREQ(events[0]->title, "C");
  EXPECT_EQ(events[0]->start_time, 120);
  EXPECT_EQ(db_.titles[2].description, titles[1]);
  EXPECT_EQ(AddSummary(0x55, "S", "x"), 1);
  EXPECT_EQ(db_.titles.size(), 3u);
  EXPECT_EQ(GuideSummaryMatchCount(0x55), 2);
  EXPECT_NE(DebugLog().find("summary_id: 0055 - found 0 time(s) - repeated 2 times"),
            std::string::npos);
  GuideFreeEvent(events[0]);
  EXPECT_EQ(GuideEventList(), nullptr);
  EXPECT_EQ(AddSummary(0x77, "U", "z"), 1);
  EXPECT_EQ(db_.titles.size(), 3u);
}

TEST_F(StoreTest, FreeGuideEmptiesEverythingAndCanRepeat) {
  MakeChannels(3);
  PushAlias(1, 2, 3, 4, 5, 6);
  EventRecord r = TestRecord(1, 0, 1, "x");
  ASSERT_EQ(AddEvent3days(&r), 1);
  FreeGuide();
  EXPECT_EQ(GuideEventList(), nullptr);
  EXPECT_EQ(GuideChannels(), nullptr);
  EXPECT_EQ(ConfigAliasList(), nullptr);
  FreeGuide();
  /* After a free the same event can be added again. */
  ASSERT_EQ(AddEvent3days(&r), 1);
  EXPECT_EQ(Events().size(), 1u);
}

}  // namespace
