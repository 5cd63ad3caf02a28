/* The guide database across a save that does not finish: the grabber killed
 * at random moments while it saves a large guide, and a save that meets a
 * write error. Either way the file must open, be sound, and hold exactly
 * the guide before the save or exactly the guide after it. */
#include <gtest/gtest.h>

#include <algorithm>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <random>

#include "e2e/sim_helpers.h"
#include "epgdb.h"
#include "support/guide_dump.h"
#include "support/hardening_helpers.h"
#include "support/run_helper.h"

namespace {

/* A week of 24 programmes a day on "channels" channels, one table cycle,
 * full event sections, few summaries: many titles for little stream to
 * read and decode. */
std::string WeekGuide(int seed, int channels) {
  return "--random --seed " + std::to_string(seed) + " --start " + SimToday() + " --channels " +
         std::to_string(channels) + " --days 7 --events-per-day 24 --summaries 0.02 --cycles 1" +
         " --section-size 4096";
}

/* Generates two weekly broadcasts in "dir"/a and "dir"/b, with "channels_a"
 * and "channels_b" channels, and grabs A (with "config_a" after its demux
 * line) into the database of "g", so that B can be saved over it. Puts the
 * paths of the streams in "streams". Returns false with a test failure. */
bool GuideThenBroadcast(const GrabDir &g, int seed, int channels_a, int channels_b,
                        const std::string &config_a, std::string streams[2]) {
  const int channels[2] = {channels_a, channels_b};
  for (int k = 0; k < 2; k++) {
    std::string folder = g.dir + "/" + (k ? "b" : "a");
    SimExpectation e;
    if (mkdir(folder.c_str(), 0700) != 0 || !SimGenerate(folder, WeekGuide(seed + k, channels[k]), "", &e)) {
      ADD_FAILURE() << "no broadcast in " << folder;
      return false;
    }
    streams[k] = e.stream;
  }
  g.WriteConfig("demux=" + streams[0] + "\n" + config_a);
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  if (r.exit_code != 0 || !HasLine(LogMessages(r.log), "Data saved")) {
    ADD_FAILURE() << "the first grab failed (" << r.exit_code << ")\n" << r.log;
    return false;
  }
  return true;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Puts the saved copy "before" back as the database of "g", with no
 * journal beside it. */
void RestoreDatabase(const GrabDir &g, const std::string &before) {
  unlink((g.root + "/guide.db-journal").c_str());
  ASSERT_TRUE(HardCopyFile(before, g.root + "/guide.db"));
}

/* True when the guide database library accepts the file of "root" (it
 * checks the schema by reading, which also rolls back what a killed save
 * left in its journal). */
bool LibraryOpens(const std::string &root) {
  int ok = epgdb_open(root.c_str());
  epgdb_close();
  return ok != 0;
}

TEST(HardeningSave, KilledAnywhereInTheSaveLeavesTheGuideBeforeOrAfter) {
  GrabDir g("killsave");
  /* The guide before: a whole grab of broadcast A. */
  std::string streams[2];
  ASSERT_TRUE(GuideThenBroadcast(g, 21, 160, 160, "Download_3_Days=0\n", streams));
  const std::string db = g.root + "/guide.db", before_copy = g.dir + "/before.db";
  ASSERT_TRUE(HardCopyFile(db, before_copy));
  const std::string before = GuideDump(db);

  /* The guide after: a whole grab of broadcast B over it, timed from the
   * status line sent just before the save to the end of the run. */
  g.WriteConfig("demux=" + streams[1] + "\nDownload_3_Days=0\nConvertToUTF8=1\n");
  const std::vector<std::string> argv = {g.exe, g.root};
  const std::string done_line = "LOGTEXT Done. ";
  HardChild ref;
  ASSERT_TRUE(HardStart(&ref, g.exe, argv, {SIM_TZ}));
  ASSERT_TRUE(HardReadUntilLine(&ref, done_line, 60000)) << ref.out;
  int64_t save_start = NowMs();
  ASSERT_EQ(HardFinish(&ref), 0);
  int64_t save_ms = NowMs() - save_start;
  ASSERT_TRUE(HasLine(LogMessages(ReadFileText(g.LogPath())), "Data saved"));
  const std::string after = GuideDump(db);
  ASSERT_NE(before, after);
  int after_titles = SimCount(after, "\n") - SimCount(after, "channel|");
  ASSERT_GT(after_titles, 20000) << "the saved guide is not large";

  /* Kills at random moments of the save, until 50 of them landed inside it
   * (the run was killed before it logged "Data saved"). */
  std::random_device seed_source;
  unsigned seed = seed_source();
  std::mt19937 rng(seed);
  /* The window the kills aim at follows the save's real length: a kill
   * that comes after the run ended narrows it, one that lands widens it
   * again (a busy machine makes the save slower or faster than the
   * reference run). */
  int64_t window_us = save_ms * 1000;
  const int wanted = 50, most = 200;
  int attempts = 0, landed = 0, hot_journal = 0, finished = 0, held_before = 0, held_after = 0;
  while (landed < wanted && attempts < most) {
    attempts++;
    RestoreDatabase(g, before_copy);
    HardChild c;
    ASSERT_TRUE(HardStart(&c, g.exe, argv, {SIM_TZ}));
    ASSERT_TRUE(HardReadUntilLine(&c, done_line, 60000)) << c.out;
    int64_t us = std::uniform_int_distribution<int64_t>(0, window_us)(rng);
    struct timespec pause = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
    nanosleep(&pause, nullptr);
    bool exited = HardExited(&c);
    if (!exited) kill(c.pid, SIGKILL);
    int status = HardFinish(&c);
    bool saved = HasLine(LogMessages(ReadFileText(g.LogPath())), "Data saved");
    /* A run that ends between the look and the kill is reaped with 0. */
    if (exited || status == 0) {
      EXPECT_EQ(status, 0);
      EXPECT_TRUE(saved);
      finished++;
      window_us = std::max<int64_t>(1000, window_us * 3 / 4);
    } else {
      EXPECT_EQ(status, 128 + SIGKILL);
      if (!saved) landed++;
      window_us = std::min<int64_t>(save_ms * 1000, window_us * 21 / 20);
      /* Readers come first after the crash: the database command reads
       * the last committed guide, rolling back the killed save's journal. */
      if (Exists(db + "-journal") && hot_journal++ == 0) {
        EXPECT_EQ(SimShell(std::string(MHW2_BUILD_DIR) + "/epgdb info " + g.root + " >/dev/null"), 0);
      }
    }
    std::string now = GuideDump(db);
    ASSERT_TRUE(LibraryOpens(g.root)) << "attempt " << attempts << ": the library refuses guide.db";
    EXPECT_EQ(HardIntegrity(db), "ok\n") << "attempt " << attempts;
    if (now == before) held_before++;
    else if (now == after) held_after++;
    else ADD_FAILURE() << "attempt " << attempts << " (" << us << " us into a save of " << save_ms
                       << " ms): guide.db holds neither the guide before nor the guide after ("
                       << SimCount(now, "\n") << " lines)";
    if (saved) {
      EXPECT_TRUE(now == after) << "attempt " << attempts << ": saved, yet not the guide after";
    }
  }
  printf("[ kills    ] seed %u: %d attempts, save of %d titles took %lld ms; %d killed inside the save"
         " (%d with its journal on disk), %d finished first; %d held the guide before, %d after\n",
         seed, attempts, after_titles, (long long)save_ms, landed, hot_journal, finished, held_before,
         held_after);
  EXPECT_GE(landed, wanted) << "seed " << seed;
  EXPECT_GT(hot_journal, 0) << "no kill met the save while it was writing";

  /* The next run over a killed save stores the guide as if nothing had
   * happened. */
  RestoreDatabase(g, before_copy);
  HardChild last;
  ASSERT_TRUE(HardStart(&last, g.exe, argv, {SIM_TZ}));
  ASSERT_TRUE(HardReadUntilLine(&last, done_line, 60000)) << last.out;
  usleep((useconds_t)(save_ms * 1000 / 2));
  kill(last.pid, SIGKILL);
  HardFinish(&last);
  GrabResult again = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(again.log), "Data saved")) << again.log;
  EXPECT_TRUE(GuideDump(db) == after) << "the grab after a killed save stored another guide";
  RecordProperty("kills_inside_save", landed);
  RecordProperty("kills_with_journal", hot_journal);
}

