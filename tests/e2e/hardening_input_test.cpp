/* Bad input on every way into the grabber: the configuration file, argv,
 * the log paths in /tmp, the standard descriptors and the frontend behind
 * standard output, the demux stream, the guide database file. Each run must
 * end with its documented exit code and message, without a crash, and keep
 * what it should keep. */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <regex>

#include "demux/concurrent.h"
#include "e2e/sim_helpers.h"
#include "support/guide_dump.h"
#include "support/hardening_helpers.h"
#include "support/run_helper.h"
#include "tswriter.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;


/* A small guide with every table: three channels, four days. */
std::string SmallGuide(int seed) {
  return "--random --seed " + std::to_string(seed) + " --start " + SimToday() +
         " --channels 3 --days 4 --events-per-day 5 --cycles 1";
}

std::string RandomBytes(std::mt19937 *rng, size_t n) {
  std::string s(n, 0);
  for (auto &c : s) c = (char)(*rng)();
  return s;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

size_t CountPrefix(const Lines &lines, const std::string &prefix) {
  size_t n = 0;
  for (const auto &l : lines)
    if (l.compare(0, prefix.size(), prefix) == 0) n++;
  return n;
}

/* ---- configuration file ---- */

TEST(HardeningInput, ConfigurationWithHugeLinesAndBinaryGarbageStillApplyItsGoodLines) {
  GrabDir g("conf_garbage");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, SmallGuide(51), "--utf8", &e));
  std::mt19937 rng(51);
  std::string garbage = RandomBytes(&rng, 3000);
  /* A 5 000-character value, key, comment and unknown line; binary bytes
   * with NULs and line feeds of their own; the good lines between them. */
  std::string conf = std::string(5000, 'x') + "\n" + "demux=" + e.stream + "\n" +
                     "alias=" + std::string(4994, '1') + "\n" + garbage + "\n" +
                     "ConvertToUTF8=1\n" + "#" + std::string(4999, '#') + "\n" +
                     std::string(5000, '=') + "\n" + "debug=" + std::string(4994, '9') + "\n" +
                     "demux=" + std::string(4994, '/') + "\n";
  g.WriteConfig(conf);
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "Changing demux to: " + e.stream)) << r.log;
  EXPECT_TRUE(HasLine(msgs, "Text will be converted to UTF-8"));
  EXPECT_TRUE(HasLine(msgs, "Using demux: " + e.stream)) << "the over-long demux line must not win";
  EXPECT_GT(CountPrefix(msgs, "Error in config file"), 5u) << r.log;
  /* Every configuration message is one of the reader's own. */
  for (const auto &m : msgs) {
    if (m.compare(0, 6, "Error ") != 0 || m.find("config") == std::string::npos) continue;
    EXPECT_TRUE(m.size() < 120 && m.find_first_of(std::string("\x01\x02\x7f\x80\xff", 5)) == std::string::npos)
        << "garbage echoed into the log: " << m;
  }
  EXPECT_TRUE(HasLine(msgs, "Data saved"));
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
}

TEST(HardeningInput, ConfigurationOfBinaryGarbageOnlyAsksForDetection) {
  GrabDir g("conf_binary");
  std::mt19937 rng(52);
  std::string garbage = RandomBytes(&rng, 65536);
  g.WriteConfig(garbage);
  /* No demux line: auto-detection, which finds no device here. */
  GrabResult r = g.Run({g.root}, AdapterEnv());
  EXPECT_EQ(r.exit_code, 1);
  Lines msgs = LogMessages(r.log);
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs.back(), "Error detecting demux. Try to enter manually") << r.log;
  EXPECT_EQ(CountPrefix(msgs, "DemuxInit() - Error opening demux"), 16u);
  EXPECT_FALSE(Exists(g.root)) << "the database is not touched before a demux is known";
  EXPECT_EQ(ReadFileText(g.exe + ".conf"), garbage) << "the configuration file is only read";
}

TEST(HardeningInput, ConfigurationNumbersThatDoNotFitTheirTypeAreRefused) {
  GrabDir g("conf_overflow");
  const std::string alias = "1F44:400:1,2001:401:1";
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, SmallGuide(62), "--alias " + alias, &e));
  /* Taken by their low 32 bits these would switch the debug log on, the
   * 3-day tables off and UTF-8 on, and store channel 1F41 again as 2000. */
  g.WriteConfig("demux=" + e.stream + "\n"
                "debug=4294967297\n"
                "Download_3_Days=4294967296\n"
                "ConvertToUTF8=-4294967295\n"
                "alias=100001F41:400:1,2000:401:1\n"
                "alias=" + alias + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  for (int line = 2; line <= 4; line++)
    EXPECT_TRUE(HasLine(msgs, "Error in config file, line " + std::to_string(line) + ". Using default value"))
        << line << "\n" << r.log;
  EXPECT_TRUE(HasLine(msgs, "Error in config file alias data. line 5. Ignoring line!!!!!"));
  EXPECT_TRUE(HasLine(msgs, "1 alias readed from config file"));
  EXPECT_FALSE(r.debug_log_exists);
  SimCheckStatusLines(r.out, g.name, e);
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
}

