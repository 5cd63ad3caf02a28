/* The section collector over recorded and piped streams, and crc32 against
 * the system's zlib. */
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "demux/demux_fixture.h"
#include "run/status.h"
#include "tswriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes EventSection(int size, uint8_t fill) {
  return TsMakeSection(0xE6, Bytes((size_t)size - 7, fill), true, true);
}

std::vector<Bytes> ListContents() {
  std::vector<Bytes> out;
  for (RawSection *s = DemuxSectionList(); s; s = s->next) out.emplace_back(DemuxSectionBytes(s), DemuxSectionBytes(s) + s->length);
  return out;
}

const uint8_t kFilter[1] = {0xE6}, kMask[1] = {0xFF};

/* Collects PID 0x234 from a recording of "sections" in this order. */
int CollectFrom(const std::vector<Bytes> &sections) {
  TsWriter w;
  w.options.pack = true;
  w.Section(0, TsMakePat(1, {{1, 0x100}}));
  for (const auto &s : sections) w.Section(0x234, s);
  StreamFile file(w.Bytes());
  if (!DemuxInit(file.path.c_str())) return -2;
  return DemuxGetAllSections(0x234, kFilter, kMask, 1);
}

TEST(Collector, TableCycleEndsWhenTheFirstSectionComesBack) {
  LogCapture log;
  DemuxGuard guard;
  Bytes a = EventSection(300, 1), b = EventSection(4000, 2), c = EventSection(20, 3);
  EXPECT_EQ(CollectFrom({a, b, c}), 3);
  EXPECT_EQ(ListContents(), (std::vector<Bytes>{c, b, a})); /* newest first */
  EXPECT_TRUE(log.Messages().empty());

  /* A section other than the first, read twice, is stored twice. */
  DemuxClose();
  EXPECT_EQ(CollectFrom({a, b, b, c}), 4);
  EXPECT_EQ(ListContents(), (std::vector<Bytes>{c, b, b, a}));

  /* One section alone: stored once, ended by its return. */
  DemuxClose();
  EXPECT_EQ(CollectFrom({c}), 1);
  EXPECT_EQ(ListContents(), (std::vector<Bytes>{c}));

  FreeSectionList();
  EXPECT_EQ(DemuxSectionList(), nullptr);
  FreeSectionList(); /* harmless on an empty list */
}

/* Appends four bytes to "section" (and fixes its length field) so that the
 * collector's checksum, crc32 with its seed, comes out 0: the CRC register
 * is walked back from the wanted value through the table's unique top bytes. */
Bytes WithCycleChecksumZero(Bytes section) {
  uint32_t table[256];
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  size_t length = section.size() + 4 - 3;
  section[1] = (uint8_t)((section[1] & 0xF0) | ((length >> 8) & 0x0F));
  section[2] = (uint8_t)length;
  uint32_t reg = 0xFFFFFFFFu;  /* the register whose inversion is 0 */
  uint8_t index[4];
  for (int k = 3; k >= 0; k--) {
    int i = 0;
    while ((table[i] >> 24) != (reg >> 24)) i++;
    index[k] = (uint8_t)i;
    reg = (reg ^ table[i]) << 8;
  }
  uint32_t r = ~(uint32_t)crc32(0x12345678u, section.data(), (unsigned)section.size());
  for (int k = 0; k < 4; k++) {
    section.push_back((uint8_t)((r & 0xFF) ^ index[k]));
    r = table[index[k]] ^ (r >> 8);
  }
  return section;
}

TEST(Collector, FirstSectionWithChecksumZeroIsNoCycleMarker) {
  LogCapture log;
  DemuxGuard guard;
  Bytes zero = WithCycleChecksumZero(TsMakeSection(0xE6, Bytes(50, 0x77), true, false));
  ASSERT_EQ(crc32(0x12345678u, zero.data(), (unsigned)zero.size()), 0u);
  Bytes a = EventSection(40, 1), b = EventSection(60, 2);
  /* Z A B Z A: Z is stored without becoming the marker, A becomes it, Z is
   * stored again, and the return of A ends the collection. */
  EXPECT_EQ(CollectFrom({zero, a, b}), 4);
  EXPECT_EQ(ListContents(), (std::vector<Bytes>{zero, b, a, zero}));
}

