/* Grabs of changed and unchanged schedules into one guide database: no
 * channel may show two programmes at once afterwards, the guide exports as
 * valid XMLTV, a save writes only what changed, a poorer run keeps a richer
 * guide, a hand-edited file is repaired or refused at the open. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "e2e/sim_helpers.h"
#include "support/guide_dump.h"
#include "support/run_helper.h"

namespace {

/* Bytes that the children waited for so far wrote to files (the kernel's
 * count of the pages they dirtied). */
long long ChildWrittenBytes() {
  struct rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return (long long)u.ru_oublock * 512;
}

/* The "N titles saved - R stored titles replaced - E expired" line of a
 * grab's log, "" when there is none. */
std::string SaveCounts(const std::string &log) {
  for (const auto &line : LogMessages(log))
    if (line.find(" titles saved - ") != std::string::npos) return line;
  return "";
}

/* Two broadcasts of "dir": "<dir>/a" made with "args_a", "<dir>/b" with
 * "args_b". True when both were made. */
bool GenerateTwo(const std::string &dir, const std::string &args_a, const std::string &args_b,
                 SimExpectation *a, SimExpectation *b) {
  return SimShell("mkdir -p " + dir + "/a " + dir + "/b") == 0 && SimGenerate(dir + "/a", args_a, "", a) &&
         SimGenerate(dir + "/b", args_b, "", b);
}

}  // namespace

