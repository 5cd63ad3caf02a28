/* Whole runs of the grabber on simulated broadcasts through the virtual DVB
 * adapter: the demux is found by auto-detection, and a table that is not on
 * air ends its collection by the 60-second timeout (on the adapter's virtual
 * clock, so the run itself stays short). */
#include <gtest/gtest.h>

#include "e2e/sim_helpers.h"
#include "support/run_helper.h"

namespace {


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

}  // namespace