TEST(HardeningInput, ConfigurationThatIsNotARegularFileGivesTheDefaults) {
  struct Case {
    const char *what, *kind;
  } cases[] = {{"fifo", "a FIFO"}, {"directory", "a directory"}, {"device", "a character device"}};
  for (const auto &k : cases) {
    SCOPED_TRACE(k.what);
    GrabDir g(std::string("conf_") + k.what);
    const std::string conf = g.exe + ".conf";
    /* A FIFO without writer would block the read for ever, a directory
     * would read as an empty file (and ask for detection), /dev/zero would
     * never end. */
    if (k.what[0] == 'f') ASSERT_EQ(mkfifo(conf.c_str(), 0600), 0);
    else if (k.what[0] == 'd' && k.what[1] == 'i') ASSERT_EQ(mkdir(conf.c_str(), 0700), 0);
    else ASSERT_EQ(symlink("/dev/zero", conf.c_str()), 0);
    GrabResult r = g.Run({g.root}, AdapterEnv(), 30);
    EXPECT_EQ(r.exit_code, 0);
    Lines msgs = LogMessages(r.log);
    const Lines start = {g.name + " v1.0", "Config file: " + conf,
                         std::string("Config file is not a regular file (") + k.kind + "): " + conf,
                         "Using default config values", "db_root = " + g.root};
    ASSERT_GE(msgs.size(), start.size()) << r.log;
    EXPECT_EQ(Lines(msgs.begin(), msgs.begin() + (long)start.size()), start) << r.log;
    EXPECT_TRUE(HasLine(msgs, "Using demux: /dev/dvb/adapter0/demux0")) << "no auto-detection";
    EXPECT_TRUE(HasLine(msgs, "done"));
  }
}

/* ---- argv ---- */

