/* Whole runs of the grabber on simulated broadcasts through the virtual DVB
 * adapter: the demux is found by auto-detection, and a table that is not on
 * air ends its collection by the 60-second timeout (on the adapter's virtual
 * clock, so the run itself stays short). */
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/sim_helpers.h"
#include "support/run_helper.h"

namespace {

using Lines = std::vector<std::string>;

/* Status lines without the spinner's, whose number follows time. */
Lines WithoutSpinner(const std::string &out) {
  Lines kept;
  for (const auto &l : SplitLines(out))
    if (!(l.size() > 4 && l.compare(l.size() - 4, 2, " (") == 0 && l.back() == ')' &&
          std::string("|/-\\").find(l[l.size() - 2]) != std::string::npos))
      kept.push_back(l);
  return kept;
}

/* Log lines without the timestamps that start the main log's messages. */
Lines WithoutTimestamps(const std::string &log) {
  Lines kept;
  for (const auto &l : SplitLines(log)) {
    bool stamped = l.size() >= 20 && l[2] == '/' && l[5] == '/' && l[10] == ' ' && l[13] == ':' &&
                   l[16] == ':' && l[19] == ' ';
    kept.push_back(stamped ? l.substr(20) : l);
  }
  return kept;
}

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

/* "lines" without every copy of "line". */
Lines Without(Lines lines, const std::string &line) {
  lines.erase(std::remove(lines.begin(), lines.end(), line), lines.end());
  return lines;
}

/* The virtual clock on the last line of the trace at "path", ms; -1 without it. */
long TraceClock(const std::string &path) {
  Lines t = SplitLines(ReadFileText(path));
  return !t.empty() && t.back().compare(0, 6, "clock ") == 0 ? atol(t.back().c_str() + 6) : -1;
}


std::string AdapterGuide(int seed, const std::string &more = "") {
  return "--random --seed " + std::to_string(seed) + " --start " + SimToday() +
         " --channels 3 --days 4 --events-per-day 5 --mid-cycle --pack " + more;
}

TEST(SimAdapter, AutoDetectionFindsTheDemuxThatCarriesTheGuide) {
  GrabDir g("adapter");
  /* demux1 carries a PAT but no guide; demux2 carries the guide. */
  SimExpectation empty, e;
  ASSERT_EQ(SimShell(SimExe() + " " + AdapterGuide(31, "--omit channels --omit events3 --omit events7 "
                                                     "--omit summaries3 --omit summaries7") +
                     " -o " + g.dir + "/empty.ts 2>/dev/null"),
            0);
  ASSERT_TRUE(SimGenerate(g.dir, AdapterGuide(31), "", &e));
  g.WriteConfig("debug=1\n");
  GrabResult r = g.Run({g.root}, AdapterEnv({SIM_TZ, "VDVB_DEMUX1=" + g.dir + "/empty.ts", "VDVB_DEMUX2=" + e.stream}));
  EXPECT_EQ(r.exit_code, 0);
  const std::string found = "/dev/dvb/adapter0/demux2";
  SimCheckStatusLines(r.out, g.name, e);
  SimCheckMainLog(r.log, g.name, g.exe, g.root, found, e,
                  {"Enabling FULL debug log", "DemuxInit() - Error opening demux (/dev/dvb/adapter0/demux0)",
                   "Detected demux: " + found},
                  "");
  SimCheckDebugLog(r, e);
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
  EXPECT_GT(e.Stat("total_events"), 30);
}

TEST(SimAdapter, TableNotOnAirEndsByTheCollectorTimeout) {
  GrabDir g("adapter_gone");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, AdapterGuide(32, "--omit summaries3"), "", &e));
  g.WriteConfig("debug=1\ndemux=/dev/dvb/adapter0/demux0\n");
  GrabResult r = g.Run({g.root}, AdapterEnv({SIM_TZ, "VDVB_DEMUX0=" + e.stream}));
  EXPECT_EQ(r.exit_code, 0);
  SimCheckStatusLines(r.out, g.name, e);
  /* The spinner keeps turning through the minute of waiting, which the
   * tables collected at once spend in the first pass: a line at most once
   * a second, so between some twenty and sixty of them. */
  int activity = SimCount(r.out, "LOGTEXT Downloading 3 days events (") - 1;
  EXPECT_GE(activity, 20) << r.out;
  EXPECT_LE(activity, 61) << r.out;
  SimCheckMainLog(r.log, g.name, g.exe, g.root, "/dev/dvb/adapter0/demux0", e,
                  {"Enabling FULL debug log", "Changing demux to: /dev/dvb/adapter0/demux0"},
                  "DemuxGetAllSections() - Timeout reading data from sat");
  SimCheckDebugLog(r, e);
  SimCheckRows(e.rows, SimDumpDatabase(g.root));
}

