/* End-to-end support for grabs of simulated broadcasts: runs the broadcast
 * simulator, reads what it says a grab must store and report, and checks a
 * run's status lines, logs and guide database against that. */
#ifndef MHW2_TEST_SIM_HELPERS_H
#define MHW2_TEST_SIM_HELPERS_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_helper.h"

/* A local time zone away from UTC with summer time, written out so that no
 * zone database is needed. Grabber and simulator both run in it. */
#define SIM_TZ "TZ=CET-1CEST,M3.5.0,M10.5.0/3"

inline std::string SimExe() { return std::string(MHW2_BUILD_DIR) + "/mhw2sim"; }

/* Today's date (UTC) as YYYY-MM-DD: simulated guides start today, so that
 * the guide database keeps every title. */
inline std::string SimToday() {
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  char buf[16];
  strftime(buf, sizeof(buf), "%Y-%m-%d", &tm);
  return buf;
}

/* Runs a shell command; returns its exit status (-1 when it did not exit). */
inline int SimShell(const std::string &command) {
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* What the simulator says about one broadcast and one configuration. */
struct SimExpectation {
  std::string stream;                 /* path of the transport stream */
  std::string rows;                   /* --expect output */
  std::map<std::string, double> stats; /* --stats counts (and cycle seconds) */
  bool ran[4] = {false, false, false, false}; /* 3-day events, 7-day events, 3-day, 7-day summaries */
  struct Channel {
    std::string name;
    unsigned nid, tsid, sid;
  };
  std::vector<Channel> channels;      /* from the written guide */
  int Stat(const std::string &key) const { return (int)Seconds(key); }
  double Seconds(const std::string &key) const {
    auto it = stats.find(key);
    return it == stats.end() ? -1 : it->second;
  }
};

/* Generates "dir"/stream.ts from "guide_args" and asks for the expectation
 * under "grab_args" (--no-3-days, --utf8, --alias ...). Returns false (with
 * a test failure) when the simulator fails. */
inline bool SimGenerate(const std::string &dir, const std::string &guide_args, const std::string &grab_args,
                        SimExpectation *e) {
  e->stream = dir + "/stream.ts";
  std::string cmd = std::string(SIM_TZ) + " " + SimExe() + " " + guide_args + " -o " + e->stream +
                    " --write-guide " + dir + "/written.guide --expect " + dir + "/expect.txt --stats " + dir +
                    "/stats.txt " + grab_args + " 2>" + dir + "/sim.err";
  int rc = SimShell(cmd);
  if (rc != 0) {
    ADD_FAILURE() << "mhw2sim failed (" << rc << "): " << cmd << "\n" << ReadFileText(dir + "/sim.err");
    return false;
  }
  e->rows = ReadFileText(dir + "/expect.txt");
  std::istringstream st(ReadFileText(dir + "/stats.txt"));
  std::string key;
  while (st >> key) {
    if (key == "ran") {
      for (bool &r : e->ran) {
        int v = 0;
        st >> v;
        r = v != 0;
      }
      continue;
    }
    double v = 0;
    st >> v;
    e->stats[key] = v;
  }
  for (const auto &line : SplitLines(ReadFileText(dir + "/written.guide"))) {
    if (line.compare(0, 9, "channel \"") != 0) continue;
    size_t q = line.find('"', 9);
    SimExpectation::Channel c;
    c.name = line.substr(9, q - 9);
    if (sscanf(line.c_str() + q + 1, " nid=0x%X tsid=0x%X sid=0x%X", &c.nid, &c.tsid, &c.sid) != 3)
      ADD_FAILURE() << "unreadable channel line: " << line;
    e->channels.push_back(c);
  }
  return true;
}

/* The titles of "root"/guide.db in the simulator's expectation format. */
inline std::string SimDumpDatabase(const std::string &root) {
  return ShellOutput(SimExe() + " --dump-db '" + root + "' 2>&1");
}

/* Fails with the first differing line when the stored rows differ from the
 * expected ones. */
inline void SimCheckRows(const std::string &expected, const std::string &stored) {
  auto want = SplitLines(expected), got = SplitLines(stored);
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) i++;
  if (i == want.size() && i == got.size()) return;
  ADD_FAILURE() << "guide.db holds " << got.size() << " titles, expected " << want.size()
                << "; first difference at row " << i + 1 << "\n  expected: "
                << (i < want.size() ? want[i] : "(none)") << "\n  stored:   " << (i < got.size() ? got[i] : "(none)");
}

