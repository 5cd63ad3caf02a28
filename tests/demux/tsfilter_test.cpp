/* The transport stream section filter on hand-made packets. */
#include "demux/tsfilter.h"
#include "tswriter.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

/* A section of "total" bytes: table id, a private-syntax header announcing
 * total - 3 bytes, then a counting body starting at "first". */
Bytes MakeSection(uint8_t table_id, int total, uint8_t first = 0) {
  Bytes s(total);
  s[0] = table_id;
  s[1] = (uint8_t)(0x70 | (((total - 3) >> 8) & 0x0F));
  s[2] = (uint8_t)((total - 3) & 0xFF);
  for (int i = 3; i < total; i++) s[i] = (uint8_t)(first + i);
  return s;
}

struct PacketShape {
  uint16_t pid = 0x234;
  bool pusi = false;
  int cc = 0;
  bool tei = false;
  int adaptation = -1;  /* -1: none; n: adaptation_field_length n */
  bool payload = true;
  bool discontinuity = false;
};

/* One packet: header, optional adaptation field, then "payload" (pointer
 * field included by the caller) padded with 0xFF. */
Bytes MakePacket(const PacketShape &pkt, const Bytes &payload) {
  Bytes p(188, 0xFF);
  p[0] = 0x47;
  p[1] = (uint8_t)((pkt.tei ? 0x80 : 0) | (pkt.pusi ? 0x40 : 0) | (pkt.pid >> 8));
  p[2] = (uint8_t)pkt.pid;
  int afc = (pkt.adaptation >= 0 ? 2 : 0) | (pkt.payload ? 1 : 0);
  p[3] = (uint8_t)((afc << 4) | (pkt.cc & 0x0F));
  size_t pos = 4;
  if (pkt.adaptation >= 0) {
    p[pos] = (uint8_t)pkt.adaptation;
    if (pkt.adaptation > 0) p[pos + 1] = pkt.discontinuity ? 0x80 : 0x00;
    pos += 1 + (size_t)pkt.adaptation;
  }
  EXPECT_LE(pos + payload.size(), 188u);
  for (size_t i = 0; i < payload.size() && pos + i < 188; i++) p[pos + i] = payload[i];
  return p;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes Slice(const Bytes &b, size_t from, size_t n) {
  return Bytes(b.begin() + (long)from, b.begin() + (long)std::min(b.size(), from + n));
}

struct Filter {
  std::unique_ptr<TsFilter> f{new TsFilter};
  explicit Filter(uint16_t pid, Bytes filter = {}, Bytes mask = {}, Bytes mode = {}) {
    TsFilterReset(f.get());
    EXPECT_EQ(TsFilterSet(f.get(), pid, filter.data(), mask.data(), mode.empty() ? nullptr : mode.data(),
                          (int)filter.size()),
              1);
  }
  int Feed(const Bytes &b) { return TsFilterFeed(f.get(), b.data(), b.size()); }
  std::vector<Bytes> TakeAll() {
    std::vector<Bytes> out;
    uint8_t buf[4098];
    int n;
    while ((n = TsFilterTake(f.get(), buf, sizeof(buf))) > 0) out.emplace_back(buf, buf + n);
    return out;
  }
};

/* Splits "section" over consecutive packets starting with pointer_field 0. */
Bytes Packetise(const Bytes &section, uint16_t pid, int first_cc) {
  Bytes out;
  size_t at = 0;
  int cc = first_cc;
  bool first = true;
  while (at < section.size()) {
    PacketShape pkt;
    pkt.pid = pid;
    pkt.pusi = first;
    pkt.cc = cc++;
    size_t room = first ? 183 : 184;
    Bytes payload;
    if (first) payload.push_back(0);
    Bytes part = Slice(section, at, room);
    payload.insert(payload.end(), part.begin(), part.end());
    at += part.size();
    out = Cat({out, MakePacket(pkt, payload)});
    first = false;
  }
  return out;
}

TEST(TsFilterReassembly, SectionAcrossThreePackets) {
  Bytes section = MakeSection(0xE6, 450);
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Packetise(section, 0x234, 5)), 1);
  auto got = f.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], section);
}

