/* Section encoders of the five MHW2 tables and the carousel writer. */
#include "tables.h"

#include <stdio.h>

#include <algorithm>

#include "tswriter.h"

namespace {

/* Big-endian writers: append the low 8, 16, 24 or 32 bits of "v" to "b",
 * high byte first. */
void TablesPutU8(std::vector<uint8_t> *b, uint32_t v) { b->push_back((uint8_t)(v & 0xFF)); }
void TablesPutU16(std::vector<uint8_t> *b, uint32_t v) {
  b->push_back((uint8_t)((v >> 8) & 0xFF));
  b->push_back((uint8_t)(v & 0xFF));
}
void TablesPutU24(std::vector<uint8_t> *b, uint32_t v) {
  b->push_back((uint8_t)((v >> 16) & 0xFF));
  TablesPutU16(b, v);
}
void TablesPutU32(std::vector<uint8_t> *b, uint32_t v) {
  TablesPutU16(b, v >> 16);
  TablesPutU16(b, v);
}
void TablesPutBytes(std::vector<uint8_t> *b, const std::string &s) { b->insert(b->end(), s.begin(), s.end()); }
/* Two BCD digits of "v" (0..99). */
uint8_t TablesBcd(int v) { return (uint8_t)(((v / 10) << 4) | (v % 10)); }

/* Day number, hour, minute and seconds byte of an event's start. */
void TablesPutStart(std::vector<uint8_t> *b, const SimEvent &e) {
  uint32_t day = e.start / 86400u;
  uint32_t rest = e.start % 86400u;
  TablesPutU16(b, day + 40587u);
  TablesPutU8(b, TablesBcd((int)(rest / 3600)));
  TablesPutU8(b, TablesBcd((int)(rest / 60 % 60)));
  TablesPutU8(b, TablesBcd(e.start_seconds));
  /* duration in the upper 12 bits; the low nibble carries no meaning */
  TablesPutU16(b, ((uint32_t)e.duration << 4) | 0x0Fu);
}

/* Bytes of the 3-day / 7-day table entry of "e". */
size_t TablesEvent3Size(const SimEvent &e) { return TablesTitle3(e).size() + 22; }
size_t TablesEvent7Size(const SimEvent &e) { return TablesTitle7(e).size() + 20; }

/* The channel table section (byte 3 = 0x00) with every channel of "g";
 * "seq" sits in unread bytes. */
std::vector<uint8_t> TablesEncodeChannels(const SimGuide &g, uint16_t seq) {
  std::vector<uint8_t> body;
  TablesPutU8(&body, 0x00);       /* byte 3: the channel table among the PID's sections */
  TablesPutU16(&body, seq);       /* bytes 4..5 */
  while (body.size() < 117) TablesPutU8(&body, 0xFF); /* bytes 6..119 */
  TablesPutU8(&body, (uint32_t)g.channels.size());
  for (const auto &c : g.channels) {
    TablesPutU16(&body, c.nid);
    TablesPutU16(&body, c.tsid);
    TablesPutU16(&body, c.sid);
    TablesPutU16(&body, c.word4);
  }
  for (const auto &c : g.channels) {
    TablesPutU8(&body, 0xE0u | (uint32_t)c.name.size()); /* upper nibble: flags, not length */
    TablesPutBytes(&body, c.name);
  }
  return TsMakeSection(0xC8, body, false, true);
}

/* The theme names section that shares the channel PID (byte 3 = 0x01). */
std::vector<uint8_t> TablesEncodeThemes(uint16_t seq) {
  static const char *const themes[] = {"Cine", "Deportes", "Series", "Noticias", "Infantil",
                                       "Documentales", "Música", "Ocio"};
  std::vector<uint8_t> body;
  TablesPutU8(&body, 0x01);
  TablesPutU16(&body, seq);
  while (body.size() < 117) TablesPutU8(&body, 0xFF);
  TablesPutU8(&body, 8);
  for (const char *t : themes) {
    std::string s(t);
    TablesPutU8(&body, (uint32_t)s.size());
    TablesPutBytes(&body, s);
  }
  return TsMakeSection(0xC8, body, false, true);
}

/* A 3-day event section holding the events "entries" of "g" in order. */
std::vector<uint8_t> TablesEncodeEvents3(const SimGuide &g, const std::vector<int> &entries, uint16_t seq) {
  std::vector<uint8_t> body;
  TablesPutU16(&body, seq); /* bytes 3..4 */
  while (body.size() < 14) TablesPutU8(&body, 0x00); /* bytes 5..16 */
  TablesPutU8(&body, (uint32_t)entries.size());
  for (int i : entries) {
    const SimEvent &e = g.events[(size_t)i];
    std::string title = TablesTitle3(e);
    TablesPutU8(&body, (uint32_t)e.channel);
    TablesPutU24(&body, 0xFFFFFF);
    TablesPutU24(&body, e.summary_id);
    TablesPutU32(&body, e.event_id);
    TablesPutStart(&body, e);
    TablesPutU8(&body, 0x40u | (uint32_t)title.size()); /* bits 7..6: not the length */
    TablesPutBytes(&body, title);
    TablesPutU8(&body, 0xFF);
    TablesPutU16(&body, e.summary_id_3d);
  }
  return TsMakeSection(0xE6, body, false, false);
}

/* A 7-day event section of channel id "channel" holding "entries". */
std::vector<uint8_t> TablesEncodeEvents7(const SimGuide &g, int channel, const std::vector<int> &entries,
                                   uint16_t seq) {
  std::vector<uint8_t> body;
  TablesPutU32(&body, seq);             /* bytes 3..6 */
  TablesPutU8(&body, (uint32_t)channel); /* byte 7 */
  TablesPutU16(&body, 0xFFFF);          /* bytes 8..9 */
  TablesPutU8(&body, (uint32_t)entries.size());
  for (int i : entries) {
    const SimEvent &e = g.events[(size_t)i];
    std::string title = TablesTitle7(e);
    TablesPutU8(&body, 0x00);
    TablesPutU24(&body, e.summary_id);
    TablesPutU32(&body, e.event_id);
    TablesPutStart(&body, e);
    TablesPutU8(&body, (uint32_t)title.size());
    TablesPutBytes(&body, title);
    TablesPutU8(&body, 0xFF);
    TablesPutU16(&body, e.summary_id2);
    TablesPutU8(&body, e.newbyte);
  }
  return TsMakeSection(0xDC, body, false, false);
}

/* A 3-day summary section of "s" with "lines"; "part" 0 is the first
 * section, any other a continuation (byte 6). */
std::vector<uint8_t> TablesEncodeSummary3(const SimSummary &s, const std::vector<std::string> &lines, int part,
                                    uint16_t seq) {
  std::vector<uint8_t> body;
  TablesPutU16(&body, s.id3);        /* bytes 3..4 */
  TablesPutU8(&body, 0x00);          /* byte 5 */
  TablesPutU8(&body, (uint32_t)part); /* byte 6: continuation */
  TablesPutU16(&body, seq);          /* bytes 7..8 */
  while (body.size() < 11) TablesPutU8(&body, 0xFF); /* bytes 9..13 */
  TablesPutU8(&body, (uint32_t)s.title.size());
  TablesPutBytes(&body, s.title);
  TablesPutU8(&body, 0x10u | (uint32_t)lines.size()); /* upper nibble: not the count */
  for (const auto &l : lines) {
    TablesPutU8(&body, (uint32_t)l.size());
    TablesPutBytes(&body, l);
  }
  return TsMakeSection(0x96, body, false, true);
}

/* The 7-day summary section of "s". */
std::vector<uint8_t> TablesEncodeSummary7(const SimSummary &s, uint32_t seq) {
  std::vector<uint8_t> body;
  TablesPutU24(&body, seq);   /* bytes 3..5 */
  TablesPutU24(&body, s.id7); /* bytes 6..8 */
  while (body.size() < 16) TablesPutU8(&body, 0xFF); /* bytes 9..18 */
  TablesPutU8(&body, (uint32_t)s.title.size());
  TablesPutBytes(&body, s.title);
  TablesPutU16(&body, 0xF000u | (uint32_t)s.text7.size()); /* upper nibble: not the length */
  TablesPutBytes(&body, s.text7);
  return TsMakeSection(0x96, body, false, true);
}

/* Splits "entries" into sections of at most "limit" bytes and 255 entries. */
std::vector<std::vector<int>> TablesPackEntries(const std::vector<int> &entries, size_t header, size_t limit,
                                          size_t (*size)(const SimEvent &), const SimGuide &g) {
  std::vector<std::vector<int>> out;
  std::vector<int> cur;
  size_t used = header;
  for (int i : entries) {
    size_t n = size(g.events[(size_t)i]);
    if (!cur.empty() && (used + n > limit || cur.size() == 255)) {
      out.push_back(cur);
      cur.clear();
      used = header;
    }
    cur.push_back(i);
    used += n;
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace

std::string TablesTitle3(const SimEvent &e) { return e.title.substr(0, SIM_TITLE3_MAX); }
std::string TablesTitle7(const SimEvent &e) { return (e.title7.empty() ? e.title : e.title7).substr(0, 255); }

std::vector<std::vector<std::string>> TablesSummary3Parts(const SimSummary &s) {
  std::vector<std::vector<std::string>> parts(1);
  size_t used = 20 + s.title.size();
  for (const auto &l : s.lines) {
    if (parts.back().size() == SIM_LINES_MAX || used + 1 + l.size() > SIM_SECTION_MAX) {
      parts.emplace_back();
      used = 20 + s.title.size();
    }
    parts.back().push_back(l);
    used += 1 + l.size();
  }
  return parts;
}

int TablesBuild(const SimGuide &g, const SimStreamOptions &opt, SimTables *t) {
  if (opt.section_size < 128 || opt.section_size > SIM_SECTION_MAX) {
    fprintf(stderr, "section size must lie between 128 and %d\n", SIM_SECTION_MAX);
    return 0;
  }
  size_t limit = (size_t)opt.section_size;
  SimSection chan;
  chan.bytes = TablesEncodeChannels(g, 1);
  chan.channel_table = true;
  if (chan.bytes.size() > SIM_SECTION_MAX) {
    fprintf(stderr, "the channel table needs %zu bytes, more than one section holds\n", chan.bytes.size());
    return 0;
  }
  SimSection themes;
  themes.bytes = TablesEncodeThemes(2);
  t->cycle[SIM_CHANNELS] = {chan, themes};

  /* 3-day events: by start time across channels; copies go at the end. */
  std::vector<int> order;
  for (size_t i = 0; i < g.events.size(); i++)
    if (g.events[i].in3) order.push_back((int)i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return g.events[(size_t)a].start < g.events[(size_t)b].start;
  });
  std::vector<int> entries = order;
  for (int i : order)
    for (int k = 1; k < g.events[(size_t)i].copies; k++) entries.push_back(i);
  uint16_t seq = 1;
  for (const auto &sec : TablesPackEntries(entries, 18, limit, TablesEvent3Size, g)) {
    SimSection s;
    s.events = sec;
    s.bytes = TablesEncodeEvents3(g, sec, seq++);
    t->cycle[SIM_EVENTS3].push_back(s);
  }

  /* 7-day events: one channel per section, by start time (latest first
   * when the options ask for it). */
  int max_channel = -1;
  for (const auto &e : g.events) max_channel = std::max(max_channel, e.channel);
  uint32_t seq7 = 1;
  for (int c = 0; c <= max_channel; c++) {
    std::vector<int> list;
    for (size_t i = 0; i < g.events.size(); i++)
      if (g.events[i].in7 && g.events[i].channel == c) list.push_back((int)i);
    std::stable_sort(list.begin(), list.end(), [&](int a, int b) {
      return opt.events7_descending ? g.events[(size_t)a].start > g.events[(size_t)b].start
                                    : g.events[(size_t)a].start < g.events[(size_t)b].start;
    });
    std::vector<int> all = list;
    for (int i : list)
      for (int k = 1; k < g.events[(size_t)i].copies; k++) all.push_back(i);
    for (const auto &sec : TablesPackEntries(all, 11, limit, TablesEvent7Size, g)) {
      SimSection s;
      s.events = sec;
      s.channel = c;
      s.bytes = TablesEncodeEvents7(g, c, sec, (uint16_t)seq7++);
      t->cycle[SIM_EVENTS7].push_back(s);
    }
  }

  uint32_t seq3 = 1, seqs7 = 1;
  for (size_t i = 0; i < g.summaries.size(); i++) {
    const SimSummary &sum = g.summaries[i];
    if (sum.has_id3) {
      auto parts = TablesSummary3Parts(sum);
      for (size_t p = 0; p < parts.size(); p++) {
        SimSection s;
        s.summary = (int)i;
        s.part = (int)p;
        s.bytes = TablesEncodeSummary3(sum, parts[p], (int)p, (uint16_t)seq3++);
        if (s.bytes.size() > SIM_SECTION_MAX) {
          fprintf(stderr, "3-day summary %s does not fit a section\n", sum.key.c_str());
          return 0;
        }
        t->cycle[SIM_SUMMARIES3].push_back(s);
      }
    }
    if (sum.has_id7) {
      SimSection s;
      s.summary = (int)i;
      s.bytes = TablesEncodeSummary7(sum, seqs7++);
      if (s.bytes.size() > SIM_SECTION_MAX) {
        fprintf(stderr, "7-day summary %s needs %zu bytes, more than one section holds\n",
                sum.key.c_str(), s.bytes.size());
        return 0;
      }
      t->cycle[SIM_SUMMARIES7].push_back(s);
    }
  }
  for (int k = 0; k < SIM_TABLES; k++)
    if (opt.omit[k]) t->cycle[k].clear();
  return 1;
}

const char *const SIM_TABLE_NAMES[SIM_TABLES] = {"channels", "events3", "events7", "summaries3",
                                                   "summaries7"};

namespace {

constexpr double SIM_PAT_INTERVAL = 0.1;   /* seconds between PATs on a timed multiplex */
constexpr uint16_t SIM_PID_NULL = 0x1FFF;
constexpr uint16_t SIM_PID_OTHER = 0x0100; /* some other service's packets (--noise) */
constexpr size_t SIM_PACKET = 188;
constexpr size_t SIM_PAYLOAD = 184;

/* TS packets one section takes when it starts a packet of its own. */
uint64_t TablesSectionPackets(const SimSection &s) { return (s.bytes.size() + 1 + SIM_PAYLOAD - 1) / SIM_PAYLOAD; }

/* xorshift64 for the stream's random choices, seeded by --seed. */
struct TablesRandom {
  uint64_t state;
  uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

/* A packet that carries no guide: a null packet, or one of another PID
 * with random payload. */
std::vector<uint8_t> TablesFillerPacket(uint16_t pid, TablesRandom *rnd) {
  std::vector<uint8_t> pkt(SIM_PACKET, 0xFF);
  pkt[0] = 0x47;
  pkt[1] = (uint8_t)(pid >> 8);
  pkt[2] = (uint8_t)(pid & 0xFF);
  pkt[3] = 0x10;
  if (pid != SIM_PID_NULL)
    for (size_t i = 4; i < pkt.size(); i++) pkt[i] = (uint8_t)(rnd->Next() & 0xFF);
  return pkt;
}

}  // namespace

int TablesTiming(const SimTables &t, const SimStreamOptions &opt, SimTiming *timing) {
  *timing = SimTiming();
  double longest = 0, own[SIM_TABLES] = {0, 0, 0, 0, 0};
  for (int k = 0; k < SIM_TABLES; k++) {
    if (t.cycle[k].empty()) continue;
    uint64_t packets = 0;
    for (const SimSection &s : t.cycle[k]) packets += TablesSectionPackets(s);
    if (opt.rate[k] > 0) own[k] = (double)(packets * SIM_PACKET * 8) / (double)opt.rate[k];
    else if (k == SIM_CHANNELS) own[k] = 1.0;
    else {
      fprintf(stderr, "--mux-rate needs a --rate for %s\n", SIM_TABLE_NAMES[k]);
      return 0;
    }
    longest = std::max(longest, own[k]);
  }
  if (longest == 0) longest = 1.0;
  timing->length = longest * opt.repeats;
  double packets_per_second = (double)opt.mux_rate / (double)(SIM_PACKET * 8);
  timing->packets = (uint64_t)(timing->length * packets_per_second);
  double needed = timing->length / SIM_PAT_INTERVAL;
  for (int k = 0; k < SIM_TABLES; k++) {
    if (own[k] == 0) continue;
    timing->sends[k] = std::max<size_t>(1, (size_t)(timing->length / own[k] + 0.5));
    timing->cycle[k] = timing->length / (double)timing->sends[k];
    for (const SimSection &s : t.cycle[k]) needed += (double)(TablesSectionPackets(s) * timing->sends[k]);
  }
  if (needed > (double)timing->packets) {
    fprintf(stderr, "the tables need %.0f bit/s, more than the multiplex's %llu bit/s\n",
            needed * SIM_PACKET * 8 / timing->length, (unsigned long long)opt.mux_rate);
    return 0;
  }
  return 1;
}

int TablesWriteStream(const SimTables &t, const SimStreamOptions &opt, const std::string &path,
                      size_t *bytes_written) {
  static const uint16_t pids[SIM_TABLES] = {SIM_PID_CHANNELS, SIM_PID_EVENTS3, SIM_PID_EVENTS7,
                                            SIM_PID_SUMMARIES3, SIM_PID_SUMMARIES7};
  TablesRandom rnd{(uint64_t)opt.seed * 0x9E3779B97F4A7C15ull + 1};
  SimTiming timing;
  if (opt.mux_rate > 0 && !TablesTiming(t, opt, &timing)) return 0;
  /* Each cycle, rotated when the capture starts mid-cycle. */
  std::vector<std::vector<const SimSection *>> cycles(SIM_TABLES);
  size_t total = 0;
  for (int k = 0; k < SIM_TABLES; k++) {
    size_t n = t.cycle[k].size();
    size_t shift = (opt.mid_cycle && n > 1) ? 1 + rnd.Next() % (n - 1) : 0;
    for (size_t i = 0; i < n; i++) cycles[k].push_back(&t.cycle[k][(i + shift) % n]);
    total += n * (size_t)opt.repeats;
  }
  /* Without a mux rate the channel PID and the PAT come round every 40
   * sections or so; with one the PAT comes every SIM_PAT_INTERVAL. */
  size_t channel_rounds = std::max<size_t>((size_t)opt.repeats, total / 40);
  struct Slot {
    double at; /* 0..1 of the file */
    int table; /* -1: the PAT */
    size_t index;
  };
  std::vector<Slot> slots;
  for (int k = 0; k < SIM_TABLES; k++) {
    size_t n = cycles[k].size();
    if (n == 0) continue;
    size_t count = n * (opt.mux_rate > 0 ? timing.sends[k]
                                         : k == SIM_CHANNELS ? channel_rounds : (size_t)opt.repeats);
    for (size_t i = 0; i < count; i++) slots.push_back({((double)i + 0.5) / (double)count, k, i % n});
  }
  if (opt.mux_rate > 0) {
    size_t pats = std::max<size_t>(1, (size_t)(timing.length / SIM_PAT_INTERVAL));
    for (size_t i = 0; i < pats; i++) slots.push_back({((double)i + 0.25) / (double)pats, -1, 0});
  }
  std::stable_sort(slots.begin(), slots.end(), [](const Slot &a, const Slot &b) { return a.at < b.at; });

  std::vector<uint8_t> pat = TsMakePat(0x0420, {{0x1F41, 0x0100}, {0x1F44, 0x0101}, {0x1F47, 0x0102}});
  FILE *out = fopen(path.c_str(), "wb");
  if (!out) {
    fprintf(stderr, "%s: cannot write\n", path.c_str());
    return 0;
  }
  TsWriter w;
  w.options.pack = opt.pack;
  size_t written = 0;
  bool ok = true;
  /* Hands what the writer holds to the file, so that large recordings never
   * sit in memory whole. */
  auto drain = [&]() {
    std::vector<uint8_t> chunk = w.Take();
    if (!chunk.empty() && fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size()) ok = false;
    written += chunk.size();
  };
  /* On a timed multiplex: packets that carry no guide up to packet "target". */
  auto fill_to = [&](uint64_t target) {
    drain();
    while (written / SIM_PACKET < target) {
      uint16_t pid = (opt.noise && rnd.Next() % 4 == 0) ? SIM_PID_OTHER : SIM_PID_NULL;
      w.Packet(TablesFillerPacket(pid, &rnd));
      drain();
    }
  };
  size_t since_pat = 40, since_flush = 0, since_drain = 0;
  for (const Slot &s : slots) {
    if (opt.mux_rate > 0) {
      fill_to((uint64_t)(s.at * (double)timing.packets));
      w.Section(s.table < 0 ? 0x0000 : pids[s.table], s.table < 0 ? pat : cycles[(size_t)s.table][s.index]->bytes);
      continue;
    }
    if (since_pat >= 40) {
      w.Section(0x0000, pat);
      since_pat = 0;
    }
    w.Section(pids[s.table], cycles[(size_t)s.table][s.index]->bytes);
    since_pat++;
    if (opt.pack && ++since_flush >= 2 + rnd.Next() % 5) {
      w.Flush();
      since_flush = 0;
    }
    if (opt.garbage && rnd.Next() % 8 == 0) {
      w.Flush();
      w.Garbage(1 + rnd.Next() % 187);
    }
    if (opt.noise && rnd.Next() % 4 == 0) {
      w.Flush();
      uint16_t pid = (rnd.Next() % 2) ? SIM_PID_NULL : SIM_PID_OTHER;
      w.Packet(TablesFillerPacket(pid, &rnd));
    }
    if (++since_drain >= 512) {
      drain();
      since_drain = 0;
    }
  }
  if (opt.mux_rate > 0) fill_to(timing.packets);
  drain();
  if (fclose(out) != 0) ok = false;
  if (!ok) {
    fprintf(stderr, "%s: write failed\n", path.c_str());
    return 0;
  }
  if (bytes_written) *bytes_written = written;
  return 1;
}