/* The pass names as the status lines and logs spell them. */
inline const char *SimPassName(int pass) {
  static const char *const names[4] = {"3 days events", "7 days events", "3 days summaries", "7 days summaries"};
  return names[pass];
}
inline const char *SimPassSections(int pass) {
  static const char *const keys[4] = {"sections_events3", "sections_events7", "sections_summaries3",
                                      "sections_summaries7"};
  return keys[pass];
}
inline const char *SimPassCount(int pass) {
  static const char *const keys[4] = {"events3", "events7", "summaries3", "summaries7"};
  return keys[pass];
}

/* Checks every status line of a run: banner, channel lines, for each pass
 * that runs its announcement, activity lines (any number, the spinner going
 * round |/-\ across the whole run, at least one in the first pass: the first
 * spinner call fires at once), processing line, progress lines and count,
 * and the closing lines. */
inline void SimCheckStatusLines(const std::string &out, const std::string &name, const SimExpectation &e) {
  std::vector<std::string> lines = SplitLines(out);
  size_t i = 0;
  auto expect_line = [&](const std::string &want) {
    if (i < lines.size() && lines[i] == want) {
      i++;
      return true;
    }
    ADD_FAILURE() << "status line " << i + 1 << ": expected \"" << want << "\", got \""
                  << (i < lines.size() ? lines[i] : "(end of output)") << "\"\n" << out;
    return false;
  };
  if (!expect_line("TYPE RUNNING CSCRIPT " + name + " v1.0")) return;
  if (!expect_line("LOGTEXT Downloading channels")) return;
  int channels = e.Stat("channels");
  if (channels > 0 && !expect_line("LOGTEXT Downloading channels (" + std::to_string(channels) + ")")) return;
  static const char spinner[] = "|/-\\";
  int spin = 0;
  bool first_pass = true;
  for (int pass = 0; pass < 4; pass++) {
    if (!e.ran[pass]) continue;
    std::string what = SimPassName(pass);
    if (!expect_line("LOGTEXT Downloading " + what)) return;
    int activity = 0;
    const std::string prefix = "LOGTEXT Downloading " + what + " (";
    while (i < lines.size() && lines[i].compare(0, prefix.size(), prefix) == 0 &&
           lines[i].size() == prefix.size() + 2) {
      std::string want = "LOGTEXT Downloading " + what + " (" + spinner[spin % 4] + ")";
      if (!expect_line(want)) return;
      spin++;
      activity++;
    }
    if (first_pass && activity == 0) ADD_FAILURE() << "no activity line while the first table was collected\n" << out;
    first_pass = false;
    if (!expect_line("LOGTEXT Processing " + what)) return;
    int n = e.Stat(SimPassSections(pass));
    if (n > 0) {
      if (!expect_line("PROGRESS ON")) return;
      for (int k = 0; k < n; k++)
        if (!expect_line("PROGRESS " + std::to_string(k * 100 / n))) return;
      if (!expect_line("PROGRESS OFF")) return;
    }
    if (!expect_line("LOGTEXT Downloading " + what + " (" + std::to_string(e.Stat(SimPassCount(pass))) + ")"))
      return;
  }
  if (e.Stat("total_events") > 0) {
    if (!expect_line("LOGTEXT Adding events without summary")) return;
    if (!expect_line("LOGTEXT Done. " + std::to_string(channels) + " channels - " +
                     std::to_string(e.Stat("total_events")) + " events - " +
                     std::to_string(e.Stat("summaries3") + e.Stat("summaries7")) + " summaries"))
      return;
  }
  if (i != lines.size()) ADD_FAILURE() << "unexpected status line " << i + 1 << ": \"" << lines[i] << "\"\n" << out;
}

/* Checks the main log messages of a grab: banner, "Config file", then
 * "config_messages" (what the configuration lines and the demux choice log,
 * in order), the database and demux lines with "demux", the channel table,
 * every pass that runs ("missing_message" where a table yields no section)
 * and the closing lines; the save's counts only with "save_counts" (a
 * library that counts its save). Lines the recording player adds about PIDs
 * absent from a file are left out of the log before comparing. */