TEST(HardeningInput, ProgramPathOf4096CharactersWithAShortName) {
  GrabDir g("argv0_path");
  /* argv[0] is only a name here: the program itself is started by path. */
  std::string argv0 = "/";
  while (argv0.size() + g.name.size() < 4096) argv0 += "d/";
  argv0.resize(4096 - g.name.size(), 'd');
  argv0 += g.name;
  ASSERT_EQ(argv0.size(), 4096u);
  argv0[4095 - g.name.size()] = '/';
  HardChild c;
  ASSERT_TRUE(HardStart(&c, g.exe, {argv0, g.root}, AdapterEnv()));
  EXPECT_EQ(HardFinish(&c), 0);
  EXPECT_EQ(c.out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n");
  Lines msgs = LogMessages(ReadFileText(g.LogPath()));
  EXPECT_TRUE(HasLine(msgs, "Config file path too long (more than 255 characters). Using default config values"))
      << ReadFileText(g.LogPath());
  EXPECT_TRUE(HasLine(msgs, "EPGDB opened (root=" + g.root + ")"));
  EXPECT_TRUE(HasLine(msgs, "done"));
}

TEST(HardeningInput, ProgramNameOf4096CharactersRunsWithoutLogs) {
  GrabDir g("argv0_name");
  std::string argv0(4096, 'n');
  HardChild c;
  ASSERT_TRUE(HardStart(&c, g.exe, {argv0, g.root}, AdapterEnv()));
  EXPECT_EQ(HardFinish(&c), 0);
  EXPECT_EQ(c.out.compare(0, 21, "TYPE RUNNING CSCRIPT "), 0) << c.out;
  EXPECT_EQ(c.out.find(argv0.substr(0, 200)), std::string::npos) << "no cut name in the banner";
  EXPECT_TRUE(Exists(g.root + "/guide.db")) << "the run went on to open the database";
  for (size_t n : {(size_t)200, (size_t)246, (size_t)250}) {
    EXPECT_FALSE(Exists("/tmp/" + argv0.substr(0, n))) << n;
    EXPECT_FALSE(Exists("/tmp/" + argv0.substr(0, n) + ".log")) << n;
  }
}

TEST(HardeningInput, DatabaseRootThatIsEmptyOrOf4096CharactersIsRefused) {
  GrabDir g("argv1");
  std::string root = g.dir + "/" + std::string(4096 - g.dir.size() - 1, 'r');
  ASSERT_EQ(root.size(), 4096u);
  GrabResult r = g.Run({root}, AdapterEnv());
  EXPECT_EQ(r.exit_code, 1);
  Lines msgs = LogMessages(r.log);
  ASSERT_GE(msgs.size(), 2u);
  EXPECT_EQ(msgs[msgs.size() - 2], "db_root too long (more than 255 characters)") << r.log;
  EXPECT_EQ(msgs.back(), "Error opening EPGDB");
  EXPECT_EQ(ShellOutput("ls -A '" + g.dir + "'"), g.name + "\n") << "no cut root may be created";

  /* An empty argument (an unset variable in the frontend's command line)
   * names no root; taken as one, the guide would go to /guide.db. */
  const bool root_db_before = Exists("/guide.db");
  r = g.Run({""}, AdapterEnv());
  EXPECT_EQ(r.exit_code, 1);
  msgs = LogMessages(r.log);
  ASSERT_GE(msgs.size(), 2u);
  EXPECT_EQ(msgs[msgs.size() - 2], "db_root is empty (the database root argument is an empty text)") << r.log;
  EXPECT_EQ(msgs.back(), "Error opening EPGDB");
  if (!root_db_before) {
    EXPECT_FALSE(Exists("/guide.db")) << "the empty root was taken for /";
    unlink("/guide.db");
  }
}

/* ---- log paths ---- */

enum class Plant { kFifo, kDirectory, kSymlink };

struct LogPlant {
  const char *what;
  bool debug_log; /* plant at the debug log path, else at the main log path */
  Plant kind;
};

class HardeningLogPath : public ::testing::TestWithParam<LogPlant> {};

TEST_P(HardeningLogPath, PlantedPathIsNeitherFollowedNorBlocksTheRun) {
  const LogPlant &p = GetParam();
  GrabDir g(std::string("logplant_") + p.what);
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, SmallGuide(53), "", &e));
  g.WriteConfig("debug=1\ndemux=" + e.stream + "\n");
  std::string path = p.debug_log ? g.DebugLogPath() : g.LogPath();
  std::string victim = g.dir + "/victim";
  int reader = -1;
  switch (p.kind) {
    case Plant::kFifo:
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      /* A reader waits at the other end, so that a writer could open it. */
      reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
      ASSERT_GE(reader, 0);
      break;
    case Plant::kDirectory:
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
      break;
    case Plant::kSymlink:
      WriteFileText(victim, "keep me\n");
      ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
      break;
  }
  /* Started directly: reading a planted FIFO back would block this test. */
  HardChild c;
  ASSERT_TRUE(HardStart(&c, g.exe, {g.exe, g.root}, {SIM_TZ}));
  EXPECT_EQ(HardFinish(&c, 60), 0) << "the run must neither block nor fail";
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
  /* The other log is written as usual. */
  if (p.debug_log) {
    EXPECT_TRUE(HasLine(LogMessages(ReadFileText(g.LogPath())), "Data saved")) << ReadFileText(g.LogPath());
  } else {
    EXPECT_NE(SimCount(ReadFileText(g.DebugLogPath()), "TARNWELL ADDING event"), 0);
  }
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  switch (p.kind) {
    case Plant::kFifo: {
      EXPECT_TRUE(S_ISFIFO(st.st_mode));
      char buf[16];
      EXPECT_LE(read(reader, buf, sizeof buf), 0) << "the log went into the FIFO";
      close(reader);
      break;
    }
    case Plant::kDirectory:
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(ShellOutput("ls -A '" + path + "'"), "");
      rmdir(path.c_str());
      break;
    case Plant::kSymlink:
      EXPECT_TRUE(S_ISLNK(st.st_mode));
      EXPECT_EQ(ReadFileText(victim), "keep me\n");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Plants, HardeningLogPath,
    ::testing::Values(LogPlant{"main_fifo", false, Plant::kFifo}, LogPlant{"main_dir", false, Plant::kDirectory},
                      LogPlant{"debug_fifo", true, Plant::kFifo}, LogPlant{"debug_dir", true, Plant::kDirectory},
                      LogPlant{"debug_link", true, Plant::kSymlink}),
    [](const ::testing::TestParamInfo<LogPlant> &info) { return std::string(info.param.what); });

/* ---- standard output and descriptors ---- */

/* Generates the small guide of "seed" in the folder of "g" and names its
 * recording as the demux of the configuration. Returns false with a test
 * failure. */