TEST(Collector, ReadFailureKeepsWhatWasStored) {
  LogCapture log;
  DemuxGuard guard;
  /* The recording carries no 0xE6 section: the demux fails the read. */
  EXPECT_EQ(CollectFrom({TsMakeSection(0xDC, Bytes(10, 0), true, true)}), 0);
  EXPECT_EQ(DemuxSectionList(), nullptr);
  auto msgs = log.Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[1], "DemuxGetAllSections() - Error reading data from sat");
}

TEST(Collector, NoFilterMeansMinusOneAndAnEmptyList) {
  LogCapture log;
  DemuxGuard guard;
  Bytes a = EventSection(30, 1);
  ASSERT_EQ(CollectFrom({a, EventSection(30, 2)}), 2);
  DemuxClose();
  EXPECT_EQ(DemuxGetAllSections(0x234, kFilter, kMask, 1), -1);
  EXPECT_EQ(DemuxSectionList(), nullptr); /* the previous table went too */
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "DemuxStartFilter() - Error: Demux not initialized",
                                "DemuxGetAllSections() - Error calling DemuxSetFilter()"}));
}

/* A clock that moves "step" ms at every reading. */
std::atomic<uint32_t> fake_now{1000};
uint32_t fake_step = 0;
uint32_t FakeClock(void) { return fake_now.fetch_add(fake_step) + fake_step; }

struct ClockGuard {
  explicit ClockGuard(uint32_t step, uint32_t start = 1000) {
    fake_step = step;
    fake_now = start;
    StatusSetClock(FakeClock);
  }
  ~ClockGuard() {
    StatusSetClock(nullptr);
    DemuxSetCollectLimits(0, 0);
  }
};

/* Sends 3-day event sections that never repeat (a running number in their
 * body) until the reader goes away or "stop" is set. */
void EndlessWriter(std::string path, std::atomic<bool> *stop) {
  int fd = FifoOpenWriter(path);
  if (fd < 0) return;
  TsWriter w;
  w.options.pack = true;
  for (uint32_t i = 0; !*stop; i++) {
    Bytes body(1000, 0x55);
    for (int k = 0; k < 4; k++) body[(size_t)k] = (uint8_t)(i >> (8 * k));
    w.Section(0x234, TsMakeSection(0xE6, body, true, true));
    Bytes chunk = w.Take();
    if (write(fd, chunk.data(), chunk.size()) != (ssize_t)chunk.size()) break;
  }
  close(fd);
}

/* A demux opened on a FIFO fed by EndlessWriter; the writer stops and the
 * demux closes with the object. */
struct EndlessStream {
  Fifo fifo;
  std::atomic<bool> stop{false};
  std::thread writer;
  EndlessStream() : writer(EndlessWriter, fifo.path, &stop) {
    EXPECT_EQ(DemuxInit(fifo.path.c_str()), 1);
  }
  ~EndlessStream() {
    stop = true;
    DemuxClose();
    writer.join();
  }
};

TEST(Collector, SixtySecondsWithoutASectionEndTheCollection) {
  LogCapture log;
  DemuxGuard guard;
  Fifo fifo; /* no writer ever comes: nothing arrives */
  ASSERT_EQ(DemuxInit(fifo.path.c_str()), 1);
  {
    ClockGuard clock(1500, 0xFFFF0000u); /* every read times out at once; the clock wraps */
    EXPECT_EQ(DemuxGetAllSections(0x234, kFilter, kMask, 1), 0);
  }
  EXPECT_EQ(DemuxSectionList(), nullptr);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"DemuxGetAllSections() - Timeout reading data from sat"}));
}

