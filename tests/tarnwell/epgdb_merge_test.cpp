/* The guide database across runs: a later run's titles replace the stored
 * titles they overlap, titles of one run that overlap each other leave the
 * one added last, and titles that ended more than a day ago are dropped. */
#include <gtest/gtest.h>

#include <time.h>

#include "tarnwell/guide_db_helper.h"

namespace {

/* One run on the database in "g": opens it, lets "add" add titles, saves,
 * closes and cleans. Returns the save's result. */
template <typename Add>
int GuideRun(const GuideRoot &g, Add add) {
  if (!epgdb_open(g.root.c_str())) return -1;
  add();
  int saved = epgdb_save(nullptr);
  epgdb_close();
  epgdb_clean();
  return saved;
}

/* The pairs of stored titles of one channel whose spans overlap. */
std::string GuideOverlaps(const std::string &file) {
  return GuideSql(file,
                  "SELECT a.channel_id, a.start_time, b.start_time FROM titles a JOIN titles b"
                  " ON a.channel_id = b.channel_id AND a.start_time < b.start_time"
                  " AND a.start_time + MAX(a.length, 1) > b.start_time");
}

TEST(GuideDbMerge, MergeAndExpiryAcrossThreeSaves) {
  GuideRoot g;
  const uint32_t now = (uint32_t)time(nullptr);
  const uint32_t t = (now / 3600 + 3) * 3600;
  const uint32_t ended_23h = now - 23 * 3600 - 3600; /* 1-hour titles ending 23 h ago */
  const uint32_t ended_25h = now - 25 * 3600 - 3600;
  auto S = [](uint32_t v) { return std::to_string(v); };

  /* Run 1: a schedule on two channels, a very long title on a third, and
   * two past titles of which the one that ended more than a day ago is
   * dropped by the same save. */
  ASSERT_EQ(GuideRun(g,
                     [&] {
                       epgdb_channel_t *a = epgdb_channels_add(1, 1, 1);
                       epgdb_channel_t *b = epgdb_channels_add(1, 1, 2);
                       epgdb_channel_t *c = epgdb_channels_add(1, 1, 3);
                       GuideAddTitle(a, ended_23h, 3600, "Ayer", "");
                       GuideAddTitle(a, ended_25h, 3600, "Anteayer", "");
                       GuideAddTitle(a, t, 3600, "A1", "");
                       GuideAddTitle(a, t + 3600, 3600, "A2", "");
                       GuideAddTitle(a, t + 7200, 3600, "A3", "");
                       GuideAddTitle(b, t, 7200, "B1", "");
                       GuideAddTitle(c, t, 65535, "C1", "");
                     }),
            1);
  EXPECT_EQ(GuideTitleRows(g.file), "1:1:1|" + S(ended_23h) + "|3600|Ayer\n" +
                                        "1:1:1|" + S(t) + "|3600|A1\n" +
                                        "1:1:1|" + S(t + 3600) + "|3600|A2\n" +
                                        "1:1:1|" + S(t + 7200) + "|3600|A3\n" +
                                        "1:1:2|" + S(t) + "|7200|B1\n" +
                                        "1:1:3|" + S(t) + "|65535|C1\n");

  /* A title stored long ago (ended 25 h 50 min before now) goes with the
   * next save, although that save does not touch its channel. */
  GuideSql(g.file,
           "INSERT INTO titles VALUES((SELECT id FROM channels WHERE sid = 2), " +
               S(now - 26 * 3600) + ", 600, 0, 0, 0, 'spa', CAST('Viejo' AS BLOB), X'')");

  /* Run 2: the schedule of channel 1 moved by half an hour: the new title
   * replaces both titles it overlaps; the rest stays. */
  ASSERT_EQ(GuideRun(g, [&] { GuideAddTitle(epgdb_channels_add(1, 1, 1), t + 1800, 3600, "A2new", ""); }),
            1);
  EXPECT_EQ(GuideTitleRows(g.file), "1:1:1|" + S(ended_23h) + "|3600|Ayer\n" +
                                        "1:1:1|" + S(t + 1800) + "|3600|A2new\n" +
                                        "1:1:1|" + S(t + 7200) + "|3600|A3\n" +
                                        "1:1:2|" + S(t) + "|7200|B1\n" +
                                        "1:1:3|" + S(t) + "|65535|C1\n");

  /* Run 3: a title that fills the gap only touches its neighbours; one with
   * the start of a stored title replaces it; a title of length 0 at the end
   * of a stored title keeps it, a short one inside replaces it; a short
   * title near the end of the 65535-second title still finds it. */
  ASSERT_EQ(GuideRun(g,
                     [&] {
                       epgdb_channel_t *a = epgdb_channels_add(1, 1, 1);
                       epgdb_channel_t *b = epgdb_channels_add(1, 1, 2);
                       epgdb_channel_t *c = epgdb_channels_add(1, 1, 3);
                       GuideAddTitle(a, t + 5400, 1800, "Gap", "");
                       GuideAddTitle(a, t + 7200, 1800, "A3new", "");
                       GuideAddTitle(b, t + 7200, 0, "Zero", "");
                       GuideAddTitle(c, t + 65000, 100, "C2", "");
                     }),
            1);
  EXPECT_EQ(GuideTitleRows(g.file), "1:1:1|" + S(ended_23h) + "|3600|Ayer\n" +
                                        "1:1:1|" + S(t + 1800) + "|3600|A2new\n" +
                                        "1:1:1|" + S(t + 5400) + "|1800|Gap\n" +
                                        "1:1:1|" + S(t + 7200) + "|1800|A3new\n" +
                                        "1:1:2|" + S(t) + "|7200|B1\n" +
                                        "1:1:2|" + S(t + 7200) + "|0|Zero\n" +
                                        "1:1:3|" + S(t + 65000) + "|100|C2\n");
  ASSERT_EQ(GuideRun(g, [&] { GuideAddTitle(epgdb_channels_add(1, 1, 2), t + 60, 60, "B2", ""); }), 1);
  EXPECT_EQ(GuideSql(g.file, "SELECT start_time, CAST(description AS TEXT) FROM titles t JOIN channels c"
                             " ON c.id = t.channel_id WHERE c.sid = 2 ORDER BY start_time"),
            S(t + 60) + "|B2\n" + S(t + 7200) + "|Zero\n");
  EXPECT_EQ(GuideOverlaps(g.file), "");
  EXPECT_EQ(GuideSql(g.file, "SELECT count(*) FROM channels"), "3\n");
}

/* Titles of one run that overlap each other: walking them in the order they
 * were added, each replaces the earlier ones it overlaps; a title added again
 * with the same start counts as added at that moment. */
TEST(GuideDbMerge, OverlapsWithinOneRunLeaveTheLastAdded) {
  GuideRoot g;
  const uint32_t t = (uint32_t)((time(nullptr) / 3600 + 3) * 3600);
  auto S = [](uint32_t v) { return std::to_string(v); };
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *ch = epgdb_channels_add(5, 6, 7);
  GuideAddTitle(ch, t, 3600, "A", "");
  GuideAddTitle(ch, t + 1800, 3600, "B", "");    /* replaces A */
  GuideAddTitle(ch, t + 3000, 1000, "C", "");    /* replaces B */
  GuideAddTitle(ch, t + 6000, 1000, "D", "");    /* overlaps nothing */
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideTitleRows(g.file), "5:6:7|" + S(t + 3000) + "|1000|C\n" +
                                        "5:6:7|" + S(t + 6000) + "|1000|D\n");

