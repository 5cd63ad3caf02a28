/* The guide database library's run held in memory: titles added and updated
 * within a run, channel handles, misuse, the title record's layout, texts
 * held once. */
#include <gtest/gtest.h>

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

/* Null arguments and a save without an open database are refused. */
TEST(GuideDbRun, RefusesMisuse) {
  GuideRoot g;
  EXPECT_EQ(epgdb_save(nullptr), 0);
  epgdb_title_t *record = epgdb_title_alloc();
  EXPECT_EQ(epgdb_titles_add(nullptr, record), nullptr);
  free(record);
  EXPECT_EQ(epgdb_titles_add(epgdb_channels_add(1, 1, 1), nullptr), nullptr);
  EXPECT_EQ(epgdb_titles_set_description(nullptr, "x"), 0);
  EXPECT_EQ(epgdb_titles_set_long_description(nullptr, "x"), 0);
  epgdb_title_t *title = GuideAddTitle(epgdb_channels_add(1, 1, 1), GuideFutureHour(), 60, "a", "b");
  EXPECT_EQ(epgdb_titles_set_description(title, nullptr), 0);
  EXPECT_STREQ(title->description, "a");
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

}  // namespace
