/* The grabber against the virtual DVB adapter and against recorded streams:
 * auto-detection, the collector's limits in virtual time, device faults. */
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

#include "demux/collector.h"
#include "support/run_helper.h"
#include "tswriter.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

std::vector<std::string> Adapter(std::vector<std::string> vars) { return AdapterEnv(std::move(vars)); }

const std::string kDemux0 = "/dev/dvb/adapter0/demux0";

/* An MHW2 channel section with the channels "names" (service ids 0x100 + i,
 * transport stream 0x400, network 1) and eight spare bytes at its end. */
Bytes ChannelSection(const std::vector<std::string> &names) {
  Bytes body(117, 0); /* section bytes 3..119; byte 3 = 0x00 */
  body.push_back((uint8_t)names.size());
  for (size_t i = 0; i < names.size(); i++) {
    uint16_t words[4] = {0x0001, 0x0400, (uint16_t)(0x100 + i), 0};
    for (uint16_t w : words) {
      body.push_back((uint8_t)(w >> 8));
      body.push_back((uint8_t)w);
    }
  }
  for (const auto &n : names) {
    body.push_back((uint8_t)n.size());
    body.insert(body.end(), n.begin(), n.end());
  }
  body.insert(body.end(), 8, 0x00);
  return TsMakeSection(0xC8, body, false, false);
}

/* A 3-day (table id 0xE6) or 7-day (0xDC) event section numbered "index"
 * that lists no events (its entry count, byte 17 or 10, is 0), "size"
 * bytes long. */
Bytes EmptyEventSection(uint16_t index, size_t size, uint8_t table_id = 0xE6) {
  Bytes body(size - 7, 0);
  body[0] = (uint8_t)(index >> 8);
  body[1] = (uint8_t)index;
  return TsMakeSection(table_id, body, true, true);
}

/* A recording with the PAT, the channel table, "events" 3-day sections and
 * "events7" 7-day sections. */
std::string WriteStream(const GrabDir &g, const std::string &name, bool channels, int events,
                        size_t event_size = 200, int events7 = 0) {
  TsWriter w;
  w.Section(0x0000, TsMakePat(0x0400, {{0x100, 0x1000}}));
  if (channels) w.Section(0x231, ChannelSection({"Uno", "Dos"}));
  for (int i = 0; i < events; i++) w.Section(0x234, EmptyEventSection((uint16_t)i, event_size));
  for (int i = 0; i < events7; i++) w.Section(0x284, EmptyEventSection((uint16_t)i, event_size, 0xDC));
  std::string path = g.dir + "/" + name;
  EXPECT_TRUE(w.Save(path));
  return path;
}

size_t CountLines(const Lines &lines, const std::string &prefix) {
  return (size_t)std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
    return l.compare(0, prefix.size(), prefix) == 0;
  });
}