bool GenerateSmallGuide(const GrabDir &g, int seed, SimExpectation *e) {
  if (!SimGenerate(g.dir, SmallGuide(seed), "", e)) return false;
  g.WriteConfig("demux=" + e->stream + "\n");
  return true;
}

/* Waits up to "timeout_ms" until the main log at "path" holds "line". */
bool WaitForLogLine(const std::string &path, const std::string &line, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (HasLine(LogMessages(ReadFileText(path)), line)) return true;
    usleep(10000);
  }
  return false;
}

TEST(HardeningInput, FrontendThatGoesAwayLeavesTheGrabToSave) {
  GrabDir g("frontend_gone");
  SimExpectation e;
  ASSERT_TRUE(GenerateSmallGuide(g, 60, &e));
  /* The frontend's pipe is full, so the grabber waits in its banner; the
   * frontend hangs up and goes away (as "mhw2grab | head -1" does), and
   * every status line of the run fails from then on. */
  HardChild c;
  ASSERT_TRUE(HardStart(&c, g.exe, {g.exe, g.root}, {SIM_TZ}, true));
  ASSERT_TRUE(WaitForLogLine(g.LogPath(), g.name + " v1.0", 30000));
  EXPECT_EQ(kill(c.pid, SIGHUP), 0);
  close(c.out_fd);
  c.out_fd = -1;
  EXPECT_EQ(HardFinish(&c), 0) << "128 + the signal that ended the run";
  Lines msgs = LogMessages(ReadFileText(g.LogPath()));
  EXPECT_EQ(CountPrefix(msgs, "Status lines could not be delivered"), 1u) << ReadFileText(g.LogPath());
  EXPECT_TRUE(HasLine(msgs, "Status lines could not be delivered to the frontend (Broken pipe). Going on without them"));
  EXPECT_TRUE(HasLine(msgs, "Data saved"));
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
}

TEST(HardeningInput, ClosedStandardOutputIsNotTakenByTheMainLog) {
  GrabDir g("closed_stdout");
  SimExpectation e;
  ASSERT_TRUE(GenerateSmallGuide(g, 61, &e));
  /* Started with descriptor 1 closed: the main log, the first file the run
   * opens, would take it and receive every status line. */
  HardChild c;
  ASSERT_TRUE(HardStart(&c, "/bin/sh", {"sh", "-c", "exec \"$0\" \"$1\" >&-", g.exe, g.root}, {SIM_TZ}));
  EXPECT_EQ(HardFinish(&c), 0);
  EXPECT_EQ(c.out, "");
  std::string log = ReadFileText(g.LogPath());
  for (const auto &line : SplitLines(log))
    EXPECT_FALSE(line.compare(0, 8, "LOGTEXT ") == 0 || line.compare(0, 9, "PROGRESS ") == 0 ||
                 line.compare(0, 5, "TYPE ") == 0)
        << "status line in the main log: " << line;
  EXPECT_TRUE(HasLine(LogMessages(log), "Data saved")) << log;
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
}

/* ---- broadcast text and times ---- */

/* Writes "guide" as a guide description file in the folder of "g" and
 * generates its broadcast. */
bool GenerateGuideFile(const GrabDir &g, const std::string &guide, SimExpectation *e) {
  WriteFileText(g.dir + "/input.guide", guide);
  return SimGenerate(g.dir, "--guide " + g.dir + "/input.guide", "", e);
}

TEST(HardeningInput, ControlBytesOfBroadcastTextAndPathsAreEscapedInTheMainLog) {
  GrabDir g("log_injection");
  /* A channel name that would forge a log line, one that would clear the
   * terminal of whoever reads the log. */
  SimExpectation e;
  ASSERT_TRUE(GenerateGuideFile(g,
                                "channel \"Uno\\nForged\\x0D\" nid=1 tsid=0x400 sid=0x1F41\n"
                                "channel \"\\x1B[2J\\x1B[3JDos\\x7F\" nid=1 tsid=0x400 sid=0x1F44\n"
                                "event ch=0 start=" + SimToday() + "T20:00 dur=30 title=\"Noticias\"\n"
                                "event ch=1 start=" + SimToday() + "T21:00 dur=30 title=\"Cine\"\n",
                                &e));
  /* The recording in a folder whose name carries an escape sequence and a tab. */
  const std::string folder = g.dir + "/rec\x1B]0;x\x07\t";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(HardCopyFile(e.stream, folder + "/stream.ts"));
  const std::string escaped = g.dir + "/rec\\x1B]0;x\\x07\\x09/stream.ts";
  g.WriteConfig("demux=" + folder + "/stream.ts\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, " MHW channel=\"Uno\\x0AForged\\x0D\":1F41:400:1")) << r.log;
  EXPECT_TRUE(HasLine(msgs, " MHW channel=\"\\x1B[2J\\x1B[3JDos\\x7F\":1F44:400:1"));
  EXPECT_TRUE(HasLine(msgs, "Changing demux to: " + escaped));
  EXPECT_TRUE(HasLine(msgs, "Using demux: " + escaped));
  /* Every line is a timestamped message but the empty one after "done". */
  std::regex stamp("^[0-3][0-9]/[01][0-9]/[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [ -~]*$");
  Lines lines = SplitLines(r.log);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back(), "");
  EXPECT_EQ(LogMessages(r.log)[lines.size() - 2], "done");
  for (size_t i = 0; i + 1 < lines.size(); i++) EXPECT_TRUE(std::regex_match(lines[i], stamp)) << lines[i];
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
}