TEST(Collector, EndlessTableIsCutAtTheDataBound) {
  LogCapture log;
  DemuxGuard guard;
  int n;
  {
    EndlessStream stream;
    DemuxSetCollectLimits(0, 100000);
    n = DemuxGetAllSections(0x234, kFilter, kMask, 1);
    DemuxSetCollectLimits(0, 0);
  }
  /* 1007-byte sections and their nodes: the one that crosses 100000 bytes
   * is the last. */
  int cost = 1007 + (int)sizeof(RawSection) + 32;
  EXPECT_EQ(n, 100000 / cost + 1);
  EXPECT_EQ(ListContents().size(), (size_t)n);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "DemuxGetAllSections() - Table on PID 0x234 did not repeat within "
                                "100000 bytes. Stopping with " + std::to_string(n) + " sections"}));
  /* The sections are kept in a few blocks, not much larger than they are. */
  int64_t blocks = DemuxBlockBytes();
  EXPECT_GE(blocks, (int64_t)n * (1007 + (int64_t)sizeof(RawSection)));
  EXPECT_LE(blocks, 2 * (int64_t)n * 1007);
  /* Taken and freed in the list's order: each section whole, newest first
   * (its running number one less than the one before), and the blocks
   * given back as the walk goes, the last with the last section. */
  RawSection *list = DemuxSectionListTake();
  EXPECT_EQ(DemuxHeldBytes(), 0);
  EXPECT_EQ(DemuxBlockBytes(), blocks);
  int walked = 0, returned_early = 0;
  uint32_t number = 0;
  for (RawSection *s = list, *next; s; s = next) {
    next = s->next;
    ASSERT_EQ(s->length, 1007);
    uint32_t running = (uint32_t)DemuxSectionBytes(s)[3] | (uint32_t)DemuxSectionBytes(s)[4] << 8 | (uint32_t)DemuxSectionBytes(s)[5] << 16 |
                       (uint32_t)DemuxSectionBytes(s)[6] << 24;
    if (walked > 0) {
      EXPECT_EQ(running, number - 1);
    }
    number = running;
    EXPECT_EQ(Bytes(DemuxSectionBytes(s) + 7, DemuxSectionBytes(s) + 7 + 996), Bytes(996, 0x55));
    DemuxSectionFree(s);
    walked++;
    if (next && DemuxBlockBytes() < blocks) returned_early = 1;
  }
  EXPECT_EQ(walked, n);
  EXPECT_EQ(returned_early, 1);
  EXPECT_EQ(DemuxBlockBytes(), 0);
}

TEST(Collector, SectionsFreedInAnyOrderGiveTheirBlocksBack) {
  LogCapture log;
  DemuxGuard guard;
  std::vector<Bytes> sections;
  for (int i = 0; i < 40; i++) sections.push_back(EventSection(4000 + i, (uint8_t)i));
  ASSERT_EQ(CollectFrom(sections), 40);
  std::vector<Bytes> newest_first(sections.rbegin(), sections.rend());
  EXPECT_EQ(ListContents(), newest_first);
  /* A second table is collected while the first one's list is taken. */
  std::vector<RawSection *> first;
  for (RawSection *s = DemuxSectionListTake(); s; s = s->next) first.push_back(s);
  ASSERT_EQ(first.size(), 40u);
  int64_t taken = DemuxBlockBytes();
  DemuxClose();
  ASSERT_EQ(CollectFrom({sections[0], sections[1]}), 2);
  int64_t second = DemuxBlockBytes() - taken;
  EXPECT_GT(second, 0);
  /* Oldest first, then one from the middle of the rest at a time. */
  for (size_t k = 0; k < 20; k++) DemuxSectionFree(first[39 - k]);
  for (size_t k = 0; k < 20; k++) {
    size_t at = (k * 7) % 20;
    while (!first[at]) at = (at + 1) % 20;
    EXPECT_EQ(Bytes(DemuxSectionBytes(first[at]), DemuxSectionBytes(first[at]) + first[at]->length), newest_first[at]);
    DemuxSectionFree(first[at]);
    first[at] = nullptr;
  }
  EXPECT_EQ(DemuxBlockBytes(), second);
  EXPECT_EQ(ListContents(), (std::vector<Bytes>{sections[1], sections[0]}));
  FreeSectionList();
  EXPECT_EQ(DemuxBlockBytes(), 0);
}

TEST(Collector, EndlessTableIsCutAtTheTimeBound) {
  LogCapture log;
  DemuxGuard guard;
  int n;
  {
    EndlessStream stream;
    ClockGuard clock(10);
    DemuxSetCollectLimits(5000, 0);
    n = DemuxGetAllSections(0x234, kFilter, kMask, 1);
  }
  EXPECT_GT(n, 10);
  auto msgs = log.Messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0], "DemuxGetAllSections() - Table on PID 0x234 did not repeat within 5 s. "
                     "Stopping with " + std::to_string(n) + " sections");
}