TEST(Regrab, ChangedScheduleLeavesNoOverlapAndExportsValidXmltv) {
  GrabDir g("regrab");
  const std::string shape = "--random --channels 12 --days 7 --events-per-day 24 --summaries 0.7 --start " +
                            SimToday();
  SimExpectation first, second;
  /* Same channels, another seed: programmes of other lengths at other times. */
  ASSERT_TRUE(GenerateTwo(g.dir, shape + " --seed 11", shape + " --seed 12", &first, &second));

  g.WriteConfig("demux=" + first.stream + "\n");
  ASSERT_EQ(g.Run({g.root}, {SIM_TZ}).exit_code, 0);
  ASSERT_GT(GuideTitleCount(g.root), 100);

  g.WriteConfig("demux=" + second.stream + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  ASSERT_TRUE(HasLine(LogMessages(r.log), "Data saved")) << r.log;

  /* Every title of the second grab is stored as it came; of the first grab
   * only titles that no new one overlaps may remain. */
  std::string stored = SimDumpDatabase(g.root);
  int missing = 0;
  for (const auto &row : SplitLines(second.rows)) {
    if (stored.find(row + "\n") == std::string::npos && ++missing < 5) ADD_FAILURE() << "missing: " << row;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(GuideOverlaps(g.root), 0);

  std::string xml = g.dir + "/guide.xml";
  ASSERT_EQ(SimShell(std::string(MHW2_BUILD_DIR) + "/epgdb xmltv " + g.root + " > " + xml), 0);
  std::string out = ShellOutput("tv_validate_file --dtd-file /usr/share/xmltv/xmltv.dtd " + xml + " 2>&1");
  EXPECT_NE(out.find("Validated ok."), std::string::npos) << out;

  /* The same broadcast again: every title is stored as it came, so the save
   * leaves the file as it was, byte for byte and untouched, and logs the
   * counts of a save that wrote them all over their stored selves. */
  const std::string db = g.root + "/guide.db", counts = SaveCounts(r.log);
  const int titles = (int)SplitLines(second.rows).size();
  char expected[96];
  snprintf(expected, sizeof expected, "%d titles saved - %d stored titles replaced - 0 expired", titles, titles);
  const std::string bytes = ReadFileText(db);
  struct stat before = {}, after = {};
  ASSERT_EQ(stat(db.c_str(), &before), 0);
  r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "Data saved")) << r.log;
  EXPECT_EQ(SaveCounts(r.log), expected) << r.log;
  ASSERT_EQ(stat(db.c_str(), &after), 0);
  EXPECT_TRUE(ReadFileText(db) == bytes) << "an unchanged regrab rewrote the file";
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

  /* The next day's broadcast: the same guide with one channel's evening
   * renamed. Only those titles are rewritten: the grab writes a small part
   * of what a grab into an empty root writes, and the stored guide is the
   * new broadcast's. */
  std::string guide = ReadFileText(g.dir + "/b/written.guide"), renamed;
  int changed = 0;
  for (const auto &line : SplitLines(guide)) {
    size_t title = line.find(" title=\"");
    bool rename = line.compare(0, 11, "event ch=0 ") == 0 && line.find("T2") != std::string::npos &&
                  title != std::string::npos && ++changed <= 3;
    renamed += rename ? line.substr(0, title + 8) + "Nuevo " + line.substr(title + 8) + "\n" : line + "\n";
  }
  ASSERT_GE(changed, 3);
  WriteFileText(g.dir + "/next.guide", renamed);
  SimExpectation next;
  ASSERT_EQ(SimShell("mkdir -p " + g.dir + "/c " + g.dir + "/empty"), 0);
  ASSERT_TRUE(SimGenerate(g.dir + "/c", "--guide " + g.dir + "/next.guide", "", &next));
  ASSERT_NE(next.rows, second.rows);
  g.WriteConfig("demux=" + next.stream + "\n");
  long long written = ChildWrittenBytes();
  ASSERT_EQ(g.Run({g.root}, {SIM_TZ}).exit_code, 0);
  written = ChildWrittenBytes() - written;
  long long fresh = ChildWrittenBytes();
  r = g.Run({g.dir + "/empty"}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  fresh = ChildWrittenBytes() - fresh;
  SimCheckRows(next.rows, SimDumpDatabase(g.dir + "/empty"));
  stored = SimDumpDatabase(g.root);
  missing = 0;
  for (const auto &row : SplitLines(next.rows)) {
    if (stored.find(row + "\n") == std::string::npos && ++missing < 5) ADD_FAILURE() << "missing: " << row;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(GuideOverlaps(g.root), 0);
  /* Only where the kernel counts written pages can the bytes be compared. */
  if (fresh == 0) GTEST_SKIP() << "this file system counts no written bytes";
  EXPECT_LT(written * 4, fresh) << written << " bytes written for 3 changed titles, " << fresh << " for all";
}

/* A poorer run never wipes a richer guide: a title with a garbage duration
 * erases nothing of its own run; titles that look past (a clock days ahead
 * of the broadcast) are stored all the same; a second grab that misses the
 * summary tables keeps every stored summary, and its log counts what it
 * replaced and expired. */
TEST(Regrab, PoorerRunKeepsARicherGuide) {
  GrabDir g("poorer");
  const std::string day = SimToday();
  time_t past = time(nullptr) - 10 * 86400;
  char past_day[16];
  strftime(past_day, sizeof past_day, "%Y-%m-%d", gmtime(&past));
  WriteFileText(g.dir + "/week.guide",
                "channel \"Uno\" nid=1 tsid=0x400 sid=0x1F41\n"
                "summary news id3=0x10 id7=0x010010 title=\"Telediario\"\n"
                "line \"La actualidad.\"\n"
                "summary film id3=0x11 id7=0x010011 title=\"El verdugo\"\n"
                "line \"Cine espa\\xF1ol.\"\n"
                "event ch=0 start=" + std::string(past_day) + "T20:00 dur=60 title=\"Viejo\"\n"
                "event ch=0 start=" + day + "T21:00 dur=45 title=\"Telediario\" summary=news\n"
                "event ch=0 start=" + day + "T21:45 dur=1092 title=\"Basura\"\n"
                "event ch=0 start=" + day + "T22:00 dur=110 title=\"Cine\" summary=film\n"
                "event ch=0 start=" + day + "T23:50 dur=30 title=\"Noche\"\n");
  SimExpectation full, poor;
  ASSERT_TRUE(GenerateTwo(g.dir, "--guide " + g.dir + "/week.guide",
                          "--guide " + g.dir + "/week.guide --omit summaries3 --omit summaries7", &full, &poor));
  ASSERT_EQ(SplitLines(full.rows).size(), 5u);
  ASSERT_NE(full.rows, poor.rows) << "the poorer broadcast must lack summaries";

  g.WriteConfig("demux=" + full.stream + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "5 titles saved - 0 stored titles replaced - 0 expired")) << r.log;
  SimCheckRows(full.rows, SimDumpDatabase(g.root));

  g.WriteConfig("demux=" + poor.stream + "\n");
  r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0);
  /* The past title of the first grab expired; the four others were replaced
   * by the same programmes, which keep their stored summaries. */
  EXPECT_TRUE(HasLine(LogMessages(r.log), "5 titles saved - 4 stored titles replaced - 1 expired")) << r.log;
  SimCheckRows(full.rows, SimDumpDatabase(g.root));
}

