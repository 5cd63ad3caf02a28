/* The demux on recorded and piped transport streams, and without a device. */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <thread>

#include "demux/demux_fixture.h"
#include "tswriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Body(int n, uint8_t first) {
  Bytes b((size_t)n);
  for (int i = 0; i < n; i++) b[(size_t)i] = (uint8_t)(first + i);
  return b;
}

/* A small recording: PAT, two channel-table sections (byte 3 = 0 and 1) and
 * two 3-day event sections, one long enough to span packets. */
struct Recording {
  Bytes pat = TsMakePat(0x0001, {{1, 0x100}});
  Bytes channels0 = TsMakeSection(0xC8, Body(40, 0x00), false, false);
  Bytes channels1 = TsMakeSection(0xC8, Body(40, 0x01), false, false);
  Bytes events_a = TsMakeSection(0xE6, Body(700, 0x10), true, true);
  Bytes events_b = TsMakeSection(0xE6, Body(30, 0x20), true, true);
  Bytes Stream() {
    TsWriter w;
    w.Section(0x0000, pat);
    w.Section(0x231, channels1);
    w.Section(0x231, channels0);
    w.Section(0x234, events_a);
    w.Section(0x234, events_b);
    return w.Bytes();
  }
};

Bytes SectionBuffer(int n) { return Bytes(DemuxSectionBuffer(), DemuxSectionBuffer() + n); }

TEST(DemuxClosed, EveryOperationRefusesUntilInit) {
  LogCapture log;
  DemuxGuard guard;
  const uint8_t f[1] = {0}, m[1] = {0xFF};
  EXPECT_EQ(DemuxStartFilter(0, f, m, 1, 1000), 0);
  EXPECT_EQ(DemuxGetSection(), 0);
  EXPECT_EQ(DemuxStopFilter(), 0);
  EXPECT_EQ(DemuxClose(), 1);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "DemuxStartFilter() - Error: Demux not initialized",
                                "DemuxGetSection() - Error: Demux not initialized",
                                "DemuxStopFilter() - Error: Demux not initialized"}));
  EXPECT_EQ(DemuxInit("/nonexistent/dvb/demux0"), 0);
  EXPECT_EQ(DemuxGetSection(), 0); /* the failed open left no device */
  auto msgs = log.Messages();
  ASSERT_EQ(msgs.size(), 5u);
  EXPECT_EQ(msgs[3], "DemuxInit() - Error opening demux (/nonexistent/dvb/demux0)");
  EXPECT_EQ(msgs[4], "DemuxGetSection() - Error: Demux not initialized");
}

TEST(DemuxRecording, FilterReadsWholeSectionsFromTheFile) {
  LogCapture log;
  DemuxGuard guard;
  Recording rec;
  StreamFile file(rec.Stream());
  chmod(file.path.c_str(), 0444); /* a recording need not be writable */
  ASSERT_EQ(DemuxInit(file.path.c_str()), 1);
  EXPECT_TRUE(log.Messages().empty()); /* no driver buffer to ask for */

  const uint8_t f2[2] = {0xC8, 0x00}, m2[2] = {0xFF, 0xFF};
  ASSERT_EQ(DemuxStartFilter(0x231, f2, m2, 2, 1000), 1);
  int n = DemuxGetSection();
  ASSERT_EQ(n, (int)rec.channels0.size());
  EXPECT_EQ(SectionBuffer(n), rec.channels0);
  /* The only match comes round again with the carousel. */
  EXPECT_EQ(DemuxGetSection(), n);
  EXPECT_EQ(DemuxStopFilter(), 1);

  const uint8_t f1[1] = {0xE6}, m1[1] = {0xFF};
  ASSERT_EQ(DemuxStartFilter(0x234, f1, m1, 1, 1000), 1);
  n = DemuxGetSection();
  ASSERT_EQ(n, (int)rec.events_a.size());
  EXPECT_EQ(SectionBuffer(n), rec.events_a);
  EXPECT_EQ(DemuxSectionBuffer()[4098], 0);
  EXPECT_EQ(DemuxSectionBuffer()[4099], 0);
  EXPECT_EQ(DemuxGetSection(), (int)rec.events_b.size());
  /* A new filter plays the recording from its start again. */
  DemuxStopFilter();
  ASSERT_EQ(DemuxStartFilter(0x234, f1, m1, 1, 1000), 1);
  EXPECT_EQ(DemuxGetSection(), (int)rec.events_a.size());
  DemuxStopFilter();
  EXPECT_EQ(DemuxStopFilter(), 1); /* with no filter set */
  EXPECT_TRUE(log.Messages().empty());

  /* Opening clears the section buffer. */
  DemuxClose();
  ASSERT_EQ(DemuxInit(file.path.c_str()), 1);
  Bytes zero(DEMUX_BUFFER_SIZE, 0);
  EXPECT_EQ(SectionBuffer(DEMUX_BUFFER_SIZE), zero);
}

