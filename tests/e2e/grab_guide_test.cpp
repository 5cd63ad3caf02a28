/* The grabber on a recorded stream with a whole MHW2 guide: channels, 3-day
 * and 7-day events and summaries, an alias and UTF-8 conversion. Checks the
 * status lines, the main log's counts and the rows of guide.db; then its
 * command line and the reasons it gives on standard error. */
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mhw2/mhw2_fixture.h"
#include "support/guide_dump.h"

namespace {

/* Tomorrow (UTC) as a day number, so that the guide database keeps every
 * title of the recording; taken once, so that midnight cannot pass between
 * writing the recording and checking the rows. */
int Tomorrow(void) {
  static const int day = (int)(time(nullptr) / 86400) + 40587 + 1;
  return day;
}

std::string Hex(const std::string &s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    snprintf(buf, sizeof(buf), "%02X", c);
    out += buf;
  }
  return out;
}

/* One expected row of guide.db, as the query below prints it. */
std::string Row(int sid, int hour, const std::string &description, const std::string &long_text) {
  time_t start = (time_t)(Tomorrow() - 40587) * 86400 + hour * 3600;
  time_t local = start + 2 * 3600; /* the run's zone is two hours east of UTC */
  struct tm tm;
  gmtime_r(&local, &tm);
  int event_id = (tm.tm_mday * 24 + tm.tm_hour) * 60 + tm.tm_min;
  return std::to_string(sid) + "|" + std::to_string((long long)start) + "|3600|" +
         std::to_string(event_id) + "|1|spa|" + Hex(description) + "|" + Hex(long_text);
}

bool IsSpinnerLine(const std::string &line) {
  size_t n = line.size();
  return n > 4 && line.compare(0, 8, "LOGTEXT ") == 0 && line[n - 1] == ')' && line[n - 3] == '(' &&
         std::string("|/-\\").find(line[n - 2]) != std::string::npos;
}

TEST(GrabGuide, RecordedGuideReachesTheGuideDatabase) {
  GrabDir g("guide");
  std::string ts = g.dir + "/guide.ts";
  ASSERT_TRUE(SaveSampleGuide(ts, (uint16_t)Tomorrow()));
  g.WriteConfig("demux=" + ts + "\nConvertToUTF8=1\nalias=1F41:402:1,3001:403:1\n");

  GrabResult r = g.Run({g.root}, {"TZ=XXX-2"});
  EXPECT_EQ(r.exit_code, 0) << r.log;

  std::string out;
  for (const std::string &line : SplitLines(r.out))
    if (!IsSpinnerLine(line)) out += line + "\n";
  EXPECT_EQ(out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n" +
                     "LOGTEXT Downloading channels\n"
                     "LOGTEXT Downloading channels (3)\n"
                     "LOGTEXT Downloading 3 days events\n"
                     "LOGTEXT Processing 3 days events\n"
                     "PROGRESS ON\nPROGRESS 0\nPROGRESS 50\nPROGRESS OFF\n"
                     "LOGTEXT Downloading 3 days events (4)\n"
                     "LOGTEXT Downloading 7 days events\n"
                     "LOGTEXT Processing 7 days events\n"
                     "PROGRESS ON\nPROGRESS 0\nPROGRESS 50\nPROGRESS OFF\n"
                     "LOGTEXT Downloading 7 days events (2)\n"
                     "LOGTEXT Downloading 3 days summaries\n"
                     "LOGTEXT Processing 3 days summaries\n"
                     "PROGRESS ON\nPROGRESS 0\nPROGRESS 33\nPROGRESS 66\nPROGRESS OFF\n"
                     "LOGTEXT Downloading 3 days summaries (2)\n"
                     "LOGTEXT Downloading 7 days summaries\n"
                     "LOGTEXT Processing 7 days summaries\n"
                     "PROGRESS ON\nPROGRESS 0\nPROGRESS 25\nPROGRESS 50\nPROGRESS 75\nPROGRESS OFF\n"
                     "LOGTEXT Downloading 7 days summaries (2)\n"
                     "LOGTEXT Adding events without summary\n"
                     "LOGTEXT Done. 3 channels - 6 events - 4 summaries\n");

  auto log = LogMessages(r.log);
  EXPECT_TRUE(HasLine(log, "3 channels - 6 events - 4 summaries")) << r.log;
  EXPECT_TRUE(HasLine(log, "4 events with summary - 2 events without summary")) << r.log;
  EXPECT_TRUE(HasLine(log, "Data saved")) << r.log;

  /* The stored titles as "sid|start|length|event_id|flags|language|texts",
   * by service id and start. */
  std::vector<std::pair<std::pair<long, long>, std::string>> by_sid;
  for (const std::string &line : SplitLines(GuideDump(g.root))) {
    if (line.compare(0, 8, "channel ") == 0) continue;
    std::vector<std::string> f;
    for (size_t at = 0, bar; at <= line.size(); at = bar + 1) {
      bar = std::min(line.find('|', at), line.size());
      f.push_back(line.substr(at, bar - at));
    }
    ASSERT_EQ(f.size(), 9u) << line;
    std::string sid = f[0].substr(f[0].rfind(':') + 1);
    by_sid.push_back({{std::stol(sid), std::stol(f[1])},
                      sid + "|" + f[1] + "|" + f[2] + "|" + f[3] + "|" + f[5] + "|" + f[6] + "|" +
                          f[7] + "|" + f[8]});
  }
  std::sort(by_sid.begin(), by_sid.end());
  std::vector<std::string> rows;
  for (const auto &row : by_sid) rows.push_back(row.second);
  /* UTF-8 throughout; channel 0x1F41's titles again under its alias 0x3001. */
  std::vector<std::string> expected = {
      Row(0x1F41, 18, "Noticias", "Resumen\n\nL\xC3\xADnea uno Linea dos"),
      Row(0x1F41, 19, "Concurso", "Preguntas\n\nMuchas"),
      Row(0x1F41, 20, "Tarde", "Charla\n\nHasta tarde"),
      Row(0x1F42, 18, "Pel\xC3\xAD" "cula", "Pel\xC3\xAD" "cula\n\n"),
      Row(0x1F42, 21, "Documental", "Naturaleza\n\nAnimales"),
      Row(0x2001, 18, "Deportes", "Deportes\n\n"),
      Row(0x3001, 18, "Noticias", "Resumen\n\nL\xC3\xADnea uno Linea dos"),
      Row(0x3001, 19, "Concurso", "Preguntas\n\nMuchas"),
      Row(0x3001, 20, "Tarde", "Charla\n\nHasta tarde"),
  };
  EXPECT_EQ(rows, expected);
}

