/* The guide database across runs: a later run's titles replace the stored
 * titles they overlap, titles of one run never replace each other, a title
 * without summary keeps the stored summary of the same programme, and
 * titles of earlier runs that ended more than a day ago are dropped. */
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
   * two past titles, both kept: a save never expires its own titles. */
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
  EXPECT_EQ(GuideTitleRows(g.file), "1:1:1|" + S(ended_25h) + "|3600|Anteayer\n" +
                                        "1:1:1|" + S(ended_23h) + "|3600|Ayer\n" +
                                        "1:1:1|" + S(t) + "|3600|A1\n" +
                                        "1:1:1|" + S(t + 3600) + "|3600|A2\n" +
                                        "1:1:1|" + S(t + 7200) + "|3600|A3\n" +
                                        "1:1:2|" + S(t) + "|7200|B1\n" +
                                        "1:1:3|" + S(t) + "|65535|C1\n");

  /* Titles of earlier runs stored long ago go with the next save, although
   * that save does not touch their channel. */
  GuideSql(g.file,
           "INSERT INTO titles VALUES((SELECT id FROM channels WHERE sid = 2), " +
               S(now - 26 * 3600) + ", 600, 0, 0, 0, 'spa', CAST('Viejo' AS BLOB), X'')");

  /* Run 2: the schedule of channel 1 moved by half an hour: the new title
   * replaces both titles it overlaps; the rest stays. */
  ASSERT_EQ(GuideRun(g, [&] { GuideAddTitle(epgdb_channels_add(1, 1, 1), t + 1800, 3600, "A2new", ""); }),
            1);
  int written = 0, replaced = 0, expired = 0;
  epgdb_save_counts(&written, &replaced, &expired);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(replaced, 2);
  EXPECT_EQ(expired, 2);
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

/* Titles of one run that overlap each other are all kept (a garbage
 * duration must not erase a channel's day); only the same start replaces,
 * and a later run's title replaces every one it overlaps. */
TEST(GuideDbMerge, TitlesOfOneRunNeverReplaceEachOther) {
  GuideRoot g;
  const uint32_t t = (uint32_t)((time(nullptr) / 3600 + 3) * 3600);
  auto S = [](uint32_t v) { return std::to_string(v); };
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *ch = epgdb_channels_add(5, 6, 7);
  GuideAddTitle(ch, t, 65535, "Garbage", "");
  GuideAddTitle(ch, t + 1800, 3600, "B", "");
  GuideAddTitle(ch, t + 3000, 1000, "C", "");
  GuideAddTitle(ch, t + 3000, 1000, "C again", "");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  const std::string all = "5:6:7|" + S(t) + "|65535|Garbage\n" + "5:6:7|" + S(t + 1800) +
                          "|3600|B\n" + "5:6:7|" + S(t + 3000) + "|1000|C again\n";
  EXPECT_EQ(GuideTitleRows(g.file), all);
  /* Saved again in the same run: nothing of it is lost. */
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideTitleRows(g.file), all);
  epgdb_close();
  epgdb_clean();
  ASSERT_EQ(GuideRun(g, [&] { GuideAddTitle(epgdb_channels_add(5, 6, 7), t + 600, 600, "D", ""); }),
            1);
  EXPECT_EQ(GuideTitleRows(g.file), "5:6:7|" + S(t + 600) + "|600|D\n" + all.substr(all.find('\n') + 1));
}

/* A run that missed the summary tables stores titles whose long description
 * is their own title and two line feeds: the stored summary of the same
 * programme (channel, start and title) stays; a changed programme at that
 * start does not inherit it. */
TEST(GuideDbMerge, PoorerRunKeepsStoredSummaries) {
  GuideRoot g;
  const uint32_t t = (uint32_t)((time(nullptr) / 3600 + 3) * 3600);
  auto run = [&](const char *second_title, const char *second_long) {
    return GuideRun(g, [&] {
      epgdb_channel_t *ch = epgdb_channels_add(1, 2, 3);
      GuideAddTitle(ch, t, 3600, "Cine", "Cine\n\n");
      GuideAddTitle(ch, t + 3600, 3600, second_title, second_long);
    });
  };
  ASSERT_EQ(run("Noticias", "Noticias\n\nHoy"), 1);
  auto longs = [&] {
    return GuideSql(g.file, "SELECT CAST(long_description AS TEXT) FROM titles ORDER BY start_time");
  };
  /* "Cine" came without summary twice, "Noticias" lost its summary. */
  ASSERT_EQ(run("Noticias", "Noticias\n\n"), 1);
  EXPECT_EQ(longs(), "Cine\n\n\nNoticias\n\nHoy\n");
  /* A new summary replaces the kept one; another title does not inherit it. */
  ASSERT_EQ(run("Noticias", "Noticias\n\nMa\xF1" "ana"), 1);
  EXPECT_EQ(longs(), "Cine\n\n\nNoticias\n\nMa\xF1" "ana\n");
  ASSERT_EQ(run("Deportes", "Deportes\n\n"), 1);
  EXPECT_EQ(longs(), "Cine\n\n\nDeportes\n\n\n");
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