TEST(DemuxRecording, TableMissingFromTheFileFailsAtOnceAndIsLoggedOnce) {
  LogCapture log;
  DemuxGuard guard;
  Recording rec;
  StreamFile file(rec.Stream());
  ASSERT_EQ(DemuxInit(file.path.c_str()), 1);
  const uint8_t f[1] = {0x96}, m[1] = {0xFF};
  ASSERT_EQ(DemuxStartFilter(0x236, f, m, 1, 1000), 1);
  EXPECT_EQ(DemuxGetSection(), -1);
  EXPECT_EQ(DemuxGetSection(), -1);
  auto msgs = log.Messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0], "DemuxGetSection() - No section for PID 0x236 in a whole pass of " + file.path);
  /* A filter on a table id the PID does not carry fails the same way. */
  DemuxStopFilter();
  const uint8_t other[1] = {0xDC};
  ASSERT_EQ(DemuxStartFilter(0x234, other, m, 1, 1000), 1);
  EXPECT_EQ(DemuxGetSection(), -1);
  EXPECT_EQ(log.Messages().size(), 2u);
}

TEST(DemuxRecording, FilterLongerThanTheDriverRecordIsRefused) {
  LogCapture log;
  DemuxGuard guard;
  Recording rec;
  StreamFile file(rec.Stream());
  ASSERT_EQ(DemuxInit(file.path.c_str()), 1);
  uint8_t f[17] = {0}, m[17] = {0};
  EXPECT_EQ(DemuxStartFilter(0x231, f, m, 17, 1000), 0);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"DemuxStartFilter() - Error: DMX_SET_FILTER failed"}));
}

TEST(DemuxPipe, SectionsAsTheyComeThenTheEndIsAFailure) {
  LogCapture log;
  DemuxGuard guard;
  Fifo fifo;
  Recording rec;
  Bytes stream = rec.Stream();
  std::thread writer(WriteFifo, fifo.path, stream, 0);
  ASSERT_EQ(DemuxInit(fifo.path.c_str()), 1);
  const uint8_t f[1] = {0xE6}, m[1] = {0xFF};
  ASSERT_EQ(DemuxStartFilter(0x234, f, m, 1, 5000), 1);
  int n = DemuxGetSection();
  ASSERT_EQ(n, (int)rec.events_a.size());
  EXPECT_EQ(SectionBuffer(n), rec.events_a);
  EXPECT_EQ(DemuxGetSection(), (int)rec.events_b.size());
  EXPECT_EQ(DemuxGetSection(), -1); /* the writer has closed the pipe */
  writer.join();
  EXPECT_TRUE(log.Messages().empty());
}

TEST(DemuxPipe, SilentPipeTimesOutWithoutAMessage) {
  LogCapture log;
  DemuxGuard guard;
  Fifo fifo;
  Recording rec;
  std::thread writer(WriteFifo, fifo.path, rec.Stream(), 1500);
  ASSERT_EQ(DemuxInit(fifo.path.c_str()), 1);
  const uint8_t f[1] = {0x96}, m[1] = {0xFF};
  ASSERT_EQ(DemuxStartFilter(0x236, f, m, 1, 200), 1);
  EXPECT_EQ(DemuxGetSection(), 0);
  EXPECT_TRUE(log.Messages().empty());
  writer.join();
}

}  // namespace
