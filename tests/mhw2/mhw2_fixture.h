/* Test fixture for the guide store, decoders and export: an empty store,
 * both logs in temporary files, a recording stand-in for the guide
 * database, and builders of MHW2 sections. */
#ifndef MHW2_TESTS_MHW2_FIXTURE_H
#define MHW2_TESTS_MHW2_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "export/export.h"
#include "log/log.h"
#include "mhw2/mhw2.h"
#include "support/run_helper.h"
#include "tswriter.h"

typedef std::vector<uint8_t> Bytes;

/* One channel of the stand-in guide database with the name last set. */
struct FakeChannel {
  uint16_t nid, tsid, sid;
  std::string name;
};

/* One title as it reached the stand-in guide database. */
struct FakeTitle {
  uint16_t nid = 0, tsid = 0, sid = 0;
  std::string channel_name; /* the channel's name when the title was added */
  epgdb_title_t *record = nullptr; /* the record handed to titles_add */
  std::string description, long_description;
  bool has_description = false, has_long_description = false;
};

/* The stand-in guide database: keeps what StoreEvent hands over. Records
 * come from title_alloc filled with 0xA4, so untouched bytes show. */
struct FakeGuideDb {
  std::vector<std::unique_ptr<FakeChannel>> channels;
  std::vector<std::unique_ptr<epgdb_title_t>> records;
  std::vector<FakeTitle> titles;
  std::vector<std::string> calls;
  bool no_channel = false, no_record = false, no_title = false;
  bool no_text = false; /* the long description finds no memory */
  bool same_channel = false; /* a known triple gets its channel again */
};
inline FakeGuideDb *FakeDb = nullptr;

inline FakeTitle *FakeFind(epgdb_title_t *title) {
  for (auto &t : FakeDb->titles)
    if (t.record == title) return &t;
  return nullptr;
}
inline epgdb_channel_t *FakeChannelsAdd(uint16_t nid, uint16_t tsid, uint16_t sid) {
  FakeDb->calls.push_back("channels_add");
  if (FakeDb->no_channel) return nullptr;
  if (FakeDb->same_channel)
    for (auto &c : FakeDb->channels)
      if (c->nid == nid && c->tsid == tsid && c->sid == sid) return (epgdb_channel_t *)c.get();
  FakeDb->channels.emplace_back(new FakeChannel{nid, tsid, sid, ""});
  return (epgdb_channel_t *)FakeDb->channels.back().get();
}
inline int FakeChannelsSetName(epgdb_channel_t *channel, const char *name) {
  FakeDb->calls.push_back("channels_set_name");
  ((FakeChannel *)channel)->name = name;
  return 1;
}
inline epgdb_title_t *FakeTitleAlloc(void) {
  FakeDb->calls.push_back("title_alloc");
  if (FakeDb->no_record) return nullptr;
  epgdb_title_t *t = new epgdb_title_t;
  memset((void *)t, 0xA4, sizeof(*t));
  FakeDb->records.emplace_back(t);
  return t;
}
inline uint32_t FakeCalculateMjd(uint32_t start_time) {
  FakeDb->calls.push_back("calculate_mjd");
  return start_time / 86400 + 40587;
}
inline epgdb_title_t *FakeTitlesAdd(epgdb_channel_t *channel, epgdb_title_t *title) {
  FakeDb->calls.push_back("titles_add");
  if (FakeDb->no_title) return nullptr;
  const FakeChannel *c = (const FakeChannel *)channel;
  FakeTitle t;
  t.nid = c->nid;
  t.tsid = c->tsid;
  t.sid = c->sid;
  t.channel_name = c->name;
  t.record = title;
  FakeDb->titles.push_back(t);
  return title;
}
inline int FakeSetDescription(epgdb_title_t *title, const char *text) {
  FakeDb->calls.push_back("set_description");
  FakeTitle *t = FakeFind(title);
  if (!t) return 0;
  t->description = text;
  t->has_description = true;
  return 1;
}
inline int FakeSetLongDescription(epgdb_title_t *title, const char *text) {
  FakeDb->calls.push_back("set_long_description");
  FakeTitle *t = FakeFind(title);
  if (!t || FakeDb->no_text) return 0;
  t->long_description = text;
  t->has_long_description = true;
  return 1;
}
inline const ExportLibrary FAKE_LIBRARY = {FakeChannelsAdd,    FakeChannelsSetName,
                                           FakeTitleAlloc,     FakeCalculateMjd,
                                           FakeTitlesAdd,      FakeSetDescription,
                                           FakeSetLongDescription};