inline void SimCheckMainLog(const std::string &log, const std::string &name, const std::string &exe,
                            const std::string &root, const std::string &demux, const SimExpectation &e,
                            const std::vector<std::string> &config_messages,
                            const std::string &missing_message, bool save_counts = true) {
  std::vector<std::string> want = {name + " v1.0", "Config file: " + exe + ".conf"};
  for (const auto &m : config_messages) want.push_back(m);
  want.push_back("db_root = " + root);
  want.push_back("EPGDB opened (root=" + root + ")");
  want.push_back("Using demux: " + demux);
  want.push_back("Receiving channels");
  int channels = e.Stat("channels");
  if (channels > 0) {
    want.push_back("Processing channels");
    char buf[128];
    for (const auto &c : e.channels) {
      snprintf(buf, sizeof(buf), ":%X:%X:%X", c.sid, c.tsid, c.nid);
      want.push_back(" MHW channel=\"" + c.name + "\"" + buf);
    }
    want.push_back("Total received mhw channels: " + std::to_string(channels));
  } else {
    want.push_back("ERROR: Channels not received!!");
  }
  for (int pass = 0; pass < 4; pass++) {
    if (!e.ran[pass]) continue;
    std::string what = SimPassName(pass);
    int n = e.Stat(SimPassSections(pass));
    want.push_back("Downloading " + what);
    if (n == 0) want.push_back(missing_message);
    want.push_back("Processing " + what + " (tot_sections=" + std::to_string(n) + ")");
    std::string count = std::to_string(e.Stat(SimPassCount(pass)));
    want.push_back(pass < 2 ? "Received " + count + " NEW unique " + what : "Received " + count + " NEW " + what);
  }
  int total = e.Stat("total_events");
  if (total > 0) {
    int summaries = e.Stat("summaries3") + e.Stat("summaries7");
    want.push_back(std::to_string(channels) + " channels - " + std::to_string(total) + " events - " +
                   std::to_string(summaries) + " summaries");
    want.push_back(std::to_string(e.Stat("with_summary")) + " events with summary - " +
                   std::to_string(e.Stat("without_summary")) + " events without summary");
    want.push_back("Data saved");
    /* Every grab here starts on a new database: nothing to replace or expire. */
    if (save_counts)
      want.push_back(std::to_string(SplitLines(e.rows).size()) +
                     " titles saved - 0 stored titles replaced - 0 expired");
  } else {
    want.push_back("Nothing added to database");
  }
  want.push_back("EPGDB closed and memory cleaned");
  want.push_back("done");
  want.push_back("");
  std::vector<std::string> got;
  for (const auto &m : LogMessages(log))
    if (m.compare(0, 38, "DemuxGetSection() - No section for PID") != 0) got.push_back(m);
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) i++;
  if (i == want.size() && i == got.size()) return;
  ADD_FAILURE() << "main log message " << i + 1 << ": expected \"" << (i < want.size() ? want[i] : "(end)")
                << "\", got \"" << (i < got.size() ? got[i] : "(end)") << "\"\n" << log;
}

/* How many times "needle" occurs in "text". */
inline int SimCount(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) n++;
  return n;
}

/* Checks the debug log of a run with debug=1: it starts with the debug
 * switch, dumps every collected section under its table's label, stores
 * every title (aliases included) with one "TARNWELL ADDING" line, notes
 * every 3-day continuation section and ends with the summaries that found
 * no event. */
inline void SimCheckDebugLog(const GrabResult &r, const SimExpectation &e) {
  ASSERT_TRUE(r.debug_log_exists);
  std::vector<std::string> lines = SplitLines(r.debug_log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].substr(20), "Enabling FULL debug log");
  const std::string &d = r.debug_log;
  EXPECT_EQ(SimCount(d, "\nMHW channels section =\n"), e.Stat("channels") > 0 ? 1 : 0);
  EXPECT_EQ(SimCount(d, "\nMHW event 3 days =\n"), e.Stat("sections_events3"));
  EXPECT_EQ(SimCount(d, "\nMHW event 7 days =\n"), e.Stat("sections_events7"));
  EXPECT_EQ(SimCount(d, "\nMHW2 3 DAYS SUMMARY SECTION =\n"), e.Stat("sections_summaries3"));
  EXPECT_EQ(SimCount(d, "\nMHW2 7 DAYS SUMMARY SECTION =\n"), e.Stat("sections_summaries7"));
  EXPECT_EQ(SimCount(d, "\nTARNWELL ADDING event - ch:'"), e.Stat("stores"));
  EXPECT_EQ(SimCount(d, "ProcessMHW2Summaries3days() - section is second part of previous summary\n"),
            e.Stat("continuations"));
  /* The count of the last summary pass that ran closes a run with events. */
  if (e.Stat("total_events") > 0) {
    EXPECT_EQ(SimCount(d, "\n" + std::to_string(e.Stat("summaries_without_event")) + " summaries without event\n"), 1);
  }
}

#endif