TEST(HardeningInput, StartsAfter2038AreBrokenDownAsUnsignedSeconds) {
  GrabDir g("after_2038");
  /* MJD 65500 12:30 UTC is 2038-03-18, 2^31 seconds and more after 1970;
   * the other event starts just before that boundary. */
  SimExpectation e;
  ASSERT_TRUE(GenerateGuideFile(g,
                                "channel \"Uno\" nid=1 tsid=0x400 sid=0x1F41\n"
                                "event ch=0 start=2038-01-19T03:00 dur=14 title=\"Antes\"\n"
                                "event ch=0 start=2038-03-18T12:30 dur=60 title=\"Despues\"\n",
                                &e));
  g.WriteConfig("debug=1\ndemux=" + e.stream + "\n");
  GrabResult r = g.Run({g.root}, {"TZ=UTC"});
  EXPECT_EQ(r.exit_code, 0);
  /* Channel, start, length, event_id (the minute of the month), mjd. */
  std::string rows = SimDumpDatabase(g.root);
  EXPECT_NE(rows.find("0001:0400:1F41\t2147482800\t840\t27540\t65442\t"), std::string::npos) << rows;
  EXPECT_NE(rows.find("0001:0400:1F41\t2152528200\t3600\t26670\t65500\t"), std::string::npos) << rows;
  EXPECT_NE(r.debug_log.find("StartDate: 18/03/2038 - StartTime: 12:30:00 - Duration: 60 min\n"),
            std::string::npos);
  EXPECT_EQ(r.debug_log.find("/190"), std::string::npos) << "a start broken down as 1901 or 1902";
  /* In a local time zone, the grab stores what the simulator predicts. */
  r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
}

/* ---- demux stream ---- */

/* Grabs "stream" over the guide of an earlier good grab; returns the run. */
GrabResult GrabOverGuide(const GrabDir &g, const std::string &stream, std::string *before) {
  SimExpectation e;
  if (!SimGenerate(g.dir, SmallGuide(54), "", &e)) return GrabResult();
  g.WriteConfig("demux=" + e.stream + "\n");
  GrabResult first = g.Run({g.root}, {SIM_TZ});
  EXPECT_TRUE(HasLine(LogMessages(first.log), "Data saved")) << first.log;
  *before = ReadFileText(g.root + "/guide.db");
  g.WriteConfig("demux=" + stream + "\n");
  return g.Run({g.root}, {SIM_TZ}, 300);
}

TEST(HardeningInput, RecordingOfRandomBytesFindsNothingAndKeepsTheGuide) {
  GrabDir g("random_ts");
  std::mt19937 rng(55);
  std::string stream = g.dir + "/random.ts";
  WriteFileText(stream, RandomBytes(&rng, 2 * 1024 * 1024));
  std::string before;
  GrabResult r = GrabOverGuide(g, stream, &before);
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "ERROR: Channels not received!!")) << r.log;
  EXPECT_TRUE(HasLine(msgs, "Nothing added to database"));
  EXPECT_TRUE(HasLine(msgs, "done"));
  EXPECT_TRUE(ReadFileText(g.root + "/guide.db") == before) << "guide.db changed";
}