/* A simulated week on a multiplex where every table has a bit rate, and so
 * a cycle time, of its own. */
std::string RatedGuide(int seed, const std::string &more = "") {
  return "--random --seed " + std::to_string(seed) + " --start " + SimToday() +
         " --channels 5 --days 4 --events-per-day 6 --continuations --mid-cycle --noise --cycles 1"
         " --mux-rate 100000 --rate events3=2000 --rate events7=1500 --rate summaries3=3000"
         " --rate summaries7=4000 " + more;
}
const char kRatedBitrate[] = "VDVB_BITRATE=100000";

struct Grab {
  GrabResult r;
  std::string rows; /* the titles stored, as the simulator prints them */
  long clock_ms = -1;
};

/* Grabs "e" into an empty database root with the configuration lines
 * "config" after debug=1, on the virtual adapter with "vars" (trace
 * "tag".trace) unless "recording"; checks the exit code. */
Grab GrabWay(const GrabDir &g, const SimExpectation &e, const std::string &tag, const std::string &config,
             std::vector<std::string> vars, bool recording = false) {
  SCOPED_TRACE(tag);
  Grab out;
  const std::string root = g.root, trace = g.dir + "/" + tag + ".trace";
  SimShell("rm -rf '" + root + "'");
  g.WriteConfig("debug=1\n" + std::string(recording ? "demux=" + e.stream : "demux=/dev/dvb/adapter0/demux0") +
                "\n" + config);
  vars.push_back(SIM_TZ);
  if (!recording) {
    vars.push_back("VDVB_DEMUX0=" + e.stream);
    vars.push_back("VDVB_TRACE=" + trace);
    vars = AdapterEnv(vars);
  }
  out.r = g.Run({root}, vars);
  EXPECT_EQ(out.r.exit_code, 0);
  out.rows = SimDumpDatabase(root);
  out.clock_ms = TraceClock(trace);
  return out;
}

TEST(SimAdapter, TablesAtOnceGrabTheSameGuideInTheTimeOfTheLongestCycle) {
  GrabDir g("at_once");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, RatedGuide(33), "", &e));
  double longest = 0, sum = 0;
  for (const char *t : {"events3", "events7", "summaries3", "summaries7"}) {
    double c = e.Seconds(std::string("cycle_") + t);
    ASSERT_GT(c, 10.0) << t;
    longest = std::max(longest, c);
    sum += c;
  }
  Grab seq = GrabWay(g, e, "seq", "ParallelDownload=0\n", {kRatedBitrate});
  Grab par = GrabWay(g, e, "par", "", {kRatedBitrate});
  Grab one = GrabWay(g, e, "one", "", {kRatedBitrate, "VDVB_SINGLE_OPEN=1"});
  for (const Grab *way : {&seq, &par, &one}) SimCheckRows(e.rows, way->rows);

  /* The frontend and the logs see the same run; on air the tables start at
   * other places of their cycles, so the debug log holds the same lines in
   * another order. */
  SimCheckStatusLines(par.r.out, g.name, e);
  EXPECT_EQ(WithoutSpinner(par.r.out), WithoutSpinner(seq.r.out));
  EXPECT_EQ(LogMessages(par.r.log), LogMessages(seq.r.log));
  EXPECT_EQ(Sorted(WithoutTimestamps(par.r.debug_log)), Sorted(WithoutTimestamps(seq.r.debug_log)));
  /* One table after another takes the sum of the cycles, all at once the
   * longest one (and the wait for the channel table). */
  EXPECT_GE(seq.clock_ms, (long)(sum * 1000));
  EXPECT_GE(par.clock_ms, (long)(longest * 1000));
  EXPECT_LE(par.clock_ms, (long)(longest * 1100)) << "limit " << longest << " s";

  /* A demux that takes one open at a time: one line, then the same run as
   * one table after another. */
  const std::string refused = "DemuxCollectStart() - Demux /dev/dvb/adapter0/demux0 refused a second open "
                              "(Device or resource busy). Reading one table at a time";
  Lines msgs = LogMessages(one.r.log);
  ASSERT_EQ(std::count(msgs.begin(), msgs.end(), refused), 1) << one.r.log;
  EXPECT_EQ(*(std::find(msgs.begin(), msgs.end(), refused) - 1), "Total received mhw channels: 5");
  EXPECT_EQ(Without(msgs, refused), LogMessages(seq.r.log));
  EXPECT_EQ(Without(WithoutTimestamps(one.r.debug_log), refused), WithoutTimestamps(seq.r.debug_log));
  EXPECT_EQ(WithoutSpinner(one.r.out), WithoutSpinner(seq.r.out));
  EXPECT_GE(one.clock_ms, (long)(sum * 1000));

  /* A recording is played from its start for every table either way: every
   * output the same, line for line. */
  Grab rec_seq = GrabWay(g, e, "rec_seq", "ParallelDownload=0\n", {}, true);
  Grab rec_par = GrabWay(g, e, "rec_par", "", {}, true);
  SimCheckRows(e.rows, rec_seq.rows);
  SimCheckRows(e.rows, rec_par.rows);
  EXPECT_EQ(WithoutSpinner(rec_par.r.out), WithoutSpinner(rec_seq.r.out));
  EXPECT_EQ(LogMessages(rec_par.r.log), LogMessages(rec_seq.r.log));
  EXPECT_EQ(WithoutTimestamps(rec_par.r.debug_log), WithoutTimestamps(rec_seq.r.debug_log));
}

