/* The guide database library's read interface: filters and order of the
 * walks, texts as UTF-8, a reader that never writes, and a reader during
 * another process's save that sees the guide before it. */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <time.h>

#include "tarnwell/guide_db_helper.h"

namespace {

uint32_t FutureHour() { return (uint32_t)((time(nullptr) / 3600 + 3) * 3600); }

/* Every title a reader of "root" gives for "filter", as "sid@start" words. */
std::string Walk(const std::string &root, const epgdb_title_filter_t *filter) {
  char why[256];
  epgdb_reader_t *r = epgdb_reader_open(root.c_str(), why, sizeof why);
  if (!r) return why;
  std::string out;
  epgdb_title_row_t t;
  int got = epgdb_reader_titles(r, filter) ? 1 : -1;
  while (got == 1 && (got = epgdb_reader_next_title(r, &t)) == 1)
    out += std::to_string(t.sid) + "@" + std::to_string(t.start_time) + " ";
  if (got < 0) out += epgdb_reader_error(r);
  epgdb_reader_close(r);
  return out;
}

TEST(GuideDbRead, WalksFilterInSqlAndComeInChannelAndStartOrder) {
  GuideRoot g;
  uint32_t t = FutureHour();
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  /* Added out of order, on channels added out of triple order. */
  epgdb_channel_t *b = epgdb_channels_add(1, 2, 9);
  epgdb_channel_t *a = epgdb_channels_add(1, 2, 3);
  GuideAddTitle(b, t + 3600, 600, "B2", "B2\n\n");
  GuideAddTitle(b, t, 3600, "B1", "B1\n\nResumen");
  GuideAddTitle(a, t + 7200, 60, "A2", "A2\n\n");
  GuideAddTitle(a, t, 1800, "Pel\xEDula", "Pel\xEDula\n\nUna \xBFhistoria?");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();
  const std::string before = GuideFileBytes(g.file);

  std::string T = std::to_string(t), T1 = std::to_string(t + 3600), T2 = std::to_string(t + 7200);
  EXPECT_EQ(Walk(g.root, nullptr), "3@" + T + " 3@" + T2 + " 9@" + T + " 9@" + T1 + " ");
  epgdb_title_filter_t f = {};
  f.by_channel = 1, f.nid = 1, f.tsid = 2, f.sid = 9;
  EXPECT_EQ(Walk(g.root, &f), "9@" + T + " 9@" + T1 + " ");
  /* A window keeps titles that end after "from" and start before "to". */
  f = {};
  f.has_from = 1, f.from = t + 1800, f.has_to = 1, f.to = t + 7200;
  EXPECT_EQ(Walk(g.root, &f), "9@" + T + " 9@" + T1 + " ");
  f.by_channel = 1, f.nid = 1, f.tsid = 2, f.sid = 4;
  EXPECT_EQ(Walk(g.root, &f), "");

  char why[256];
  epgdb_reader_t *r = epgdb_reader_open(g.file.c_str(), why, sizeof why);
  ASSERT_NE(r, nullptr) << why;
  EXPECT_EQ(epgdb_reader_version(r), 3);
  std::string channels;
  epgdb_channel_row_t c;
  ASSERT_EQ(epgdb_reader_channels(r, 0), 1);
  while (epgdb_reader_next_channel(r, &c) == 1)
    channels += std::to_string(c.sid) + ":" + std::to_string(c.titles) + ":" +
                std::to_string(c.last_end - c.first_start) + " ";
  EXPECT_EQ(channels, "3:2:7260 9:2:4200 ");
  /* Every field of a title, and its texts as UTF-8. */
  epgdb_title_row_t row;
  ASSERT_EQ(epgdb_reader_titles(r, nullptr), 1);
  ASSERT_EQ(epgdb_reader_next_title(r, &row), 1);
  EXPECT_EQ(row.length, 1800);
  EXPECT_EQ(row.event_id, t / 60 % 44640);
  EXPECT_EQ(row.mjd, t / 86400 + 40587);
  EXPECT_STREQ(row.language, "spa");
  EXPECT_EQ(std::string(row.description, row.description_size), "Pel\xEDula");
  size_t n = 0;
  char *utf8 = epgdb_text_utf8(row.long_description, row.long_description_size, row.flags, &n);
  EXPECT_EQ(std::string(utf8, n), "Pel\xC3\xADula\n\nUna \xC2\xBFhistoria?");
  free(utf8);
  epgdb_reader_close(r);
  /* UTF-8 texts stay as they are; a stray byte in one is read as ISO-8859-1. */
  utf8 = epgdb_text_utf8("F\xC3\xBAtbol \xE9", 9, 1, &n);
  EXPECT_EQ(std::string(utf8, n), "F\xC3\xBAtbol \xC3\xA9");
  free(utf8);

  /* Readers left the file as it was, and no journal beside it. */
  EXPECT_EQ(GuideFileBytes(g.file), before);
  EXPECT_EQ(ShellOutput("ls " + GuideShellQuote(g.root)), "guide.db\n");
  /* A file of an unknown version is refused with the reason, untouched. */
  GuideSql(g.file, "PRAGMA user_version = 99");
  const std::string v99 = GuideFileBytes(g.file);
  EXPECT_EQ(epgdb_reader_open(g.root.c_str(), why, sizeof why), nullptr);
  EXPECT_NE(std::string(why).find("schema version 99, expected 1 to "), std::string::npos) << why;
  EXPECT_EQ(GuideFileBytes(g.file), v99);
}

/* A save in another process, held in the middle of its transaction: a
 * reader sees the guide before it; once the reader is done the save
 * commits, and the next reader sees the new guide. */
TEST(GuideDbRead, ReaderDuringASaveSeesTheGuideBefore) {
  GuideRoot g;
  uint32_t t = FutureHour();
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  GuideAddTitle(epgdb_channels_add(1, 1, 1), t, 60, "old", "old\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();

  int mid_save[2], go_on[2];
  ASSERT_EQ(pipe(mid_save), 0);
  ASSERT_EQ(pipe(go_on), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static int signal_fd, wait_fd;
    signal_fd = mid_save[1], wait_fd = go_on[0];
    if (epgdb_open(g.root.c_str()) != 1) _exit(2);
    epgdb_channel_t *ch = epgdb_channels_add(2, 2, 2);
    for (uint32_t i = 0; i < 3000; i++) GuideAddTitle(ch, t + i * 60, 60, "new", "new\n\n");
    int ok = epgdb_save([](int done, int) {
      char c = 0;
      if (done == 1024 && (write(signal_fd, "x", 1) != 1 || read(wait_fd, &c, 1) != 1)) _exit(3);
    });
    _exit(ok == 1 ? 0 : 4);
  }
  close(mid_save[1]);
  close(go_on[0]);
  char c;
  ASSERT_EQ(read(mid_save[0], &c, 1), 1);
  EXPECT_EQ(GuideTitleCount(g.root), 1);
  ASSERT_EQ(write(go_on[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(GuideTitleCount(g.root), 3001);
  close(mid_save[0]);
  close(go_on[1]);
}

}  // namespace