size_t IndexOf(const Lines &lines, const std::string &line) {
  return (size_t)(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

/* True when every line of "wanted" is in "lines", in this order. */
bool InOrder(const Lines &lines, const Lines &wanted) {
  auto at = lines.begin();
  for (const auto &w : wanted) {
    at = std::find(at, lines.end(), w);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

TEST(DemuxVirtualAdapter, AutoDetectionFindsDemux2WhileDemux1IsMissing) {
  GrabDir g("vdvb_auto");
  std::string no_channels = WriteStream(g, "pat_only.ts", false, 0);
  std::string guide = WriteStream(g, "guide.ts", true, 0);
  std::string trace = g.dir + "/trace";
  g.WriteConfig("# demux left to auto-detection\n");
  GrabResult r = g.Run({g.root}, Adapter({"VDVB_DEMUX0=" + no_channels, "VDVB_DEMUX2=" + guide,
                                          "VDVB_DEMUX3=" + guide, "VDVB_TRACE=" + trace}));
  EXPECT_EQ(r.exit_code, 0) << r.log;
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "Detected demux: /dev/dvb/adapter0/demux2")) << r.log;
  EXPECT_TRUE(HasLine(msgs, "Using demux: /dev/dvb/adapter0/demux2"));
  EXPECT_EQ(CountLines(msgs, "DemuxInit() - Error opening demux"), 1u);
  EXPECT_TRUE(HasLine(msgs, "DemuxInit() - Error opening demux (/dev/dvb/adapter0/demux1)"));
  EXPECT_TRUE(HasLine(msgs, "Total received mhw channels: 2"));

  /* demux0 passed the PAT probe, waited out the channel probe and was
   * closed; demux1 was asked for; demux3 and later never. */
  Lines t = SplitLines(ReadFileText(trace));
  Lines probe(t.begin(), t.begin() + std::min<size_t>(t.size(), 10));
  EXPECT_EQ(probe, (Lines{"open 0", "buffer 0 262144",
                          "filter 0 pid=0x0 filter=00.00 mask=FF.00 timeout=3000", "stop 0",
                          "filter 0 pid=0x231 filter=C8.00 mask=FF.FF timeout=5000",
                          "timeout 0 5000", "stop 0", "close 0", "missing 1", "open 2"}));
  for (int i = 3; i < 16; i++) {
    EXPECT_EQ(CountLines(t, "open " + std::to_string(i)), 0u) << i;
    EXPECT_EQ(CountLines(t, "missing " + std::to_string(i)), 0u) << i;
  }
  /* Probing demux2, the run opening it again, and one descriptor for each
   * of the four tables collected at once. */
  EXPECT_EQ(CountLines(t, "open 2"), 6u);
}

TEST(DemuxVirtualAdapter, ProbesRejectDevicesWithoutPatOrChannelTable) {
  GrabDir g("vdvb_probes");
  std::string trace = g.dir + "/trace";
  /* demux0 carries the channel table but no PAT, demux1 a PAT only,
   * demux2 never answers, demux3 is missing, demux4 carries both. */
  TsWriter no_pat;
  no_pat.Section(0x231, ChannelSection({"Uno"}));
  std::string channels_only = g.dir + "/channels_only.ts";
  ASSERT_TRUE(no_pat.Save(channels_only));
  std::string pat_only = WriteStream(g, "pat_only.ts", false, 0);
  std::string guide = WriteStream(g, "guide.ts", true, 0);
  g.WriteConfig("demux=auto\nDownload_3_Days=0\nDownload_7_Days=0\n");
  GrabResult r =
      g.Run({g.root}, Adapter({"VDVB_DEMUX0=" + channels_only, "VDVB_DEMUX1=" + pat_only,
                               "VDVB_SILENT2=1", "VDVB_DEMUX4=" + guide, "VDVB_TRACE=" + trace}));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "Detected demux: /dev/dvb/adapter0/demux4")) << r.log;
  Lines t = SplitLines(ReadFileText(trace));
  Lines probes(t.begin(), t.begin() + std::min<size_t>(t.size(), 25));
  // clang-format off
  EXPECT_EQ(probes, (Lines{
                        /* no PAT within 3 s: no channel probe */
                        "open 0", "buffer 0 262144",
                        "filter 0 pid=0x0 filter=00.00 mask=FF.00 timeout=3000", "timeout 0 3000",
                        "stop 0", "close 0",
                        /* a PAT, then no channel section within 5 s */
                        "open 1", "buffer 1 262144",
                        "filter 1 pid=0x0 filter=00.00 mask=FF.00 timeout=3000", "stop 1",
                        "filter 1 pid=0x231 filter=C8.00 mask=FF.FF timeout=5000",
                        "timeout 1 5000", "stop 1", "close 1",
                        /* silence: the PAT read waits 3 s and the margin, then gives up */
                        "open 2", "buffer 2 262144",
                        "filter 2 pid=0x0 filter=00.00 mask=FF.00 timeout=3000",
                        "poll-timeout 4000", "stop 2", "close 2", "missing 3",
                        "open 4", "buffer 4 262144",
                        "filter 4 pid=0x0 filter=00.00 mask=FF.00 timeout=3000", "stop 4"}))
      << ReadFileText(trace);
  // clang-format on
}

TEST(DemuxVirtualAdapter, NoDeviceAtAllEndsTheRun) {
  GrabDir g("vdvb_none");
  g.WriteConfig("demux=/dev/dvb/adapter0/demux7\ndemux=auto\n");
  GrabResult r = g.Run({g.root}, Adapter({}));
  EXPECT_EQ(r.exit_code, 1);
  Lines msgs = LogMessages(r.log);
  Lines opens;
  for (const auto &m : msgs)
    if (m.compare(0, 33, "DemuxInit() - Error opening demux") == 0) opens.push_back(m);
  ASSERT_EQ(opens.size(), 16u) << r.log;
  for (int i = 0; i < 16; i++)
    EXPECT_EQ(opens[(size_t)i], "DemuxInit() - Error opening demux (/dev/dvb/adapter0/demux" +
                                    std::to_string(i) + ")");
  EXPECT_EQ(msgs.back(), "Error detecting demux. Try to enter manually");
  EXPECT_FALSE(HasLine(msgs, "Error opening EPGDB"));
}