/* A zero-filled record with the fields that identify an event; "title"
 * must last until the store has taken the record. */
inline EventRecord TestRecord(uint16_t channel, int32_t start, uint32_t event_id,
                              const char *title) {
  EventRecord r;
  memset(&r, 0, sizeof(r));
  r.channel = channel;
  r.start_time = start;
  r.mhw_event_id = event_id;
  r.title = title;
  return r;
}

/* Resets the store and settings, captures both logs, installs the
 * stand-in guide database; undoes all of it afterwards. */
class GuideTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreeGuide();
    memset(GuideGetCounters(), 0, sizeof(GuideCounters));
    ConfigReset();
    char dir_template[] = "/tmp/mhw2-guide-XXXXXX";
    dir_ = mkdtemp(dir_template);
    LogSetDebugPath((dir_ + "/debug.log").c_str());
    LogSetDebug(1);
    OpenLog((dir_ + "/main.log").c_str());
    FakeDb = &db_;
    ExportSetLibrary(&FAKE_LIBRARY);
    ExportSetTextLimit(0);
  }
  void TearDown() override {
    FreeGuide();
    memset(GuideGetCounters(), 0, sizeof(GuideCounters));
    ConfigReset();
    ExportSetLibrary(nullptr);
    ExportSetTextLimit(0);
    FakeDb = nullptr;
    CloseLog();
    CloseDebugLog();
    LogSetDebug(0);
    ShellOutput("rm -rf '" + dir_ + "'");
  }
  std::string DebugLog() const { return ReadFileText(dir_ + "/debug.log"); }
  std::vector<std::string> MainLog() const {
    return LogMessages(ReadFileText(dir_ + "/main.log"));
  }
  /* A channel table of "count" channels: channel i has nid 0x100+i,
   * tsid 0x200+i, sid 0x300+i and the name "Ch<i>". */
  static void MakeChannels(int count) {
    ChannelEntry *table = (ChannelEntry *)calloc(count > 0 ? count : 1, sizeof(ChannelEntry));
    for (int i = 0; i < count; i++) {
      table[i].nid = (uint16_t)(0x100 + i);
      table[i].tsid = (uint16_t)(0x200 + i);
      table[i].sid = (uint16_t)(0x300 + i);
      snprintf(table[i].name, sizeof(table[i].name), "Ch%d", i);
    }
    GuideSetChannels(table, count);
  }
  /* Pushes one alias at the head of the alias list. */
  static void PushAlias(uint32_t src_sid, uint32_t src_tsid, uint32_t src_nid, uint32_t dst_sid,
                        uint32_t dst_tsid, uint32_t dst_nid) {
    ASSERT_EQ(AddAlias(src_sid, src_tsid, src_nid, dst_sid, dst_tsid, dst_nid), 1);
  }
  static std::vector<EventRecord *> Events() {
    std::vector<EventRecord *> v;
    for (EventRecord *e = GuideEventList(); e; e = GuideNextEvent(e)) v.push_back(e);
    return v;
  }
  FakeGuideDb db_;
  std::string dir_;
};

/* Appends "value" as "size" big-endian bytes. */
inline void PutBE(Bytes &b, uint32_t value, int size) {
  for (int i = size - 1; i >= 0; i--) b.push_back((uint8_t)(value >> (8 * i)));
}

/* Start of an event as the tables carry it: day number, BCD time, and the
 * duration word (minutes << 4, low nibble "nibble"). */
struct EventStart {
  uint16_t mjd = 60000;
  uint8_t hour = 0x12, minute = 0x30, second = 0x00;
  uint16_t duration = 90;
  uint8_t nibble = 0;
};

inline void PutStart(Bytes &b, const EventStart &s) {
  PutBE(b, s.mjd, 2);
  b.push_back(s.hour);
  b.push_back(s.minute);
  b.push_back(s.second);
  PutBE(b, (uint32_t)(s.duration << 4) | s.nibble, 2);
}

