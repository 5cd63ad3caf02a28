/* The guide database library's run held in memory: titles added and updated
 * within a run, channel handles, misuse, the title record's layout and
 * where its records come from, texts held once. */
#include <gtest/gtest.h>

#include <stdio.h>

#include <set>
#include <vector>

#include "tarnwell/guide_db_helper.h"

namespace {

TEST(GuideDbRun, SameChannelAndStartInOneRunReplacesTheHeldTitle) {
  GuideRoot g;
  uint32_t t = GuideFutureHour();
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *ch = epgdb_channels_add(1, 2, 3);
  epgdb_title_t *first = GuideAddTitle(ch, t, 3600, "Primero", "Primero\n\nuno");
  epgdb_title_t *again = GuideAddTitle(ch, t, 5400, "Segundo", "Segundo\n\ndos", 1);
  EXPECT_EQ(again, first) << "the held title is given back";
  EXPECT_EQ(again->length, 5400);
  EXPECT_EQ(again->flags, 1);
  /* The same start on another channel is another title. */
  epgdb_title_t *other = GuideAddTitle(epgdb_channels_add(1, 2, 4), t, 60, "Otro", "Otro\n\n");
  EXPECT_NE(other, first);
  /* Texts set on a record before it is added are taken over. */
  epgdb_title_t *record = epgdb_title_alloc();
  record->start_time = t;
  record->length = 5400;
  record->flags = 1;
  memcpy(record->language, "spa", 3);
  epgdb_titles_set_description(record, "Tercero");
  EXPECT_EQ(epgdb_titles_add(ch, record), first);
  ASSERT_EQ(epgdb_save(nullptr), 1);
  std::string texts = GuideTitleTexts(g.file);
  EXPECT_EQ(texts.substr(0, texts.find("\n1:2:4|")),
            "1:2:3|" + std::to_string(t) + "|5400|0|0|1|spa|Tercero|Segundo\\n\\ndos");
  EXPECT_EQ(GuideSql(g.file, "SELECT count(*) FROM titles"), "2\n");
}

TEST(GuideDbRun, ChannelHandlesAreStablePerTriple) {
  GuideRoot g;
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *a = epgdb_channels_add(1, 2, 3);
  ASSERT_NE(a, nullptr);
  /* Each id in its own place: swapping two ids gives another channel. */
  epgdb_channel_t *others[] = {epgdb_channels_add(3, 2, 1), epgdb_channels_add(2, 1, 3),
                               epgdb_channels_add(1, 3, 2), epgdb_channels_add(0xFFFF, 2, 3)};
  for (epgdb_channel_t *o : others) EXPECT_NE(o, a);
  for (int i = 0; i < 1000; i++) epgdb_channels_add((uint16_t)i, 7, 7);
  EXPECT_EQ(epgdb_channels_add(1, 2, 3), a);
  EXPECT_EQ(epgdb_channels_add(3, 2, 1), others[0]);
  GuideAddTitle(a, GuideFutureHour(), 60, "x", "x\n\n");
  GuideAddTitle(epgdb_channels_add(1, 2, 3), GuideFutureHour() + 60, 60, "y", "y\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  /* Only channels with titles are written, each once. */
  EXPECT_EQ(GuideSql(g.file, "SELECT nid, tsid, sid FROM channels"), "1|2|3\n");
}

/* Null arguments, records that are not live records of the library (a
 * copy of one, one it freed) and a save without an open database are
 * refused. */
TEST(GuideDbRun, RefusesMisuse) {
  GuideRoot g;
  EXPECT_EQ(epgdb_save(nullptr), 0);
  epgdb_channel_t *ch = epgdb_channels_add(1, 1, 1);
  epgdb_title_t *record = epgdb_title_alloc(), copy = *record;
  EXPECT_EQ(epgdb_titles_add(nullptr, record), nullptr);
  EXPECT_EQ(epgdb_titles_add(ch, nullptr), nullptr);
  EXPECT_EQ(epgdb_titles_add(ch, &copy), nullptr);
  EXPECT_EQ(epgdb_titles_set_description(nullptr, "x"), 0);
  EXPECT_EQ(epgdb_titles_set_long_description(nullptr, "x"), 0);
  epgdb_title_t *title = GuideAddTitle(ch, GuideFutureHour(), 60, "a", "b");
  EXPECT_EQ(epgdb_titles_set_description(title, nullptr), 0);
  EXPECT_STREQ(title->description, "a");
  record->start_time = title->start_time;
  EXPECT_EQ(epgdb_titles_add(ch, record), title) << "merged into the held title, and freed";
  EXPECT_EQ(epgdb_titles_add(ch, record), nullptr);
}

/* The record's public fields sit at fixed byte offsets: values written
 * there by offset, as a program built against the layout writes them,
 * reach the file. */
TEST(GuideDbRecord, PublicFieldsAtTheirOffsets) {
  GuideRoot g;
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_title_t *record = epgdb_title_alloc();
  ASSERT_NE(record, nullptr);
  unsigned char *bytes = (unsigned char *)record;
  for (size_t i = 0; i < 36; i++) EXPECT_EQ(bytes[i], 0) << "byte " << i << " not zero";
  uint16_t event_id = 8430, mjd = 61000, length = 5400;
  uint32_t start = GuideFutureHour();
  memcpy(bytes + 0, &event_id, 2);
  memcpy(bytes + 2, &mjd, 2);
  memcpy(bytes + 4, &start, 4);
  memcpy(bytes + 8, &length, 2);
  bytes[11] |= 0x01;
  memcpy(bytes + 32, "spa", 3);
  epgdb_title_t *title = epgdb_titles_add(epgdb_channels_add(1, 2, 3), record);
  epgdb_titles_set_description(title, "x");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideSql(g.file, "SELECT event_id, mjd, start_time, length, flags, language FROM titles"),
            "8430|61000|" + std::to_string(start) + "|5400|1|spa\n");
  EXPECT_EQ(epgdb_calculate_mjd(0), 40587u);
  EXPECT_EQ(epgdb_calculate_mjd(86399), 40587u);
  EXPECT_EQ(epgdb_calculate_mjd(86400), 40588u);
  EXPECT_EQ(epgdb_calculate_mjd(0xFFFFFFFFu), 0xFFFFFFFFu / 86400 + 40587);
}

/* A text that many titles share (a series' summary, or a hostile stream's
 * one summary for every event) is held once in memory and stored once in
 * guide.db, which grows with the distinct text bytes plus a small fixed
 * cost per title. */
TEST(GuideDbTexts, SharedTextHeldAndStoredOnce) {
  GuideRoot g;
  uint32_t t = GuideFutureHour();
  const std::string summary = "Serie\n\n" + std::string(4096, 'x');
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *ch = epgdb_channels_add(1, 2, 3);
  epgdb_title_t *first = GuideAddTitle(ch, t, 60, "Serie", summary);
  for (uint32_t i = 1; i < 10000; i++) {
    epgdb_title_t *title = GuideAddTitle(ch, t + i * 60, 60, "Serie", summary);
    ASSERT_EQ(title->long_description, first->long_description) << i;
    ASSERT_EQ(title->description, first->description) << i;
  }
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideSql(g.file, "SELECT count(*), sum(length(body)) FROM texts"),
            "2|" + std::to_string(summary.size() + 5) + "\n");
  struct stat st;
  ASSERT_EQ(stat(g.file.c_str(), &st), 0);
  EXPECT_LT(st.st_size, 10000 * 40 + 64 * 1024) << "bytes per title";
}