TEST(HardeningInput, RandomPacketsAndSectionsOnTheGuidePidsEndTheRunCleanly) {
  GrabDir g("random_sections");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, SmallGuide(56), "", &e));
  Bytes channels = HardRecordingSections(e.stream, 0x231, 0xC8).at(0);
  /* The real channel table, then on every guide PID packets of random
   * bytes and sections of random length and content under the table id
   * the grabber filters on. */
  std::mt19937 rng(56);
  struct {
    uint16_t pid;
    uint8_t table_id;
  } tables[] = {{0x231, 0xC8}, {0x234, 0xE6}, {0x284, 0xDC}, {0x236, 0x96}, {0x282, 0x96}};
  TsWriter w;
  w.Section(0x0000, TsMakePat(0x0400, {{0x100, 0x1000}}));
  w.Section(0x231, channels);
  for (int round = 0; round < 400; round++) {
    const auto &t = tables[1 + rng() % 4];
    Bytes body(rng() % 4093);
    for (auto &b : body) b = (uint8_t)rng();
    if (t.pid == 0x236 && !body.empty()) body[0] = 0;
    w.Section(t.pid, TsMakeSection(t.table_id, body, rng() % 2, rng() % 2));
    Bytes packet(188);
    for (auto &b : packet) b = (uint8_t)rng();
    packet[0] = 0x47;
    packet[1] = (uint8_t)((packet[1] & 0xE0) | (tables[rng() % 5].pid >> 8));
    packet[2] = (uint8_t)tables[rng() % 5].pid;
    w.Packet(packet);
  }
  std::string stream = g.dir + "/noise.ts";
  ASSERT_TRUE(w.Save(stream));
  std::string before;
  GrabResult r = GrabOverGuide(g, stream, &before);
  EXPECT_EQ(r.exit_code, 0) << r.log;
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "Total received mhw channels: 3")) << r.log;
  EXPECT_GT(CountPrefix(msgs, "Received invalid section. Ignoring."), 10u);
  EXPECT_TRUE(HasLine(msgs, "done"));
  EXPECT_EQ(HardIntegrity(g.root + "/guide.db"), "ok\n");
}

/* Saves "w" as "name" in the folder of "g" and grabs it as the demux. */
GrabResult GrabWritten(const GrabDir &g, TsWriter *w, const std::string &name) {
  std::string stream = g.dir + "/" + name;
  EXPECT_TRUE(w->Save(stream));
  g.WriteConfig("demux=" + stream + "\n");
  return g.Run({g.root}, {SIM_TZ});
}

/* A section of "size" bytes (header included) of table "table_id" whose
 * every byte after the header is 0xFF, but for "zero_at" (set to 0). */
Bytes SectionOfFF(uint8_t table_id, size_t size, int zero_at = -1) {
  Bytes body(size - 3, 0xFF);
  if (zero_at >= 3) body[(size_t)zero_at - 3] = 0;
  return TsMakeSection(table_id, body, true, false);
}

/* Sizes of the largest sections: the most a section may hold (4 096 bytes)
 * and the most its 12-bit length field can say (4 095 after the header). */
const size_t kLargestSections[] = {4096, 4098};

TEST(HardeningInput, SectionsWithEveryLengthAtItsMaximumAreRejectedAndNothingIsLost) {
  GrabDir g("max_lengths");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, SmallGuide(57), "", &e));
  /* The broadcast again, each table with a largest section of 0xFF bytes
   * among its own (the 3-day summary's continuation byte 0, so that its
   * lengths are read). */
  struct {
    uint16_t pid;
    uint8_t table_id;
    int zero_at;
  } tables[] = {{0x234, 0xE6, -1}, {0x284, 0xDC, -1}, {0x236, 0x96, 6}, {0x282, 0x96, -1}};
  for (size_t size : kLargestSections) {
    SCOPED_TRACE(size);
    TsWriter w;
    w.Section(0x0000, TsMakePat(0x0400, {{0x100, 0x1000}}));
    w.Section(0x231, HardRecordingSections(e.stream, 0x231, 0xC8).at(0));
    for (const auto &t : tables) {
      auto sections = HardRecordingSections(e.stream, t.pid, t.table_id);
      ASSERT_FALSE(sections.empty()) << t.pid;
      for (size_t i = 0; i < sections.size(); i++) {
        if (i == sections.size() / 2) w.Section(t.pid, SectionOfFF(t.table_id, size, t.zero_at));
        w.Section(t.pid, sections[i]);
      }
    }
    unlink((g.root + "/guide.db").c_str());
    GrabResult r = GrabWritten(g, &w, "max.ts");
    EXPECT_EQ(r.exit_code, 0);
    Lines msgs = LogMessages(r.log);
    /* Every largest section is refused; but a 3-day event section of
     * 4 098 bytes holds 48 whole entries of 85 bytes after its count byte,
     * so its size walk ends on its last byte and its entries are refused
     * one by one for their channel id 255 instead. */
    size_t channel_refusals =
        CountPrefix(msgs, "ProcessMHW2Events3days() - Invalid channel id received: 255 (ignoring)");
    EXPECT_EQ(channel_refusals, size == 4098 ? 48u : 0u) << r.log;
    EXPECT_EQ(CountPrefix(msgs, "Received invalid section. Ignoring."), channel_refusals ? 3u : 4u) << r.log;
    /* Each table was read whole, its largest section included. */
    for (int pass = 0; pass < 4; pass++)
      EXPECT_TRUE(HasLine(msgs, std::string("Processing ") + SimPassName(pass) + " (tot_sections=" +
                                    std::to_string(e.Stat(SimPassSections(pass)) + 1) + ")"))
          << SimPassName(pass) << "\n" << r.log;
    EXPECT_TRUE(HasLine(msgs, "Data saved"));
    SimCheckRows(e.rows, SimDumpDatabase(g.root));
  }
}