TEST(TsFilterReassembly, LargestSectionFitsTheReadSize) {
  Bytes section = MakeSection(0x96, 4098);
  Filter f(0x236);
  EXPECT_EQ(f.Feed(Packetise(section, 0x236, 0)), 1);
  auto got = f.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 4098u);
  EXPECT_EQ(got[0], section);
}

TEST(TsFilterReassembly, SeveralSectionsInOnePacketThenStuffing) {
  Bytes a = MakeSection(0xE6, 20, 1), b = MakeSection(0xE6, 30, 2), c = MakeSection(0xE6, 3);
  PacketShape pkt;
  pkt.pusi = true;
  Filter f(0x234);
  EXPECT_EQ(f.Feed(MakePacket(pkt, Cat({{0}, a, b, c}))), 3);
  auto got = f.TakeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], a);
  EXPECT_EQ(got[1], b);
  EXPECT_EQ(got[2], c); /* an empty body: section_length 0 */
}

TEST(TsFilterReassembly, PointerFieldEndsOneSectionAndStartsTheNext) {
  /* The first section's tail fills the start of the second packet; the
   * pointer_field says where the next section begins. */
  Bytes a = MakeSection(0xE6, 200, 3), b = MakeSection(0xE6, 50, 4);
  PacketShape first;
  first.pusi = true;
  first.cc = 14;
  PacketShape second;
  second.pusi = true;
  second.cc = 15;
  Bytes tail = Slice(a, 183, 200);
  Bytes p1 = MakePacket(first, Cat({{0}, Slice(a, 0, 183)}));
  Bytes p2 = MakePacket(second, Cat({{(uint8_t)tail.size()}, tail, b}));
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Cat({p1, p2})), 2);
  auto got = f.TakeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], a);
  EXPECT_EQ(got[1], b);
}

TEST(TsFilterReassembly, HeaderSplitOverTwoPackets) {
  /* Only the table id and the first length byte fit in the first packet. */
  Bytes filler = MakeSection(0xE6, 181, 9), split = MakeSection(0xE6, 100, 7);
  PacketShape s1;
  s1.pusi = true;
  PacketShape s2;
  s2.cc = 1;
  Bytes p1 = MakePacket(s1, Cat({{0}, filler, Slice(split, 0, 2)}));
  Bytes p2 = MakePacket(s2, Slice(split, 2, 98));
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Cat({p1, p2})), 2);
  auto got = f.TakeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], split);
}

TEST(TsFilterReassembly, AdaptationFieldsAndPacketsWithoutPayload) {
  Bytes section = MakeSection(0xDC, 300, 5);
  PacketShape s1;
  s1.pusi = true;
  s1.adaptation = 10;
  PacketShape only_af;  /* adaptation only: carries no payload, counter unchanged */
  only_af.cc = 0;
  only_af.adaptation = 183;
  only_af.payload = false;
  PacketShape s2;
  s2.cc = 1;
  s2.adaptation = 0;
  size_t first = 188 - 4 - 11 - 1;
  Bytes p1 = MakePacket(s1, Cat({{0}, Slice(section, 0, first)}));
  Bytes p2 = MakePacket(only_af, {});
  Bytes p3 = MakePacket(s2, Slice(section, first, 300));
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Cat({p1, p2, p3})), 1);
  auto got = f.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], section);
}

TEST(TsFilterDamage, ContinuityGapDropsTheSectionInProgress) {
  Bytes lost = MakeSection(0xE6, 400, 1), next = MakeSection(0xE6, 40, 2);
  Bytes stream = Packetise(lost, 0x234, 0);  /* counters 0, 1, 2 */
  Bytes gap = Cat({Slice(stream, 0, 188), Slice(stream, 376, 188)});
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Cat({gap, Packetise(next, 0x234, 3)})), 1);
  auto got = f.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], next);
}