/* A guide that a hand edit left without what a save relies on: channels
 * without their unique triple, one of them stored twice, and texts without
 * their index by hash. The next grab repairs it at the open (one channel per
 * triple, the grab saved); a guide whose titles lost their key is refused at
 * the open, before the download, with what to do, and left as it was. */
TEST(Regrab, HandEditedGuideIsRepairedOrRefusedAtTheOpen) {
  GrabDir g("handedit");
  const std::string shape = "--random --channels 3 --days 2 --events-per-day 8 --start " + SimToday();
  SimExpectation first, second;
  ASSERT_TRUE(GenerateTwo(g.dir, shape + " --seed 21", shape + " --seed 22", &first, &second));
  g.WriteConfig("demux=" + first.stream + "\n");
  ASSERT_EQ(g.Run({g.root}, {SIM_TZ}).exit_code, 0);
  const std::string db = g.root + "/guide.db";
  ASSERT_EQ(SimShell("sqlite3 " + db + " \"CREATE TABLE c2(id INTEGER PRIMARY KEY, nid INTEGER NOT NULL,"
                     " tsid INTEGER NOT NULL, sid INTEGER NOT NULL, name TEXT NOT NULL DEFAULT '');"
                     " INSERT INTO c2 SELECT * FROM channels; DROP TABLE channels;"
                     " ALTER TABLE c2 RENAME TO channels;"
                     " INSERT INTO channels(nid, tsid, sid) SELECT nid, tsid, sid FROM channels LIMIT 1;"
                     " INSERT INTO titles SELECT (SELECT max(id) FROM channels), start_time + 1, length,"
                     " event_id, mjd, flags, language, description_id, long_description_id"
                     " FROM titles WHERE channel_id = 1; DROP INDEX texts_by_hash;\""),
            0);

  g.err_path = g.dir + "/stderr";
  g.WriteConfig("demux=" + second.stream + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "Data saved")) << r.log;
  std::string err = ReadFileText(g.err_path);
  EXPECT_NE(err.find("1 duplicate channels merged"), std::string::npos) << err;
  EXPECT_NE(err.find("texts lacked their index by hash"), std::string::npos) << err;
  const std::string stored = SimDumpDatabase(g.root);
  int missing = 0;
  for (const auto &row : SplitLines(second.rows))
    if (stored.find(row + "\n") == std::string::npos && ++missing < 5) ADD_FAILURE() << "missing: " << row;
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(GuideOverlaps(g.root), 0);
  EXPECT_EQ(ShellOutput("sqlite3 " + db + " 'SELECT count(*) - count(DISTINCT nid || \":\" || tsid || \":\" || sid)"
                        " FROM channels'"),
            "0\n");

  ASSERT_EQ(SimShell("sqlite3 " + db + " \"CREATE TABLE t2(channel_id, start_time, length, event_id, mjd,"
                     " flags, language, description_id, long_description_id);"
                     " INSERT INTO t2 SELECT * FROM titles; DROP TABLE titles; ALTER TABLE t2 RENAME TO titles;\""),
            0);
  const std::string bytes = ReadFileText(db);
  r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n");
  std::vector<std::string> msgs = LogMessages(r.log);
  ASSERT_GE(msgs.size(), 2u);
  EXPECT_EQ(msgs[msgs.size() - 2], "Error opening EPGDB");
  EXPECT_EQ(msgs.back(), "EPGDB: " + db + ": titles lacks its primary key (channel_id, start_time), which a"
                         " save needs; move guide.db away or restore a copy, the next grab then starts a new guide");
  EXPECT_TRUE(ReadFileText(db) == bytes) << "the refused file was changed";
}