TEST(HardeningInput, ChannelSectionWithEveryLengthAtItsMaximumIsRejected) {
  for (size_t size : kLargestSections) {
    SCOPED_TRACE(size);
    GrabDir g("max_channels");
    TsWriter w;
    w.Section(0x0000, TsMakePat(0x0400, {{0x100, 0x1000}}));
    /* 255 channels whose names claim 15 bytes each: more than the section. */
    w.Section(0x231, SectionOfFF(0xC8, size, 3));
    GrabResult r = GrabWritten(g, &w, "max_channels.ts");
    EXPECT_EQ(r.exit_code, 0);
    Lines msgs = LogMessages(r.log);
    EXPECT_TRUE(HasLine(msgs, "ProcessMHW2Channels() - Invalid MHW channel list (1)")) << r.log;
    EXPECT_EQ(CountPrefix(msgs, " MHW channel="), 0u);
    EXPECT_TRUE(HasLine(msgs, "Nothing added to database"));
    EXPECT_TRUE(HasLine(msgs, "done"));
  }
}

TEST(HardeningInput, EndlessTableKeepsMemoryWithinTheCollectorBound) {
  GrabDir g("endless_rss");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, SmallGuide(58), "", &e));
  /* Largest 3-day event sections that list no events; the adapter makes
   * every one it delivers new, so the table never comes round. */
  TsWriter w;
  w.Section(0x0000, TsMakePat(0x0400, {{0x100, 0x1000}}));
  w.Section(0x231, HardRecordingSections(e.stream, 0x231, 0xC8).at(0));
  for (int i = 0; i < 4; i++) {
    Bytes body(4093 - 4, 0);
    body[0] = (uint8_t)i;
    w.Section(0x234, TsMakeSection(0xE6, body, true, true));
  }
  std::string stream = g.dir + "/endless.ts";
  ASSERT_TRUE(w.Save(stream));
  for (const auto &sec : HardRecordingSections(stream, 0x234, 0xE6)) ASSERT_EQ(sec.size(), 4096u);
  g.WriteConfig("demux=/dev/dvb/adapter0/demux0\nDownload_7_Days=0\n");
  HardChild c;
  ASSERT_TRUE(HardStart(&c, g.exe, {g.exe, g.root}, AdapterEnv({"VDVB_DEMUX0=" + stream, "VDVB_CHANGING0=1"})));
  EXPECT_EQ(HardFinish(&c, 300), 0);
  Lines msgs = LogMessages(ReadFileText(g.LogPath()));
  /* The collector stops at the section that takes the memory it holds past
   * 256 MiB, each section counted with its list node and the heap's
   * bookkeeping of the two blocks. */
  const int64_t bound = 256ll * 1024 * 1024;
  const int64_t per_section = 4096 + (int64_t)sizeof(RawSection) + 2 * 16;
  const int sections = (int)(bound / per_section + 1);
  EXPECT_TRUE(HasLine(msgs, "DemuxGetAllSections() - Table on PID 0x234 did not repeat within 268435456 bytes. "
                            "Stopping with " + std::to_string(sections) + " sections"))
      << ReadFileText(g.LogPath());
  EXPECT_TRUE(HasLine(msgs, "Processing 3 days events (tot_sections=" + std::to_string(sections) + ")"));
  EXPECT_TRUE(HasLine(msgs, "done"));
  int64_t peak = (int64_t)c.usage.ru_maxrss * 1024;
  printf("[ memory   ] peak resident size %lld MiB for %d sections of 4096 bytes\n",
         (long long)(peak >> 20), sections);
  if (HARD_SANITIZED) return; /* the sanitizer's own memory dwarfs the guide's */
  /* The sections held, their list nodes and allocator rounding, the
   * program and its libraries: the bound and a margin, no more. */
  EXPECT_GE(peak, bound - bound / 16) << "the table was not held";
  EXPECT_LE(peak, bound + bound / 16 + (32ll << 20)) << "memory beyond the collector's bound";
}