/* A 3-day event entry; "length_byte" defaults to the title length. */
inline Bytes Entry3Day(uint8_t channel, uint32_t summary_id, uint32_t event_id,
                       const EventStart &s, const std::string &title, uint16_t summary_id_3d,
                       int length_byte = -1) {
  Bytes b = {channel, 0xEE, 0xEE, 0xEE};
  PutBE(b, summary_id, 3);
  PutBE(b, event_id, 4);
  PutStart(b, s);
  b.push_back((uint8_t)(length_byte >= 0 ? length_byte : (int)title.size()));
  b.insert(b.end(), title.begin(), title.end());
  b.push_back(0xEE);
  PutBE(b, summary_id_3d, 2);
  return b;
}

/* A 3-day event section of "entries" with the entry count "count". */
inline Bytes Section3Day(uint8_t count, const std::vector<Bytes> &entries) {
  Bytes b(18, 0x00);
  b[0] = 0xE6;
  b[17] = count;
  for (const Bytes &e : entries) b.insert(b.end(), e.begin(), e.end());
  return b;
}

/* A 7-day event entry. */
inline Bytes Entry7Day(uint32_t summary_id, uint32_t event_id, const EventStart &s,
                       const std::string &title, uint16_t summary_id2, uint8_t newbyte) {
  Bytes b = {0xEE};
  PutBE(b, summary_id, 3);
  PutBE(b, event_id, 4);
  PutStart(b, s);
  b.push_back((uint8_t)title.size());
  b.insert(b.end(), title.begin(), title.end());
  b.push_back(0xEE);
  PutBE(b, summary_id2, 2);
  b.push_back(newbyte);
  return b;
}

inline Bytes Section7Day(uint8_t channel, uint8_t count, const std::vector<Bytes> &entries) {
  Bytes b(11, 0x00);
  b[0] = 0xDC;
  b[7] = channel;
  b[10] = count;
  for (const Bytes &e : entries) b.insert(b.end(), e.begin(), e.end());
  return b;
}

/* A 3-day summary section: id, continuation flag, title, line-count byte,
 * the lines (each with its own length byte), then "tail". */