TEST(DemuxVirtualAdapter, SixtySecondCollectorTimeoutRunsInVirtualTime) {
  GrabDir g("vdvb_idle");
  std::string stream = WriteStream(g, "channels.ts", true, 0);
  std::string trace = g.dir + "/trace";
  g.WriteConfig("demux=" + kDemux0 + "\n");
  GrabResult r = g.Run({g.root}, Adapter({"VDVB_DEMUX0=" + stream, "VDVB_TRACE=" + trace}));
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  EXPECT_EQ(CountLines(msgs, "DemuxGetAllSections() - Timeout reading data from sat"), 2u) << r.log;
  EXPECT_TRUE(HasLine(msgs, "Processing 3 days events (tot_sections=0)"));
  EXPECT_TRUE(HasLine(msgs, "Processing 7 days events (tot_sections=0)"));
  /* One-second filter timeouts, each followed by a new filter, until more
   * than 60 virtual seconds passed: about 60 for each of the four tables,
   * which wait the same minute side by side. */
  Lines t = SplitLines(ReadFileText(trace));
  size_t timeouts = CountLines(t, "timeout 0 1000");
  EXPECT_GE(timeouts, 4u * 60u);
  EXPECT_LE(timeouts, 4u * 62u);
  ASSERT_EQ(t.back().compare(0, 6, "clock "), 0) << "no clock line at the end of the trace";
  long clock_ms = atol(t.back().c_str() + 6);
  EXPECT_GE(clock_ms, 60000);
  EXPECT_LE(clock_ms, 63000) << "the tables did not wait side by side";
}

TEST(DemuxVirtualAdapter, OverflowIsHandledLikeATimeout) {
  GrabDir g("vdvb_overflow");
  std::string stream = WriteStream(g, "events.ts", true, 5);
  std::string trace = g.dir + "/trace";
  /* One table at a time, on one descriptor: read 1 is the channel table,
   * read 2 the first event section. */
  g.WriteConfig("demux=" + kDemux0 + "\nDownload_7_Days=0\nParallelDownload=0\n");
  GrabResult r = g.Run(
      {g.root}, Adapter({"VDVB_DEMUX0=" + stream, "VDVB_OVERFLOW_AT=3", "VDVB_TRACE=" + trace}));
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  /* The section stored before the overflow stays. */
  EXPECT_TRUE(InOrder(msgs, {"DemuxGetSection() - DEMUX Overflow error. Some sections lost",
                             "Processing 3 days events (tot_sections=1)"}))
      << r.log;
  EXPECT_FALSE(HasLine(msgs, "DemuxGetAllSections() - Error reading data from sat"));
  Lines t = SplitLines(ReadFileText(trace));
  size_t at = IndexOf(t, "overflow 0 read=3");
  ASSERT_LT(at + 2, t.size());
  EXPECT_EQ(t[at + 1], "stop 0");
  EXPECT_EQ(t[at + 2], "filter 0 pid=0x234 filter=E6.00 mask=FF.00 timeout=1000");
}

TEST(DemuxVirtualAdapter, ReadFailureEndsTheCollectionWithWhatItHas) {
  GrabDir g("vdvb_fail");
  std::string stream = WriteStream(g, "events.ts", true, 5);
  g.WriteConfig("demux=" + kDemux0 + "\nDownload_7_Days=0\nParallelDownload=0\n");
  GrabResult r = g.Run({g.root}, Adapter({"VDVB_DEMUX0=" + stream, "VDVB_FAIL_AT=4"}));
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(InOrder(msgs, {"DemuxGetAllSections() - Error reading data from sat",
                             "Processing 3 days events (tot_sections=2)"}))
      << r.log;
}

TEST(DemuxVirtualAdapter, RefusedDriverBufferIsLoggedAndIgnored) {
  GrabDir g("vdvb_buffer");
  std::string stream = WriteStream(g, "channels.ts", true, 0);
  g.WriteConfig("demux=" + kDemux0 + "\nDownload_3_Days=0\nDownload_7_Days=0\n");
  GrabResult r = g.Run({g.root}, Adapter({"VDVB_DEMUX0=" + stream, "VDVB_REFUSE_BUFFER=1"}));
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(InOrder(msgs, {"DemuxInit() - Error: DMX_SET_BUFFER_SIZE failed. Ignoring error.",
                             "Total received mhw channels: 2"}))
      << r.log;
}

TEST(DemuxVirtualAdapter, DeviceThatNeverAnswersIsBoundedByTheFilterTimeout) {
  GrabDir g("vdvb_silent");
  std::string trace = g.dir + "/trace";
  g.WriteConfig("demux=" + kDemux0 + "\n");
  GrabResult r = g.Run({g.root}, Adapter({"VDVB_SILENT0=1", "VDVB_TRACE=" + trace}));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "ERROR: Channels not received!!")) << r.log;
  Lines t = SplitLines(ReadFileText(trace));
  /* The channel read waits the 30 s timeout plus the margin, never blocks. */
  EXPECT_TRUE(HasLine(t, "poll-timeout 31000")) << ReadFileText(trace);
  EXPECT_EQ(CountLines(t, "blocked"), 0u);
}