/* The line of a table that lost sections beside the others and is read again alone. */
std::string ReadAgain(const char *pid) {
  return std::string("DemuxCollectTake() - Table on PID ") + pid +
         " lost sections while read beside the others. Reading it again on its own";
}

TEST(SimAdapter, TableWhoseQueueOverflowedBesideOthersIsReadAgainAlone) {
  GrabDir g("overflow");
  SimExpectation e;
  /* 7-day summary sections come several times a second. */
  ASSERT_TRUE(SimGenerate(g.dir, RatedGuide(34, "--rate summaries7=16000"), "--no-3-days", &e));
  /* The first read of a 7-day event section keeps the reader 40 s while
   * the 7-day summaries fill the kernel's 8 KiB queue of their descriptor. */
  const std::vector<std::string> stall = {kRatedBitrate, "VDVB_REFUSE_BUFFER=1", "VDVB_STALL=284:40000"};
  Grab r = GrabWay(g, e, "stall", "Download_3_Days=0\n", stall);
  Grab seq = GrabWay(g, e, "stall_seq", "Download_3_Days=0\nParallelDownload=0\n", stall);
  Lines msgs = LogMessages(r.r.log);
  const std::string again = ReadAgain("0x282");
  auto pass = std::find(msgs.begin(), msgs.end(), "Downloading 7 days summaries");
  ASSERT_NE(pass, msgs.end()) << r.r.log;
  EXPECT_EQ(pass[1], again);
  /* The overflowed collection is dropped with its messages: the run stores
   * and logs what one table after another does, but for that one line. */
  SimCheckRows(e.rows, r.rows);
  SimCheckRows(seq.rows, r.rows);
  EXPECT_EQ(Without(msgs, again), LogMessages(seq.r.log));
  EXPECT_EQ(WithoutSpinner(r.r.out), WithoutSpinner(seq.r.out));
  EXPECT_TRUE(HasLine(msgs, "Processing 7 days summaries (tot_sections=" +
                                std::to_string(e.Stat("sections_summaries7")) + ")"));
  /* The overflow met the 7-day summaries while the 7-day events were read. */
  Lines t = SplitLines(ReadFileText(g.dir + "/stall.trace"));
  auto stalled = std::find(t.begin(), t.end(), "stall 0 pid=0x284 40000");
  ASSERT_NE(stalled, t.end());
  auto at = std::find_if(stalled, t.end(), [](const std::string &l) { return l.compare(0, 11, "overflow 0 ") == 0; });
  ASSERT_LT(at + 2, t.end());
  EXPECT_EQ(at[1], "stop 0");
  EXPECT_EQ(at[2], "filter 0 pid=0x282 filter=96.00 mask=FF.00 timeout=1000");

  /* A slow read of the 7-day summaries overflows the 3-day summaries' queue;
   * the tables that kept their sections are not read again. */
  SimExpectation w;
  ASSERT_TRUE(SimGenerate(g.dir, RatedGuide(35, "--rate summaries3=12000"), "", &w));
  const std::vector<std::string> slow = {kRatedBitrate, "VDVB_REFUSE_BUFFER=1", "VDVB_STALL=282:10000"};
  Grab week = GrabWay(g, w, "week", "", slow);
  Grab week_seq = GrabWay(g, w, "week_seq", "ParallelDownload=0\n", slow);
  SimCheckRows(w.rows, week.rows);
  SimCheckRows(week_seq.rows, week.rows);
  Lines wm = LogMessages(week.r.log);
  EXPECT_EQ(std::count(wm.begin(), wm.end(), ReadAgain("0x236")), 1) << week.r.log;
  EXPECT_EQ(SimCount(week.r.log, "lost sections while read beside the others"), 1);
  EXPECT_EQ(Without(wm, ReadAgain("0x236")), LogMessages(week_seq.r.log));
}

}  // namespace
