/* The guide database across runs: a later run's titles replace the stored
 * titles they overlap, titles of one run never replace each other, a title
 * without summary keeps the stored summary of the same programme, and
 * titles of earlier runs that ended more than a day ago are dropped. */
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>

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

/* Field "field" (0: channel, 1: start, ...) of every title line of "rows"
 * (GuideTitleRows or GuideTitleTexts) whose channel is "channel" (any when
 * empty), one per line. */
std::string GuideField(const std::string &rows, size_t field, const std::string &channel = "") {
  std::string out;
  for (const std::string &line : SplitLines(rows)) {
    std::vector<std::string> f;
    for (size_t at = 0, bar; at <= line.size(); at = bar + 1) {
      bar = std::min(line.find('|', at), line.size());
      f.push_back(line.substr(at, bar - at));
    }
    if (field < f.size() && (channel.empty() || f[0] == channel)) out += f[field] + "\n";
  }
  return out;
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
  EXPECT_EQ(GuideField(GuideTitleRows(g.file), 3, "1:1:2"), "B2\nZero\n");
  EXPECT_EQ(GuideOverlaps(g.file), 0);
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
  auto longs = [&] { return GuideField(GuideTitleTexts(g.file), 8); };
  /* "Cine" came without summary twice, "Noticias" lost its summary. */
  ASSERT_EQ(run("Noticias", "Noticias\n\n"), 1);
  EXPECT_EQ(longs(), "Cine\\n\\n\nNoticias\\n\\nHoy\n");
  /* A new summary replaces the kept one; another title does not inherit it. */
  ASSERT_EQ(run("Noticias", "Noticias\n\nMa\xF1" "ana"), 1);
  EXPECT_EQ(longs(), "Cine\\n\\n\nNoticias\\n\\nMa\xF1" "ana\n");
  ASSERT_EQ(run("Deportes", "Deportes\n\n"), 1);
  EXPECT_EQ(longs(), "Cine\\n\\n\nDeportes\\n\\n\n");
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
  EXPECT_EQ(GuideOverlaps(g.file), 0);
  auto lines = SplitLines(GuideField(GuideTitleRows(g.file), 3));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "new"), 1000);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "old"), 980);
  std::string rows = GuideTitleRows(g.file);
  EXPECT_EQ(rows.find("|" + std::to_string(t + 300) + "|1200|new\n") != std::string::npos &&
                rows.find("|" + std::to_string(t) + "|") == std::string::npos,
            true) << "the new schedule starts 300 s in, and replaced the first old title";
  EXPECT_NE(rows.find("|" + std::to_string(t + 61200) + "|1200|old\n"), std::string::npos);
  EXPECT_EQ(rows.find("|" + std::to_string(t + 60000) + "|1200|old\n"), std::string::npos);
}

}  // namespace

namespace {

/* A run over its own stored guide in which each title but the first differs
 * from its stored self in one field: every such title is stored as the run
 * has it, exactly as a run into an empty root stores it, and the counts are
 * those of a save that wrote every title over its stored self. */
TEST(GuideDbMerge, EveryFieldCountsWhenAStoredTitleIsComparedWithTheRun) {
  GuideRoot g, fresh;
  const uint32_t t = (uint32_t)((time(nullptr) / 3600 + 3) * 3600);
  auto schedule = [&](bool changed) {
    epgdb_channel_t *ch = epgdb_channels_add(1, 2, 3);
    epgdb_title_t *titles[8];
    for (uint32_t i = 0; i < 8; i++)
      titles[i] = GuideAddTitle(ch, t + i * 3600, 3600, "T" + std::to_string(i), "Resumen\n\nlargo");
    if (!changed) return;
    titles[1]->length = 3000;
    titles[2]->event_id++;
    titles[3]->mjd++;
    titles[4]->flags = 1;
    memcpy(titles[5]->language, "eng", 3);
    epgdb_titles_set_description(titles[6], "Otro");
    epgdb_titles_set_long_description(titles[7], "Resumen\n\ncorto");
  };
  ASSERT_EQ(GuideRun(g, [&] { schedule(false); }), 1);
  ASSERT_EQ(GuideRun(g, [&] { schedule(true); }), 1);
  ASSERT_EQ(GuideRun(fresh, [&] { schedule(true); }), 1);
  EXPECT_EQ(GuideTitleTexts(g.file), GuideTitleTexts(fresh.file));
  int written = 0, replaced = 0, expired = 0;
  ASSERT_EQ(GuideRun(g, [&] { schedule(true); }), 1);
  epgdb_save_counts(&written, &replaced, &expired);
  EXPECT_EQ(written, 8);
  EXPECT_EQ(replaced, 8);
  EXPECT_EQ(expired, 0);
  EXPECT_EQ(GuideTitleTexts(g.file), GuideTitleTexts(fresh.file));
  /* Only the texts that titles refer to stay stored. */
  EXPECT_EQ(GuideSql(g.file, "SELECT count(*) FROM texts"), "10\n");
}

}  // namespace