  /* A again: now the last added; it replaces C, also in the file. */
  GuideAddTitle(ch, t, 3600, "A again", "");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideTitleRows(g.file), "5:6:7|" + S(t) + "|3600|A again\n" +
                                        "5:6:7|" + S(t + 6000) + "|1000|D\n");
  EXPECT_EQ(GuideOverlaps(g.file), "");
}

/* Many titles in one run, laid over a stored guide shifted by a quarter of
 * their length: no two titles of a channel overlap afterwards, and every
 * title of the run is there. */
TEST(GuideDbMerge, ShiftedScheduleLeavesNoOverlaps) {
  GuideRoot g;
  const uint32_t t = (uint32_t)((time(nullptr) / 3600 + 3) * 3600);
  auto schedule = [&](uint32_t shift, uint32_t count, const char *text) {
    for (uint16_t sid = 1; sid <= 20; sid++) {
      epgdb_channel_t *ch = epgdb_channels_add(1, 2, sid);
      for (uint32_t i = 0; i < count; i++) GuideAddTitle(ch, t + shift + i * 1200, 1200, text, "");
    }
  };
  ASSERT_EQ(GuideRun(g, [&] { schedule(0, 100, "old"); }), 1);
  /* The new titles reach to 300 s into old title 50: old titles 51 to 99 stay. */
  ASSERT_EQ(GuideRun(g, [&] { schedule(300, 50, "new"); }), 1);
  EXPECT_EQ(GuideOverlaps(g.file), "");
  EXPECT_EQ(GuideSql(g.file, "SELECT CAST(description AS TEXT), count(*), min(start_time) - " +
                                 std::to_string(t) + " FROM titles GROUP BY description ORDER BY 1"),
            "new|1000|300\nold|980|61200\n");
}

}  // namespace