TEST(TsFilterDamage, LostPacketNeverJoinsTwoSections) {
  /* A (400 bytes) ends in the packet where B starts; that packet is lost,
   * and B's continuation must not complete A. */
  Bytes a = MakeSection(0xE6, 400, 1), b = MakeSection(0xE6, 300, 2);
  PacketShape s1, s2, s4;
  s1.pusi = true;
  s2.cc = 1;
  s4.cc = 3;
  Bytes p1 = MakePacket(s1, Cat({{0}, Slice(a, 0, 183)}));
  Bytes p2 = MakePacket(s2, Slice(a, 183, 184));
  /* p3 (counter 2): pointer 33, the tail of A, then B up to byte 150 */
  Bytes p4 = MakePacket(s4, Slice(b, 150, 150));
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Cat({p1, p2, p4})), 0);
  EXPECT_TRUE(f.TakeAll().empty());
}

TEST(TsFilterDamage, DiscontinuityIndicatorAllowsACounterJump) {
  Bytes section = MakeSection(0xE6, 300, 1);
  PacketShape s1;
  s1.pusi = true;
  s1.cc = 3;
  PacketShape s2;
  s2.cc = 9;
  s2.adaptation = 1;
  s2.discontinuity = true;
  Bytes p1 = MakePacket(s1, Cat({{0}, Slice(section, 0, 183)}));
  Bytes p2 = MakePacket(s2, Slice(section, 183, 182));
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Cat({p1, p2})), 1);
}

TEST(TsFilterDamage, RepeatedPacketIsIgnored) {
  Bytes section = MakeSection(0xE6, 300, 1);
  Bytes stream = Packetise(section, 0x234, 0);
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Cat({Slice(stream, 0, 188), Slice(stream, 0, 188), Slice(stream, 188, 188)})), 1);
  EXPECT_EQ(f.TakeAll()[0], section);
}

TEST(TsFilterDamage, ErrorBitPacketsAreDropped) {
  Bytes section = MakeSection(0xE6, 40, 1);
  PacketShape bad;
  bad.pusi = true;
  bad.tei = true;
  PacketShape good;
  good.pusi = true;
  good.cc = 1;
  Filter f(0x234);
  EXPECT_EQ(f.Feed(MakePacket(bad, Cat({{0}, section}))), 0);
  EXPECT_EQ(f.Feed(MakePacket(good, Cat({{0}, section}))), 1);
}

TEST(TsFilterDamage, BadPointerOrAdaptationLengthDropsThePacket) {
  PacketShape s;
  s.pusi = true;
  Filter f(0x234);
  Bytes section = MakeSection(0xE6, 20);
  EXPECT_EQ(f.Feed(MakePacket(s, Cat({{190}, section}))), 0);  /* pointer past the payload */
  Bytes p = MakePacket(s, Cat({{0}, section}));
  p[3] = (uint8_t)(0x30 | 1);  /* adaptation field announced ... */
  p[4] = 200;                 /* ... longer than the packet */
  EXPECT_EQ(f.Feed(p), 0);
  s.cc = 2;
  EXPECT_EQ(f.Feed(MakePacket(s, Cat({{0}, section}))), 1);
}

TEST(TsFilterSync, GarbageBeforeAndBetweenPacketsAndByteWiseFeeding) {
  Bytes a = MakeSection(0xE6, 250, 1), b = MakeSection(0xE6, 10, 2);
  Bytes garbage = {0x00, 0x12, 0xFF, 0x99, 0x46, 0x48};
  Bytes stream = Cat({garbage, Packetise(a, 0x234, 0), garbage, Packetise(b, 0x234, 2)});
  Filter whole(0x234);
  EXPECT_EQ(whole.Feed(stream), 2);
  Filter bytewise(0x234);
  int queued = 0;
  for (uint8_t byte : stream) queued += TsFilterFeed(bytewise.f.get(), &byte, 1);
  EXPECT_EQ(queued, 2);
  auto got = bytewise.TakeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], a);
  EXPECT_EQ(got[1], b);
}