/* guide.db is shared with other programs: a grab that meets another
 * connection's lock waits for it, at the open (an exclusive lock, as while a
 * save commits) and at the save (a writer's reserved lock), and stores its
 * guide instead of calling the file foreign or dropping the download. */
TEST(HardeningSave, AnotherWritersLockIsWaitedFor) {
  GrabDir g("shared");
  std::string streams[2];
  ASSERT_TRUE(GuideThenBroadcast(g, 41, 4, 5, "", streams));
  const std::string db = g.root + "/guide.db";
  g.WriteConfig("demux=" + streams[1] + "\n");
  for (const char *lock : {"EXCLUSIVE", "IMMEDIATE"}) {
    SCOPED_TRACE(lock);
    HardChild holder;
    ASSERT_TRUE(HardStart(&holder, "/bin/sh",
                          {"sh", "-c", std::string("(echo 'BEGIN ") + lock +
                                           ";'; echo '.shell echo locked'; sleep 6; echo 'COMMIT;') | sqlite3 \"$0\"",
                           db},
                          {}));
    ASSERT_TRUE(HardReadUntilLine(&holder, "locked", 5000)) << "the other connection took no lock";
    GrabResult r = g.Run({g.root}, {SIM_TZ});
    EXPECT_EQ(HardFinish(&holder), 0);
    EXPECT_EQ(r.exit_code, 0);
    auto msgs = LogMessages(r.log);
    EXPECT_TRUE(HasLine(msgs, "Data saved")) << r.log;
    EXPECT_EQ(r.log.find("EPGDB: "), std::string::npos) << r.log;
  }
}