TEST(DemuxVirtualAdapter, EndlessTableStopsAtTheTimeBound) {
  GrabDir g("vdvb_endless_time");
  std::string stream = WriteStream(g, "changing.ts", true, 3, 1000);
  g.WriteConfig("demux=" + kDemux0 + "\nDownload_7_Days=0\n");
  /* At 80 kbit/s half an hour is 18 MB of stream; every section read
   * carries a new running number, so the first never comes back. */
  GrabResult r =
      g.Run({g.root}, Adapter({"VDVB_DEMUX0=" + stream, "VDVB_CHANGING0=1", "VDVB_BITRATE=80000"}));
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  std::string prefix =
      "DemuxGetAllSections() - Table on PID 0x234 did not repeat within 1800 s. "
      "Stopping with ";
  ASSERT_EQ(CountLines(msgs, prefix), 1u) << r.log;
  std::string line;
  for (const auto &m : msgs)
    if (m.compare(0, prefix.size(), prefix) == 0) line = m;
  int count = atoi(line.c_str() + prefix.size());
  /* The recording is 20 packets (3760 bytes, 0.376 s at 10 KB/s) with
   * three event sections: 1800 s hold about 14 360 of them. */
  EXPECT_GT(count, 14000);
  EXPECT_LE(count, 14400);
  EXPECT_TRUE(
      HasLine(msgs, "Processing 3 days events (tot_sections=" + std::to_string(count) + ")"));
}

/* The number at the end of the one message of "msgs" that starts with "prefix"; -1 without one. */
int CountAfter(const Lines &msgs, const std::string &prefix) {
  int found = -1;
  for (const auto &m : msgs)
    if (m.compare(0, prefix.size(), prefix) == 0) found = found < 0 ? atoi(m.c_str() + prefix.size()) : -2;
  return found;
}

TEST(DemuxVirtualAdapter, EndlessTablesStopEachAtADataBoundOfItsOwn) {
  GrabDir g("vdvb_endless_data");
  std::string stream = WriteStream(g, "changing.ts", true, 8, 4000, 8);
  g.WriteConfig("demux=" + kDemux0 + "\n");
  GrabResult r = g.Run({g.root}, Adapter({"VDVB_DEMUX0=" + stream, "VDVB_CHANGING0=1"}));
  EXPECT_EQ(r.exit_code, 0);
  /* The 3-day and 7-day event tables go round side by side, neither ever
   * repeats. 4000-byte sections, each counted with its list node and two
   * 16-byte heap headers: the section that takes its own table past 256 MB
   * ends it, whatever the other table holds, as when each is read alone. */
  int crossing = 256 * 1024 * 1024 / (4000 + (int)sizeof(RawSection) + 32) + 1;
  Lines msgs = LogMessages(r.log);
  const std::string bound = " did not repeat within 268435456 bytes. Stopping with ";
  int n3 = CountAfter(msgs, "DemuxGetAllSections() - Table on PID 0x234" + bound);
  int n7 = CountAfter(msgs, "DemuxGetAllSections() - Table on PID 0x284" + bound);
  EXPECT_EQ(n3, crossing) << r.log;
  EXPECT_EQ(n7, crossing);
  EXPECT_TRUE(HasLine(msgs, "Processing 3 days events (tot_sections=" + std::to_string(n3) + ")"));
  EXPECT_TRUE(HasLine(msgs, "Processing 7 days events (tot_sections=" + std::to_string(n7) + ")"));
}

TEST(DemuxRecordedStream, ConfigurationNamesATransportStreamFile) {
  GrabDir g("recorded");
  std::string stream = WriteStream(g, "capture.ts", true, 4);
  g.WriteConfig("demux=" + stream + "\n");
  GrabResult r = g.Run({g.root});
  EXPECT_EQ(r.exit_code, 0);
  Lines msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "Changing demux to: " + stream)) << r.log;
  EXPECT_TRUE(HasLine(msgs, "Using demux: " + stream));
  EXPECT_EQ(CountLines(msgs, "DemuxInit()"), 0u);
  EXPECT_TRUE(HasLine(msgs, "Total received mhw channels: 2"));
  EXPECT_TRUE(HasLine(msgs, " MHW channel=\"Uno\":100:400:1"));
  EXPECT_TRUE(HasLine(msgs, " MHW channel=\"Dos\":101:400:1"));
  EXPECT_TRUE(HasLine(msgs, "Processing 3 days events (tot_sections=4)"));
  /* The recording has no 7-day table: one pass over it, then the end. */
  EXPECT_TRUE(
      InOrder(msgs, {"DemuxGetSection() - No section for PID 0x284 in a whole pass of " + stream,
                     "DemuxGetAllSections() - Error reading data from sat",
                     "Processing 7 days events (tot_sections=0)"}))
      << r.log;
  EXPECT_TRUE(HasLine(msgs, "Nothing added to database"));
}

}  // namespace