inline Bytes Summary3Day(uint16_t id, uint8_t continuation, const std::string &title,
                         uint8_t count_byte, const std::vector<std::string> &lines,
                         const Bytes &tail = {0xC1, 0xC2, 0xC3, 0xC4}) {
  Bytes b = {0x96, 0x70, 0x00};
  PutBE(b, id, 2);
  b.push_back(0x00);
  b.push_back(continuation);
  b.insert(b.end(), 7, 0x00);
  b.push_back((uint8_t)title.size());
  b.insert(b.end(), title.begin(), title.end());
  b.push_back(count_byte);
  for (const std::string &l : lines) {
    b.push_back((uint8_t)l.size());
    b.insert(b.end(), l.begin(), l.end());
  }
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

/* A 7-day summary section: id, title, text-length word, text, "tail". */
inline Bytes Summary7Day(uint32_t id, const std::string &title, const std::string &text,
                         const Bytes &tail = {0xC1, 0xC2, 0xC3, 0xC4}, uint8_t high_nibble = 0) {
  Bytes b = {0x96, 0x70, 0x00, 0x00, 0x00, 0x00};
  PutBE(b, id, 3);
  b.insert(b.end(), 10, 0x00);
  b.push_back((uint8_t)title.size());
  b.insert(b.end(), title.begin(), title.end());
  PutBE(b, (uint32_t)(high_nibble << 12) | (uint32_t)text.size(), 2);
  b.insert(b.end(), text.begin(), text.end());
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

struct ChannelIn {
  uint16_t nid, tsid, sid, word4;
  uint8_t length_byte;
  std::string name;
};

/* A channel section: 120 header bytes, the count, the entries, the name
 * records, then "tail". */
inline Bytes ChannelSection(uint8_t count, const std::vector<ChannelIn> &channels, const Bytes &tail) {
  Bytes b(120, 0x00);
  b[0] = 0xC8;
  b.push_back(count);
  for (const ChannelIn &c : channels) {
    PutBE(b, c.nid, 2);
    PutBE(b, c.tsid, 2);
    PutBE(b, c.sid, 2);
    PutBE(b, c.word4, 2);
  }
  for (const ChannelIn &c : channels) {
    b.push_back(c.length_byte);
    b.insert(b.end(), c.name.begin(), c.name.end());
  }
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

/* "full" (table id to last byte, as the builders above make it) with a
 * real section header, as a transport stream carries it; "crc" appends
 * the section CRC. */
inline Bytes Wrap(const Bytes &full, bool crc) {
  return TsMakeSection(full[0], Bytes(full.begin() + 3, full.end()), crc, crc);
}

/* Start on day "mjd" at "hour" UTC, 60 minutes long. */
inline EventStart SampleAt(uint16_t mjd, int hour) {
  EventStart s;
  s.mjd = mjd;
  s.hour = (uint8_t)(((hour / 10) << 4) | (hour % 10));
  s.minute = 0x00;
  s.duration = 60;
  return s;
}

/* Writes to "path" a recording of a small whole guide on day "mjd": three
 * channels (1:402:1F41 "Uno", 1:402:1F42 "Dos", 1:403:2001 "Tres"), two
 * 3-day event sections with four events, two 7-day event sections (a merge,
 * an ignored event id, two new events), three 3-day summary sections (one a
 * continuation) and four 7-day ones (one repeated, one for no event).
 * Returns true when written. */
inline bool SaveSampleGuide(const std::string &path, uint16_t mjd) {
  TsWriter w;
  w.Section(0x0000, TsMakePat(0x402, {{0x1F41, 0x100}}));
  w.Section(0x231, Wrap(ChannelSection(3,
                                        {{1, 0x402, 0x1F41, 0, 3, "Uno"},
                                         {1, 0x402, 0x1F42, 0, 3, "Dos"},
                                         {1, 0x403, 0x2001, 0, 4, "Tres"}},
                                        {}),
                         true));
  w.Section(0x234, Wrap(Section3Day(2, {Entry3Day(0, 0x100, 1, SampleAt(mjd, 18), "Noticias", 0x0A01),
                                        Entry3Day(1, 0x101, 2, SampleAt(mjd, 18), "Pel\xED" "cula", 0x0A02)}),
                        false));
  w.Section(0x234, Wrap(Section3Day(2, {Entry3Day(2, 0x102, 3, SampleAt(mjd, 18), "Deportes", 0x0A03),
                                        Entry3Day(0, 0x103, 4, SampleAt(mjd, 19), "Concurso", 0x0A04)}),
                        false));
  /* Channel 0 at 18:00 again (merged), and a new event; on channel 1 a
   * different event id at 18:00 (ignored) and a new event. */
  w.Section(0x284, Wrap(Section7Day(0, 2, {Entry7Day(0x200, 1, SampleAt(mjd, 18), "Noticias", 1, 0),
                                           Entry7Day(0x201, 5, SampleAt(mjd, 20), "Tarde", 1, 0)}),
                        false));
  w.Section(0x284, Wrap(Section7Day(1, 2, {Entry7Day(0x202, 9, SampleAt(mjd, 18), "Otro", 1, 0),
                                           Entry7Day(0x203, 6, SampleAt(mjd, 21), "Documental", 1, 0)}),
                        false));
  w.Section(0x236, Wrap(Summary3Day(0x0A01, 0, "Resumen", 2, {"L\xEDnea uno", "Linea dos"}, {}), true));
  w.Section(0x236, Wrap(Summary3Day(0x0A02, 1, "Segunda parte", 1, {"x"}, {}), true));
  w.Section(0x236, Wrap(Summary3Day(0x0A04, 0, "Preguntas", 1, {"Muchas"}, {}), true));
  w.Section(0x282, Wrap(Summary7Day(0x200, "Otra vez", "no cuenta", {}), true));
  w.Section(0x282, Wrap(Summary7Day(0x201, "Charla", "Hasta tarde", {}), true));
  w.Section(0x282, Wrap(Summary7Day(0x203, "Naturaleza", "Animales", {}), true));
  w.Section(0x282, Wrap(Summary7Day(0x999, "Nadie", "sin evento", {}), true));
  return w.Save(path);
}

/* Sets the time zone of the process for one scope. */
class ScopedTz {
 public:
  explicit ScopedTz(const char *tz) {
    const char *old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

#endif
