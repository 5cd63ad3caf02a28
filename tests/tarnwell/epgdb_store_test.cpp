/* The guide database library on its own: opening and creating the file,
 * refusing files of another kind, persistence, all-or-nothing saves, and
 * upgrades of older files. */
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <vector>

#include "tarnwell/guide_db_helper.h"

namespace {

TEST(GuideDbOpen, CreatesRootAndSchemaWhenMissing) {
  GuideRoot g;
  mode_t old_mask = umask(022);
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(g.root.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(GuideSql(g.file, "PRAGMA user_version"), "3\n");
  EXPECT_EQ(GuideSql(g.file, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
            "channels\ntexts\ntitles\n");
  /* No temporary file is left beside the database. */
  EXPECT_EQ(ShellOutput("ls " + GuideShellQuote(g.root)), "guide.db\n");
  epgdb_close();
  /* The created file opens again as it is. */
  EXPECT_EQ(epgdb_open(g.root.c_str()), 1);
  EXPECT_EQ(epgdb_close(), 1);
  EXPECT_EQ(epgdb_close(), 1) << "closing twice is harmless";
}

TEST(GuideDbOpen, RefusesRootsItCannotUse) {
  GuideRoot g;
  /* Only one missing level is created. */
  EXPECT_EQ(epgdb_open((g.dir + "/a/b").c_str()), 0);
  EXPECT_NE(access((g.dir + "/a").c_str(), F_OK), 0);
  /* A root below a regular file, and a root that is a regular file. */
  WriteFileText(g.dir + "/plain", "x");
  EXPECT_EQ(epgdb_open((g.dir + "/plain/db").c_str()), 0);
  EXPECT_EQ(epgdb_open((g.dir + "/plain").c_str()), 0);
  EXPECT_EQ(epgdb_open(nullptr), 0);
  /* A second open while one is open is refused; the first stays usable. */
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  EXPECT_EQ(epgdb_open(g.root.c_str()), 0);
  GuideAddTitle(epgdb_channels_add(1, 2, 3), GuideFutureHour(), 60, "t", "t\n\n");
  EXPECT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideSql(g.file, "SELECT count(*) FROM titles"), "1\n");
  epgdb_close();

  /* A writable guide.db in a root the user cannot write in: a save could
   * not make its journal, so the open refuses it and says why (run as an
   * unprivileged user, since root may write anywhere). */
  ASSERT_EQ(chmod(g.dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(g.file.c_str(), 0666), 0);
  ASSERT_EQ(chmod(g.root.c_str(), 0555), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    int opened = epgdb_open(g.root.c_str());
    _exit(opened == 0 && strstr(epgdb_error(), "is not writable") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

/* "text" with its first "from" replaced by "to". */
std::string Replace(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

/* The tables of a new file, as the library makes them, in SQL. */
std::string SchemaV3() {
  GuideRoot g;
  if (epgdb_open(g.root.c_str())) epgdb_close();
  std::string sql = GuideSql(g.file, "SELECT group_concat(sql, ';') FROM sqlite_master");
  return sql.substr(0, sql.size() - 1) + ";";
}

/* Files that are not a guide database of this schema: each one is refused
 * and left exactly as it was. */
TEST(GuideDbOpen, LeavesFilesOfAnotherKindUntouched) {
  struct Case {
    const char *name;
    std::string sql; /* run by the sqlite3 shell to make the file, or "" */
    std::string bytes;
    const char *reason = ""; /* part of epgdb_error() */
  };
  const std::string schema =
      "CREATE TABLE channels(id INTEGER PRIMARY KEY, nid INTEGER NOT NULL, tsid INTEGER NOT NULL,"
      " sid INTEGER NOT NULL, UNIQUE(nid, tsid, sid));";
  const std::string titles =
      "CREATE TABLE titles(channel_id INTEGER NOT NULL, start_time INTEGER NOT NULL,"
      " length INTEGER NOT NULL, event_id INTEGER NOT NULL, mjd INTEGER NOT NULL,"
      " flags INTEGER NOT NULL, language TEXT NOT NULL, description BLOB NOT NULL,"
      " long_description BLOB NOT NULL, PRIMARY KEY(channel_id, start_time));";
  static const char NOISE[] = "SQLite format 3\0\x10\x00\x01\x01garbage";
  const Case cases[] = {
      {"text file", "", "this is not a database\n"},
      {"binary noise", "", std::string(NOISE, sizeof(NOISE) - 1)},
      {"schema version 2", schema + titles + "PRAGMA user_version = 2;", ""},
      {"schema version 3", schema + titles + "PRAGMA user_version = 3;", ""},
      {"schema version 99", schema + titles + "PRAGMA user_version = 99;", ""},
      {"schema version 0", schema + titles, ""},
      {"titles table missing", schema + "PRAGMA user_version = 1;", ""},
      {"column missing",
       schema + "CREATE TABLE titles(channel_id INTEGER, start_time INTEGER);"
                "PRAGMA user_version = 1;",
       ""},
      /* Files that a save could not use: refused before a download is lost. */
      {"titles keyed by start first",
       Replace(SchemaV3(), "KEY(channel_id, start_time)", "KEY(start_time, channel_id)") +
           "PRAGMA user_version = 3;",
       "", "titles lacks its primary key (channel_id, start_time), which a save needs; move guide.db away"},
      {"text ids that are no row ids",
       Replace(SchemaV3(), "texts(id INTEGER", "texts(id INT") + "PRAGMA user_version = 2;",
       "", "texts.id is not an INTEGER PRIMARY KEY"},
      {"titles that refer to the channels' nid",
       Replace(SchemaV3(), "REFERENCES channels(id)", "REFERENCES channels(nid)") +
           "PRAGMA user_version = 3;",
       "", "titles refer to something else than channels.id"},
      {"repair that fails",
       Replace(SchemaV3(), ", UNIQUE(nid, tsid, sid)", "") +
           "CREATE TABLE channels_by_triple(x); PRAGMA user_version = 3;",
       "", "keeping one channel per triple: there is already a table named channels_by_triple (1);"
       " the file is unchanged; move guide.db away"},
  };
  for (const Case &c : cases) {
    GuideRoot g;
    ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
    if (c.sql.empty()) WriteFileText(g.file, c.bytes);
    else GuideSql(g.file, c.sql);
    std::string before = GuideFileBytes(g.file);
    ASSERT_EQ(access(g.file.c_str(), F_OK), 0) << c.name;
    EXPECT_EQ(epgdb_open(g.root.c_str()), 0) << c.name;
    EXPECT_NE(strstr(epgdb_error(), c.reason), nullptr) << c.name << ": " << epgdb_error();
    EXPECT_EQ(GuideFileBytes(g.file), before) << c.name;
    EXPECT_EQ(ShellOutput("ls " + GuideShellQuote(g.root)), "guide.db\n") << c.name;
  }
  /* An empty file is no other kind: it becomes a new database. */
  GuideRoot g;
  ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
  WriteFileText(g.file, "");
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  EXPECT_EQ(GuideSql(g.file, "PRAGMA user_version"), "3\n");
}

/* The channels of the guide at "root" as "nid:tsid:sid name" lines, read
 * through the read interface. */
std::string ChannelNames(const std::string &root) {
  std::string out;
  for (const std::string &line : SplitLines(GuideDump(root)))
    if (line.compare(0, 8, "channel ") == 0) out += line.substr(8) + "\n";
  return out;
}

/* Channel names across the versions: a file of version 1 is read with empty
 * names and without a write; the first open for writing takes it through
 * every step in one transaction that keeps every row, and when the names
 * step fails the steps before it are undone too, so the file stays as it
 * was. Then names are kept per channel: a later run without a name keeps
 * it, another name replaces it. */
TEST(GuideDbSchema, VersionOneIsReadAsItIsAndUpgradedForWriting) {
  GuideRoot g;
  uint32_t t = GuideFutureHour();
  ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
  const std::string rows =
      "INSERT INTO channels VALUES(7, 1, 2, 3), (8, 1, 2, 4);"
      "INSERT INTO titles VALUES(7, " + std::to_string(t) + ", 600, 1, 2, 0, 'spa', X'41', X'410A0A');"
      "INSERT INTO titles VALUES(8, " + std::to_string(t) + ", 60, 1, 2, 1, 'spa', X'42', X'');"
      "PRAGMA user_version = 1;";
  GuideSql(g.file, GUIDE_SCHEMA_V1_SQL + rows);
  const std::string v1 = GuideFileBytes(g.file);
  const std::string titles = GuideTitleRows(g.root);
  EXPECT_EQ(titles, "1:2:3|" + std::to_string(t) + "|600|A\n1:2:4|" + std::to_string(t) + "|60|B\n");
  EXPECT_EQ(ChannelNames(g.root), "1:2:3 \n1:2:4 \n");
  EXPECT_EQ(GuideFileBytes(g.file), v1) << "a reader never writes";
  EXPECT_EQ(ShellOutput("ls " + GuideShellQuote(g.root)), "guide.db\n");

  /* A version-1 file whose channels already have a name column: the names
   * step fails after the texts step, the version stays 1 and not a byte
   * changes. */
  GuideRoot clash;
  ASSERT_EQ(mkdir(clash.root.c_str(), 0755), 0);
  GuideSql(clash.file, GUIDE_SCHEMA_V1_SQL "ALTER TABLE channels ADD COLUMN name TEXT;" + rows);
  const std::string clash_bytes = GuideFileBytes(clash.file);
  EXPECT_EQ(epgdb_open(clash.root.c_str()), 0);
  EXPECT_EQ(GuideFileBytes(clash.file), clash_bytes);

  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  EXPECT_EQ(GuideSql(g.file, "PRAGMA user_version; SELECT id, name FROM channels ORDER BY id"),
            "3\n7|\n8|\n");
  EXPECT_EQ(GuideTitleRows(g.root), titles);
  epgdb_channel_t *named = epgdb_channels_add(1, 2, 3);
  EXPECT_EQ(epgdb_channels_set_name(named, "Canal Espa\xC3\xB1" "a"), 1);
  EXPECT_EQ(epgdb_channels_set_name(nullptr, "x"), 0);
  GuideAddTitle(named, t + 600, 60, "C", "C\n\n");
  GuideAddTitle(epgdb_channels_add(1, 2, 5), t, 60, "D", "D\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();
  EXPECT_EQ(ChannelNames(g.root), "1:2:3 Canal Espa\xC3\xB1" "a\n1:2:4 \n1:2:5 \n");
  EXPECT_EQ(GuideSql(g.file, "SELECT id FROM channels WHERE sid = 3"), "7\n") << "same channel row";

  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  GuideAddTitle(epgdb_channels_add(1, 2, 3), t + 1200, 60, "E", "E\n\n");
  epgdb_channel_t *renamed = epgdb_channels_add(1, 2, 4);
  epgdb_channels_set_name(renamed, "Dos");
  GuideAddTitle(renamed, t + 1200, 60, "F", "F\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(ChannelNames(g.root), "1:2:3 Canal Espa\xC3\xB1" "a\n1:2:4 Dos\n1:2:5 \n");
}

/* Files of versions 2 and 3 whose channels lack their unique triple (a
 * channel stored twice, as a hand edit leaves it) and whose texts lack their
 * index by hash: the open repairs both in the upgrade's transaction (of two
 * titles at one start the later channel's stays, and its name), says so on
 * standard error, and saves work; the repaired file opens without a write. */
TEST(GuideDbOpen, RepairsWhatASaveReliesOnInTheUpgrade) {
  uint32_t t = GuideFutureHour();
  const std::string T = std::to_string(t), T1 = std::to_string(t + 600);
  for (int version : {2, 3}) {
    SCOPED_TRACE(version);
    GuideRoot g;
    ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
    std::string sql = Replace(Replace(SchemaV3(), ", UNIQUE(nid, tsid, sid)", ""),
                              "CREATE INDEX texts_by_hash ON texts(hash);", "");
    if (version == 2) sql = Replace(sql, ", name TEXT NOT NULL DEFAULT ''", "");
    std::string named = version == 3 ? ", 'Dos'" : "", unnamed = version == 3 ? ", ''" : "";
    GuideSql(g.file, sql + "INSERT INTO channels VALUES(1, 1, 2, 3" + unnamed + "), (2, 1, 2, 3" +
                         named + ");"
                         "INSERT INTO texts VALUES(1, 0, X'41'), (2, 0, X'42'), (3, 0, X'43');"
                         "INSERT INTO titles VALUES(1, " + T + ", 600, 0, 0, 0, 'spa', 1, 1),"
                         " (1, " + T1 + ", 600, 0, 0, 0, 'spa', 2, 2), (2, " + T + ", 60, 0, 0, 0, 'spa', 3, 3);"
                         "PRAGMA user_version = " + std::to_string(version) + ";");
    {
      GuideStderr to(g.dir + "/stderr");
      ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
    }
    const std::string err = GuideFileBytes(g.dir + "/stderr");
    EXPECT_NE(err.find("1 duplicate channels merged, 1 of their titles"), std::string::npos) << err;
    EXPECT_NE(err.find("texts lacked their index by hash"), std::string::npos);
    EXPECT_EQ(GuideSql(g.file, "PRAGMA user_version; SELECT id, name FROM channels;"
                               "SELECT name FROM sqlite_master WHERE type = 'index' ORDER BY name"),
              "3\n1|" + std::string(version == 3 ? "Dos" : "") + "\nchannels_by_triple\ntexts_by_hash\n");
    EXPECT_EQ(GuideTitleRows(g.root), "1:2:3|" + T + "|60|C\n1:2:3|" + T1 + "|600|B\n");
    GuideAddTitle(epgdb_channels_add(1, 2, 3), t + 1200, 60, "D", "D\n\n");
    ASSERT_EQ(epgdb_save(nullptr), 1) << epgdb_error();
    EXPECT_EQ(GuideTitleCount(g.root), 3);
    epgdb_close();
    const std::string repaired = GuideFileBytes(g.file);
    ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
    epgdb_close();
    EXPECT_EQ(GuideFileBytes(g.file), repaired);
  }
}

TEST(GuideDbStore, GuidePersistsAcrossRuns) {
  GuideRoot g;
  uint32_t t = GuideFutureHour();
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *a = epgdb_channels_add(1, 1038, 29955);
  epgdb_channel_t *b = epgdb_channels_add(1, 1038, 7);
  GuideAddTitle(a, t, 3600, "Noticias", "Noticias\n\nResumen del d\xED" "a");
  GuideAddTitle(a, t + 3600, 1800, "Cine", "Cine\n\n");
  GuideAddTitle(b, t, 5400, "F\xC3\xBAtbol", "F\xC3\xBAtbol\n\nLiga", 1);
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();

  /* What the next run finds in the file. */
  std::string ts = std::to_string(t), ts1 = std::to_string(t + 3600);
  EXPECT_EQ(GuideTitleRows(g.file), "1:1038:7|" + ts + "|5400|F\xC3\xBAtbol\n" +
                                        "1:1038:29955|" + ts + "|3600|Noticias\n" +
                                        "1:1038:29955|" + ts1 + "|1800|Cine\n");
  /* Every field, and the texts byte for byte as they were handed over. */
  /* The day of each start: the second programme may start after midnight. */
  const std::string day = std::to_string(t / 86400 + 40587);
  const std::string day1 = std::to_string((t + 3600) / 86400 + 40587);
  EXPECT_EQ(GuideTitleTexts(g.file),
            "1:1038:7|" + ts + "|5400|" + std::to_string(t / 60 % 44640) + "|" + day +
                "|1|spa|F\xC3\xBAtbol|F\xC3\xBAtbol\\n\\nLiga\n" + "1:1038:29955|" + ts + "|3600|" +
                std::to_string(t / 60 % 44640) + "|" + day +
                "|0|spa|Noticias|Noticias\\n\\nResumen del d\xED" "a\n" + "1:1038:29955|" + ts1 +
                "|1800|" + std::to_string((t + 3600) / 60 % 44640) + "|" + day1 + "|0|spa|Cine|Cine\\n\\n\n");

  /* A second run that adds nothing new keeps the guide; one that adds a
   * title on a new channel keeps the old channel ids. */
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  std::string ids = GuideSql(g.file, "SELECT id, nid, tsid, sid FROM channels ORDER BY id");
  GuideAddTitle(epgdb_channels_add(2, 3, 4), t, 60, "Otro", "Otro\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();
  EXPECT_EQ(GuideSql(g.file, "SELECT count(*) FROM titles"), "4\n");
  EXPECT_EQ(GuideSql(g.file, "SELECT id, nid, tsid, sid FROM channels ORDER BY id LIMIT 2"), ids);
}

/* A run whose save fails part-way: the guide of the earlier run is left in
 * the file byte for byte, and the run's titles are still held, so that a
 * later save can write them. The failure is a trigger planted in the file
 * that aborts the insert of one title in the middle of the save. */
TEST(GuideDbSave, FailureHalfwayLeavesThePreviousGuide) {
  GuideRoot g;
  uint32_t t = GuideFutureHour();
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *ch = epgdb_channels_add(1, 2, 3);
  for (uint32_t i = 0; i < 10; i++) GuideAddTitle(ch, t + i * 600, 600, "Viejo", "Viejo\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();
  std::string rows_before = GuideTitleRows(g.file);
  GuideSql(g.file, "CREATE TRIGGER refuse BEFORE INSERT ON titles WHEN NEW.start_time = " +
                       std::to_string(t + 60 * 600 - 300) + " BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  std::string before = GuideFileBytes(g.file);

  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  /* The new schedule replaces every old title; the title at slot 60 fails,
   * after a new channel and many deletions and inserts were made. */
  ch = epgdb_channels_add(1, 2, 3);
  for (uint32_t i = 0; i < 100; i++) GuideAddTitle(ch, t + i * 600 - 300, 600, "Nuevo", "N\n\n");
  GuideAddTitle(epgdb_channels_add(9, 9, 9), t, 60, "Otro", "Otro\n\n");
  std::vector<int> progress_done;
  static std::vector<int> *seen;
  seen = &progress_done;
  EXPECT_EQ(epgdb_save([](int done, int) { seen->push_back(done); }), 0);
  ASSERT_FALSE(progress_done.empty());
  EXPECT_LT(progress_done.back(), 101) << "a failed save never reports completion";
  EXPECT_EQ(GuideFileBytes(g.file), before);
  EXPECT_EQ(GuideTitleRows(g.file), rows_before);
  EXPECT_EQ(access((g.file + "-journal").c_str(), F_OK), -1) << "no journal left behind";

  /* Without the trigger the same run's guide is written in full. */
  GuideSql(g.file, "DROP TRIGGER refuse");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideTitleCount(g.file), 101);
  EXPECT_EQ(GuideTitleRows(g.file).find("Viejo"), std::string::npos);
  /* The texts the failed save added went with it: this save added them
   * again, and every title holds its own texts. */
  std::string texts = GuideTitleTexts(g.file);
  size_t own = 0;
  for (size_t at = 0; (at = texts.find("|Nuevo|N\\n\\n\n", at)) != std::string::npos; at++) own++;
  EXPECT_EQ(own, 100u) << texts;
  EXPECT_NE(texts.find("|Otro|Otro\\n\\n\n"), std::string::npos) << texts;
}

/* The same with a real write failure: the file size limit stops the save
 * while it writes the file (works for every user, root included). */
TEST(GuideDbSave, WriteErrorLeavesThePreviousGuide) {
  GuideRoot g;
  uint32_t t = GuideFutureHour();
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *ch = epgdb_channels_add(1, 2, 3);
  GuideAddTitle(ch, t, 600, "Viejo", "Viejo\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();
  std::string before = GuideFileBytes(g.file);

  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!epgdb_open(g.root.c_str())) _exit(10);
    epgdb_channel_t *c = epgdb_channels_add(1, 2, 3);
    std::string text(400, 'x');
    for (uint32_t i = 0; i < 2000; i++) GuideAddTitle(c, t + i * 600, 600, text, text);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {before.size(), before.size()};
    setrlimit(RLIMIT_FSIZE, &limit);
    int saved = epgdb_save(nullptr);
    epgdb_close();
    epgdb_clean();
    _exit(saved ? 11 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: open failed, 11: save reported success";
  EXPECT_EQ(GuideFileBytes(g.file), before);
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1) << "the file stays usable";
  EXPECT_EQ(GuideTitleRows(g.file), "1:2:3|" + std::to_string(t) + "|600|Viejo\n");
}

TEST(GuideDbSave, ReportsProgressUpToTheTotal) {
  GuideRoot g;
  uint32_t t = GuideFutureHour();
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  for (uint32_t c = 0; c < 3; c++) {
    epgdb_channel_t *ch = epgdb_channels_add(1, 1, (uint16_t)c);
    for (uint32_t i = 0; i < 1000; i++) GuideAddTitle(ch, t + i * 60, 60, "t", "t\n\n");
  }
  static std::vector<std::pair<int, int>> calls;
  calls.clear();
  ASSERT_EQ(epgdb_save([](int done, int total) { calls.emplace_back(done, total); }), 1);
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls.front(), std::make_pair(0, 3000));
  EXPECT_EQ(calls.back(), std::make_pair(3000, 3000));
  for (size_t i = 1; i < calls.size(); i++) {
    EXPECT_GT(calls[i].first, calls[i - 1].first);
    EXPECT_EQ(calls[i].second, 3000);
  }
}

/* A file of schema version 1 (texts inside the titles): a reader reads it
 * as it is without writing; the first open for writing upgrades it in one
 * transaction, keeping every title and storing each distinct text once. */
TEST(GuideDbUpgrade, Version1FileIsReadAsItIsAndUpgradedOnce) {
  GuideRoot g;
  ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
  uint32_t t = GuideFutureHour();
  std::string T = std::to_string(t), T1 = std::to_string(t + 3600);
  GuideSql(g.file,
           GUIDE_SCHEMA_V1_SQL
           "INSERT INTO channels VALUES(1, 1, 2, 3), (2, 1, 2, 4);"
           "INSERT INTO titles VALUES(1, " + T + ", 3600, 7, 61000, 0, 'spa', CAST('Cine' AS BLOB),"
           " CAST('Cine' || char(10, 10) || 'Oeste' AS BLOB)),"
           " (1, " + T1 + ", 60, 8, 61000, 0, 'spa', CAST('Cine' AS BLOB),"
           " CAST('Cine' || char(10, 10) || 'Oeste' AS BLOB)),"
           " (2, " + T + ", 600, 9, 61000, 1, 'spa', X'C3BA', X'C3BA0A0A');"
           "PRAGMA user_version = 1;");
  const std::string v1 = GuideFileBytes(g.file);
  const std::string rows = GuideTitleTexts(g.file);
  EXPECT_EQ(rows, "1:2:3|" + T + "|3600|7|61000|0|spa|Cine|Cine\\n\\nOeste\n" +
                      "1:2:3|" + T1 + "|60|8|61000|0|spa|Cine|Cine\\n\\nOeste\n" +
                      "1:2:4|" + T + "|600|9|61000|1|spa|\xC3\xBA|\xC3\xBA\\n\\n\n");
  EXPECT_EQ(GuideFileBytes(g.file), v1) << "a reader wrote to a file of version 1";

  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  EXPECT_EQ(GuideSql(g.file, "PRAGMA user_version; SELECT count(*) FROM texts;"), "3\n4\n");
  EXPECT_EQ(GuideTitleTexts(g.file), rows);
  /* The upgraded file takes the next run's titles as any other; texts that
   * no title refers to any more go with the save. */
  GuideAddTitle(epgdb_channels_add(1, 2, 3), t + 7200, 60, "Cine", "Cine\n\nOeste");
  GuideAddTitle(epgdb_channels_add(1, 2, 4), t, 60, "Docu", "Docu\n\n");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  EXPECT_EQ(GuideTitleCount(g.file), 4);
  EXPECT_EQ(GuideSql(g.file, "SELECT count(*), sum(body = X'C3BA') FROM texts"), "4|0\n");
}

/* A version-1 file without its keys, holding two titles at one channel and
 * start, a title of a channel that does not exist and a channel stored
 * twice: the upgrade keeps the later of the two titles, drops the other one
 * and the orphan, merges the channels, and counts all on standard error. */
TEST(GuideDbUpgrade, Version1FileWithDuplicatesAndOrphansIsUpgraded) {
  GuideRoot g;
  ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
  const std::string T = std::to_string(GuideFutureHour()), T1 = std::to_string(GuideFutureHour() + 600);
  GuideSql(g.file, Replace(Replace(GUIDE_SCHEMA_V1_SQL, ", PRIMARY KEY(channel_id, start_time)", ""),
                           ", UNIQUE(nid, tsid, sid)", "") +
                       "INSERT INTO channels VALUES(1, 1, 2, 3), (2, 1, 2, 3);"
                       "INSERT INTO titles VALUES(1, " + T + ", 60, 0, 0, 0, 'spa', X'41', X''),"
                       " (9, " + T + ", 60, 0, 0, 0, 'spa', X'4F', X''),"
                       " (1, " + T + ", 600, 0, 0, 0, 'spa', X'42', X''),"
                       " (2, " + T1 + ", 60, 0, 0, 0, 'spa', X'43', X'');"
                       "PRAGMA user_version = 1;");
  {
    GuideStderr to(g.dir + "/stderr");
    ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  }
  const std::string err = GuideFileBytes(g.dir + "/stderr");
  EXPECT_NE(err.find("epgdb: 1 titles of a missing channel or with an empty field dropped\n"
                            "epgdb: 1 titles at the channel and start of a later one dropped\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("1 duplicate channels merged, 0 of their titles"), std::string::npos) << err;
  EXPECT_EQ(GuideTitleRows(g.root), "1:2:3|" + T + "|600|B\n1:2:3|" + T1 + "|60|C\n");
  EXPECT_EQ(GuideSql(g.file, "PRAGMA user_version; SELECT id FROM channels"), "3\n1\n");
}

}  // namespace