/* Runs "cd <g.dir> && ./<name> <args>" (shell words); standard output and
 * error in "out" and "err". Returns the exit code. */
int GrabInDir(const GrabDir &g, const std::string &args, std::string *out, std::string *err) {
  std::string code = ShellOutput("cd " + g.dir + " && ./" + g.name + " " + args + " >out.txt 2>err.txt; echo $?");
  *out = ReadFileText(g.dir + "/out.txt");
  *err = ReadFileText(g.dir + "/err.txt");
  return atoi(code.c_str());
}

/* --help, -h and --version answer on standard output and touch nothing;
 * any other option is refused before anything is opened; a root that begins
 * with '-' is reachable as ./-NAME, and a demux that cannot be opened is
 * named on standard error with the main log's path. */
TEST(GrabGuide, CommandLineExplainsItselfAndTouchesNothing) {
  GrabDir g("options");
  std::string out, err;
  for (const char *help : {"--help", "-h"}) {
    EXPECT_EQ(GrabInDir(g, help, &out, &err), 0) << help;
    EXPECT_EQ(out.rfind("Usage: " + g.name + " [DB_ROOT]\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nExit codes: 0 "), std::string::npos) << out;
    EXPECT_EQ(err, "") << help;
  }
  EXPECT_EQ(GrabInDir(g, "--version", &out, &err), 0);
  EXPECT_EQ(out, g.name + " 1.0\n");
  for (const char *refused : {"-x", "--root=/tmp", "--", "-"}) {
    EXPECT_EQ(GrabInDir(g, std::string("'") + refused + "' ignored", &out, &err), 1) << refused;
    EXPECT_EQ(out, "") << refused;
    EXPECT_EQ(err.rfind(g.name + ": unknown option '" + refused + "'", 0), 0u) << err;
    EXPECT_NE(err.find("\nUsage: " + g.name + " [DB_ROOT]\n"), std::string::npos) << err;
  }
  struct stat st;
  EXPECT_NE(stat(g.LogPath().c_str(), &st), 0) << "no main log was written";
  EXPECT_EQ(ShellOutput("ls -A " + g.dir), "err.txt\n" + g.name + "\nout.txt\n") << "nothing else was created";

  /* "./-db" is a root; the demux of this run is a file that is not there. */
  g.WriteConfig("demux=" + g.dir + "/none.ts\n");
  EXPECT_EQ(GrabInDir(g, "./-db", &out, &err), 0) << err;
  EXPECT_EQ(out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n");
  EXPECT_EQ(err, g.name + ": the demux " + g.dir + "/none.ts could not be opened (No such file or directory): " +
                     "nothing was grabbed; see the main log " + g.LogPath() + "\n");
  EXPECT_EQ(stat((g.dir + "/-db/guide.db").c_str(), &st), 0);
  EXPECT_TRUE(HasLine(LogMessages(ReadFileText(g.LogPath())), "db_root = ./-db"));
}

/* A run that finds no demux or cannot open the guide database says so in
 * one line on standard error with the root and the main log's path;
 * standard output keeps the status lines only. */
TEST(GrabGuide, ReasonsOfAFruitlessRunGoToStandardError) {
  GrabDir g("reasons");
  g.err_path = g.dir + "/stderr.txt";
  const std::string tail = "; see the main log " + g.LogPath() + "\n";
  const std::string banner = "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n";

  /* Auto-detection on an adapter whose only demux never delivers. */
  g.WriteConfig("demux=auto\n");
  GrabResult r = g.Run({g.root}, AdapterEnv({"VDVB_SILENT0=1"}));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, banner);
  EXPECT_EQ(ReadFileText(g.err_path), g.name + ": no demux found: none of /dev/dvb/adapter0/demux0 to "
                                          "demux15 delivers the MHW2 channel table" + tail);

  /* A root below a regular file; then an empty root. The library may say
   * its own lines first: ours is the last. */
  WriteFileText(g.dir + "/file", "x");
  g.WriteConfig("demux=" + g.dir + "/none.ts\n");
  for (const std::string &root : {g.dir + "/file/db", std::string()}) {
    r = g.Run({root});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, banner);
    std::vector<std::string> lines = SplitLines(ReadFileText(g.err_path));
    ASSERT_FALSE(lines.empty()) << root;
    EXPECT_EQ(lines.back() + "\n",
              g.name + (root.empty() ? ": the guide database was not opened: the database root argument is empty"
                                     : ": the guide database at " + root + " could not be opened: root " + root +
                                           ": Not a directory") + tail);
  }
}

}  // namespace