/* Records merged into the title held at their start are freed and handed
 * out again, zero-filled, before new ones; the titles of many blocks of
 * records keep their own fields and texts. */
TEST(GuideDbRun, FreedRecordsAreHandedOutAgainAndTitlesStayIntact) {
  GuideRoot g;
  const uint32_t t = GuideFutureHour(), n = 300;
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *ch = epgdb_channels_add(1, 2, 3);
  std::vector<epgdb_title_t *> again(n);
  std::string want;
  for (uint32_t i = 0; i < n; i++) GuideAddTitle(ch, t + i * 60, 60, "A" + std::to_string(i), "");
  for (epgdb_title_t *&r : again) r = epgdb_title_alloc();
  for (uint32_t i = 0; i < n; i++) {
    again[i]->start_time = t + i * 60;
    again[i]->length = 30;
    ASSERT_NE(epgdb_titles_add(ch, again[i]), again[i]);
    want += "1:2:3|" + std::to_string(t + i * 60) + "|30|A" + std::to_string(i) + "\n";
  }
  std::set<epgdb_title_t *> freed(again.begin(), again.end());
  for (uint32_t i = 0; i < n; i++) {
    epgdb_title_t *r = epgdb_title_alloc();
    ASSERT_EQ(freed.erase(r), 1u) << "record " << i << " is not one the run freed";
    ASSERT_TRUE(r->length == 0 && r->start_time == 0 && !r->description) << "record " << i;
    r->start_time = t + (n + i) * 60;
    r->length = 60;
    ASSERT_EQ(epgdb_titles_add(ch, r), r);
    epgdb_titles_set_description(r, ("C" + std::to_string(i)).c_str());
    want += "1:2:3|" + std::to_string(r->start_time) + "|60|C" + std::to_string(i) + "\n";
  }
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideTitleRows(g.file), want);
}

}  // namespace