TEST(TsFilterSync, OtherPidsAreIgnored) {
  Filter f(0x231);
  EXPECT_EQ(f.Feed(Packetise(MakeSection(0xC8, 40), 0x234, 0)), 0);
  EXPECT_EQ(f.Feed(Packetise(MakeSection(0xC8, 40), 0x231, 0)), 1);
}

/* Sections differing in table id and in byte 3 (the first byte after the
 * section length), all in one packet. */
std::vector<Bytes> FilterCandidates() {
  std::vector<Bytes> all;
  for (uint8_t tid : {0xC8, 0xC9})
    for (uint8_t b3 : {0x00, 0x01, 0x80}) {
      Bytes s = MakeSection(tid, 12);
      s[3] = b3;
      all.push_back(s);
    }
  return all;
}

std::vector<Bytes> FilterAll(Filter &f) {
  PacketShape pkt;
  pkt.pid = 0x231;
  pkt.pusi = true;
  Bytes payload = {0};
  for (const auto &s : FilterCandidates()) payload = Cat({payload, s});
  f.Feed(MakePacket(pkt, payload));
  return f.TakeAll();
}

TEST(TsFilterMatch, FilterAndMaskOnTableIdAndByteThree) {
  Filter table_only(0x231, {0xC8}, {0xFF});
  auto got = FilterAll(table_only);
  ASSERT_EQ(got.size(), 3u);
  for (const auto &s : got) EXPECT_EQ(s[0], 0xC8);

  Filter both(0x231, {0xC8, 0x00}, {0xFF, 0xFF});
  got = FilterAll(both);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0xC8);
  EXPECT_EQ(got[0][3], 0x00);

  /* Only the masked bits count: top bit of byte 3 clear, any table id. */
  Filter bits(0x231, {0x00, 0x00}, {0x00, 0x80});
  got = FilterAll(bits);
  ASSERT_EQ(got.size(), 4u);
  for (const auto &s : got) EXPECT_EQ(s[3] & 0x80, 0);

  /* Mode bits ask for a difference: table 0xC8, byte 3 other than 0x00. */
  Filter negative(0x231, {0xC8, 0x00}, {0xFF, 0xFF}, {0x00, 0xFF});
  got = FilterAll(negative);
  ASSERT_EQ(got.size(), 2u);
  for (const auto &s : got) {
    EXPECT_EQ(s[0], 0xC8);
    EXPECT_NE(s[3], 0x00);
  }
}