TEST(HardeningInput, SummarySharedByThousandsOfEventsStopsAtTheDecodedTextLimit) {
  GrabDir g("text_limit");
  /* 33 000 3-day events that share one 7-day summary of 4 052 bytes: each
   * title hands over 4 072 bytes of text (an empty title, then "Resumen
   * compartido", two line feeds and the text), so 32 961 titles fit the
   * 128 MiB limit and the 39 events attached last are left out. */
  std::string stream = g.dir + "/shared.ts";
  ASSERT_EQ(SimShell(SimExe() + " --hostile shared-summary --events 33000 --start " + SimToday() + " -o " +
                     stream + " 2>/dev/null"),
            0);
  g.WriteConfig("demux=" + stream + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ}, 600);
  EXPECT_EQ(r.exit_code, 0);
  /* The frontend sees the run it always sees. */
  Lines out = SplitLines(r.out);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), "LOGTEXT Done. 100 channels - 33000 events - 33000 summaries");
  Lines msgs = LogMessages(r.log);
  Lines tail = {"Processing 7 days summaries (tot_sections=1)",
                "StoreEventWithAliases() - Decoded text would pass 134217728 bytes: this and every later "
                "event are left out",
                "Received 33000 NEW 7 days summaries",
                "100 channels - 33000 events - 33000 summaries",
                "33000 events with summary - 0 events without summary",
                "39 events left out by the limit of decoded text",
                "Data saved",
                "32961 titles saved - 0 stored titles replaced - 0 expired",
                "The saved guide is partial",
                "EPGDB closed and memory cleaned",
                "done",
                ""};
  ASSERT_GE(msgs.size(), tail.size());
  EXPECT_EQ(Lines(msgs.end() - (long)tail.size(), msgs.end()), tail) << r.log;
  /* Every title stored has the whole long description (its two line
   * feeds written as two characters each). */
  Lines titles = SplitLines(GuideTitleTexts(g.root));
  EXPECT_EQ(titles.size(), 32961u);
  size_t whole = 0;
  for (const std::string &t : titles) {
    std::string long_description = t.substr(t.rfind('|') + 1);
    if (long_description.size() == 4074 && long_description.compare(0, 22, "Resumen compartido\\n\\n") == 0)
      whole++;
  }
  EXPECT_EQ(whole, 32961u);
}

/* ---- the guide database file ---- */

TEST(HardeningInput, DatabaseFileThatIsNotAGuideIsRefusedAndLeftAsItWas) {
  std::mt19937 rng(59);
  struct Case {
    const char *what;
    std::string bytes;
  } cases[] = {
      {"random", RandomBytes(&rng, 65536)},
      {"text", "channels and titles\n"},
      {"sqlite_header_only", std::string("SQLite format 3\0", 16) + RandomBytes(&rng, 4080)},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.what);
    GrabDir g(std::string("notdb_") + k.what);
    ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
    std::string db = g.root + "/guide.db";
    WriteFileText(db, k.bytes);
    GrabResult r = g.Run({g.root}, AdapterEnv());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n");
    Lines msgs = LogMessages(r.log);
    ASSERT_GE(msgs.size(), 2u);
    EXPECT_EQ(msgs[msgs.size() - 2], "Error opening EPGDB") << r.log;
    EXPECT_EQ(msgs.back(), "EPGDB: " + db + ": not a guide database (file is not a database)");
    EXPECT_TRUE(ReadFileText(db) == k.bytes) << "the file was changed";
    EXPECT_EQ(ShellOutput("ls -A '" + g.root + "'"), "guide.db\n");
  }
  /* A real SQLite file of another application. */
  GrabDir g("notdb_other");
  ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
  std::string db = g.root + "/guide.db";
  ShellOutput("sqlite3 '" + db + "' 'CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES(1);'");
  std::string bytes = ReadFileText(db);
  ASSERT_FALSE(bytes.empty());
  GrabResult r = g.Run({g.root}, AdapterEnv());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(LogMessages(r.log).back().rfind("EPGDB: " + db + ": schema version 0, expected 1 to ", 0), 0u)
      << r.log;
  EXPECT_TRUE(ReadFileText(db) == bytes);

  /* An empty file (left by a crash right after it was made) is a new
   * database, not a foreign file. */
  GrabDir e("empty_db");
  ASSERT_EQ(mkdir(e.root.c_str(), 0755), 0);
  WriteFileText(e.root + "/guide.db", "");
  r = e.Run({e.root}, AdapterEnv());
  EXPECT_EQ(r.exit_code, 0) << r.log;
  EXPECT_EQ(GuideTitleCount(e.root), 0);
}

}  // namespace