TEST(HardeningSave, WriteErrorDuringTheSaveKeepsTheEarlierGuide) {
  GrabDir g("fullfs");
  std::string streams[2];
  ASSERT_TRUE(GuideThenBroadcast(g, 31, 6, 80, "", streams));
  const std::string db = g.root + "/guide.db";
  const std::string before = GuideDump(db);
  const std::string before_bytes = ReadFileText(db);
  ASSERT_GT(SimCount(before, "\n"), 500);

  /* The next grab is far larger, and no file may grow past the size the
   * database has now: the save meets a write error, as on a full disk. The
   * grabber ignores the signal the limit raises, so the write fails instead
   * of the run being killed. */
  g.WriteConfig("demux=" + streams[1] + "\nConvertToUTF8=1\n");
  std::string limit = std::to_string(before_bytes.size() + 4096);
  HardChild c;
  ASSERT_TRUE(HardStart(&c, "/bin/sh",
                        {"sh", "-c", "exec prlimit --fsize=" + limit + " -- \"$0\" \"$1\"",
                         g.exe, g.root},
                        {SIM_TZ}));
  EXPECT_EQ(HardFinish(&c), 0);
  auto msgs = LogMessages(ReadFileText(g.LogPath()));
  EXPECT_TRUE(HasLine(msgs, "Error saving data")) << ReadFileText(g.LogPath());
  /* The library's reason follows the run's own message. */
  auto at = std::find(msgs.begin(), msgs.end(), "Error saving data");
  ASSERT_TRUE(at != msgs.end() && at + 1 != msgs.end());
  EXPECT_EQ(at[1].compare(0, 7, "EPGDB: "), 0) << at[1];
  EXPECT_FALSE(HasLine(msgs, "Data saved"));
  EXPECT_TRUE(HasLine(msgs, "done"));
  EXPECT_FALSE(Exists(db + "-journal")) << "the failed save left its journal";
  EXPECT_EQ(HardIntegrity(db), "ok\n");
  EXPECT_TRUE(GuideDump(db) == before) << "the earlier guide changed";

  /* Without the limit the same grab is saved: the failure came from the
   * write error alone. */
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "Data saved")) << r.log;
  EXPECT_GT(ReadFileText(db).size(), before_bytes.size() + 4096);
}

}  // namespace