TEST(TsFilterMatch, MaskedByteBeyondTheSectionFails) {
  TsFilter f;
  TsFilterReset(&f);
  uint8_t filter[4] = {0x00, 0, 0, 0x00}, mask[4] = {0xFF, 0, 0, 0x01};
  ASSERT_EQ(TsFilterSet(&f, 0, filter, mask, nullptr, 4), 1);
  Bytes shortsec = {0x00, 0x70, 0x02, 0x00, 0x00};  /* byte 5 would be needed */
  EXPECT_EQ(TsFilterMatch(&f, shortsec.data(), (int)shortsec.size()), 0);
  Bytes longer = {0x00, 0x70, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(TsFilterMatch(&f, longer.data(), (int)longer.size()), 1);
  EXPECT_EQ(TsFilterSet(&f, 0, filter, mask, nullptr, 17), 0);
}

TEST(TsFilterMatch, NewFilterDropsWaitingSections) {
  Filter f(0x234);
  EXPECT_EQ(f.Feed(Packetise(MakeSection(0xE6, 20), 0x234, 0)), 1);
  uint8_t filter[1] = {0xE6}, mask[1] = {0xFF};
  TsFilterSet(f.f.get(), 0x234, filter, mask, nullptr, 1);
  EXPECT_TRUE(f.TakeAll().empty());
}

/* A temporary file holding "bytes", open for reading. */
struct TempStream {
  std::string path;
  int fd = -1;
  explicit TempStream(const Bytes &bytes) {
    char templ[] = "/tmp/tsfilter-XXXXXX";
    fd = mkstemp(templ);
    path = templ;
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    lseek(fd, 0, SEEK_SET);
  }
  ~TempStream() {
    close(fd);
    unlink(path.c_str());
  }
};

TEST(TsFilterPlay, RecordingPlaysAsACarousel) {
  Bytes a = MakeSection(0xE6, 300, 1), b = MakeSection(0xE6, 20, 2);
  TempStream file(Cat({Packetise(a, 0x234, 0), Packetise(MakeSection(0x00, 20), 0, 0),
                       Packetise(b, 0x234, 2)}));
  Filter f(0x234);
  std::vector<Bytes> seen;
  uint8_t buf[4098];
  for (int i = 0; i < 5; i++) {
    ASSERT_EQ(TsFilterPlayFile(f.f.get(), file.fd, 0, nullptr), TS_PLAY_SECTION);
    int n = TsFilterTake(f.f.get(), buf, sizeof(buf));
    seen.emplace_back(buf, buf + n);
  }
  EXPECT_EQ(seen, (std::vector<Bytes>{a, b, a, b, a}));
}

TEST(TsFilterPlay, LapWithoutSectionAndBudget) {
  TempStream file(Packetise(MakeSection(0xE6, 1000), 0x234, 0));
  Filter other(0x236);
  uint64_t fed = 0;
  EXPECT_EQ(TsFilterPlayFile(other.f.get(), file.fd, 0, &fed), TS_PLAY_NONE);
  EXPECT_GE(fed, 6u * 188u);
  EXPECT_LT(fed, 3u * 6u * 188u);
  EXPECT_EQ(TsFilterPlayFile(other.f.get(), file.fd, 0, &fed), TS_PLAY_NONE);

  Filter same(0x234);
  lseek(file.fd, 0, SEEK_SET);
  EXPECT_EQ(TsFilterPlayFile(same.f.get(), file.fd, 188, &fed), TS_PLAY_BUDGET);
  EXPECT_EQ(fed, 188u);
  EXPECT_EQ(TsFilterPlayFile(same.f.get(), file.fd, 0, &fed), TS_PLAY_SECTION);

  TempStream empty(Bytes{});
  Filter none(0x234);
  EXPECT_EQ(TsFilterPlayFile(none.f.get(), empty.fd, 0, &fed), TS_PLAY_NONE);
  EXPECT_EQ(fed, 0u);
}

TEST(TsFilterPlay, SectionCutByTheEndOfTheRecordingIsNeverDelivered) {
  Bytes whole = MakeSection(0xE6, 400, 1);
  Bytes stream = Packetise(whole, 0x234, 0);
  /* The recording starts with the last packet of the section and ends with
   * its first two: the pieces never join across the wrap. */
  TempStream file(Cat({Slice(stream, 376, 188), Slice(stream, 0, 376)}));
  Filter f(0x234);
  EXPECT_EQ(TsFilterPlayFile(f.f.get(), file.fd, 0, nullptr), TS_PLAY_NONE);
}

}  // namespace

/* The test stream writer packs sections back to back; a section that would
 * begin on the last payload byte of a continuation packet has no room for
 * its pointer_field and must move to the next packet, or a receiver never
 * sees where it starts. Every boundary around that byte is tried. */

TEST(TsWriterPacking, EverySectionSurvivesWhereverItStartsInAPacket) {
  for (int first = 360; first <= 372; first++) {
    TsWriter w;
    w.options.pack = true;
    Bytes a = MakeSection(0x96, first, 1), b = MakeSection(0x96, 40, 2), c = MakeSection(0x96, 200, 3);
    w.Section(0x236, a);
    w.Section(0x236, b);
    w.Section(0x236, c);
    Filter f(0x236);
    f.Feed(w.Take());
    auto got = f.TakeAll();
    ASSERT_EQ(got.size(), 3u) << "first section of " << first << " bytes";
    EXPECT_EQ(got[1], b);
    EXPECT_EQ(got[2], c);
  }
}