TEST(CollectorAtOnce, PipeIsReadOnceForEveryTableAndMessagesWaitForTheirPass) {
  LogCapture log;
  DemuxGuard guard;
  Fifo fifo;
  /* Two tables of three sections interleaved, each cycle once and its
   * first section again; then the writer goes. */
  std::vector<Bytes> a, b;
  TsWriter w;
  for (int i = 0; i < 3; i++) {
    a.push_back(EventSection(100 + 50 * i, (uint8_t)(0x10 + i)));
    b.push_back(TsMakeSection(0xDC, Bytes((size_t)(60 + i), (uint8_t)(0x20 + i)), true, true));
  }
  for (int i = 0; i < 4; i++) {
    w.Section(0x234, a[(size_t)i % 3]);
    w.Section(0x284, b[(size_t)i % 3]);
  }
  std::thread writer(WriteFifo, fifo.path, w.Bytes(), 0);
  ASSERT_EQ(DemuxInit(fifo.path.c_str()), 1);
  const DemuxTable tables[3] = {
      {0x234, {0xE6}, {0xFF}, 1}, {0x284, {0xDC}, {0xFF}, 1}, {0x236, {0x96}, {0xFF}, 1}};
  ASSERT_EQ(DemuxCollectStart(tables, 3), 1);
  EXPECT_TRUE(DemuxCollectHolds(0x284));
  EXPECT_FALSE(DemuxCollectHolds(0x282));
  /* One after the other from one pipe, each table whole. */
  EXPECT_EQ(DemuxCollectTake(0x234), 3);
  EXPECT_EQ(ListContents(), (std::vector<Bytes>{a[2], a[1], a[0]}));
  EXPECT_FALSE(DemuxCollectHolds(0x234));
  EXPECT_EQ(DemuxCollectTake(0x284), 3);
  EXPECT_EQ(ListContents(), (std::vector<Bytes>{b[2], b[1], b[0]}));
  /* The end of the pipe ended the third table too; its message waited. */
  EXPECT_TRUE(log.Messages().empty());
  EXPECT_EQ(DemuxCollectTake(0x236), 0);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"DemuxGetAllSections() - Error reading data from sat"}));
  writer.join();
}

/* zlib's own crc32, from the shared library, for reference values. */
using CrcFn = unsigned long (*)(unsigned long, const unsigned char *, unsigned int);

TEST(Crc32, MatchesZlibForSeedsAndLengths) {
  void *z = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(z, nullptr) << dlerror();
  CrcFn zlib_crc = (CrcFn)dlsym(z, "crc32");
  ASSERT_NE(zlib_crc, nullptr);
  ASSERT_NE((void *)zlib_crc, (void *)&crc32);
  Bytes data(5000);
  uint32_t x = 12345;
  for (auto &b : data) {
    x = x * 1103515245u + 12345u;
    b = (uint8_t)(x >> 16);
  }
  for (unsigned long seed : {0ul, 1ul, 0x12345678ul, 0xFFFFFFFFul, 0xDEADBEEFul})
    for (unsigned int len : {0u, 1u, 3u, 4u, 188u, 4098u, 5000u})
      EXPECT_EQ(crc32(seed, data.data(), len), zlib_crc(seed, data.data(), len))
          << "seed " << seed << " length " << len;
  /* Every start alignment with every length around the eight-byte steps:
   * each tail of 0 to 7 bytes after whole steps, from every offset. */
  for (unsigned int offset = 0; offset < 8; offset++)
    for (unsigned int len = 0; len <= 41; len++)
      ASSERT_EQ(crc32(0x9E3779B9ul, data.data() + offset, len),
                zlib_crc(0x9E3779B9ul, data.data() + offset, len))
          << "offset " << offset << " length " << len;
  /* The well-known check value of the IEEE CRC-32. */
  const unsigned char check[] = "123456789";
  EXPECT_EQ(crc32(0, check, 9), 0xCBF43926ul);
  EXPECT_EQ(crc32(0x12345678ul, nullptr, 0), zlib_crc(0x12345678ul, nullptr, 0));
  /* Running over two pieces equals one pass over the whole. */
  EXPECT_EQ(crc32(crc32(7, data.data(), 100), data.data() + 100, 900), crc32(7, data.data(), 1000));
  dlclose(z);
}

}  // namespace
