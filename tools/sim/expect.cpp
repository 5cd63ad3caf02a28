/* The grab a correct grabber performs on a simulated broadcast: channel
 * table, event passes with their de-duplication and 7-day merge, summary
 * passes where the first summary wins, the final pass, and the guide
 * database's one title per channel and start. */
#include "expect.h"

#include "epgdb.h"
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <tuple>

namespace {

struct ExpectEvent {
  int channel;
  uint32_t start_time;
  uint32_t event_id;
  uint32_t summary_id;
  uint32_t summary_id_3d;
  bool has_id_3d;
  uint32_t duration;
  std::string title;
  bool has_summary;
};

typedef std::tuple<uint16_t, uint16_t, uint16_t, uint32_t> RowKey;

/* A string as the grabber sees it: the bytes up to the first NUL. */
std::string ExpectCString(const std::string &s) { return s.substr(0, s.find('\0')); }

/* The UTF-8 form of ISO-8859-1 "s": every byte from 0x80 becomes two. */
std::string ExpectLatin1ToUtf8(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x80) {
      out.push_back((char)c);
    } else {
      out.push_back((char)(0xC0 | (c >> 6)));
      out.push_back((char)(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

struct ExpectModel {
  const SimGuide &guide;
  const ExpectConfig &config;
  std::vector<ExpectEvent> events; /* oldest first; the grabber walks newest first */
  std::map<std::pair<int, uint32_t>, size_t> by_start;
  std::map<RowKey, std::pair<uint64_t, ExpectRow>> rows; /* with the order of the last store */
  int attached = 0;
  int without_event = 0;
  int stores = 0;

  /* One title into the database: a later store of the same channel and
   * start replaces the earlier one. */
  void StoreOne(const ExpectEvent &e, const std::string &stitle, const std::string &stext, uint16_t nid,
                uint16_t tsid, uint16_t sid) {
    time_t t = (time_t)e.start_time;
    struct tm tm;
    localtime_r(&t, &tm);
    ExpectRow r;
    r.nid = nid, r.tsid = tsid, r.sid = sid;
    r.start_time = e.start_time;
    r.length = (e.duration * 60u) & 0xFFFFu;
    r.event_id = (uint32_t)((tm.tm_mday * 24 + tm.tm_hour) * 60 + tm.tm_min) & 0xFFFFu;
    r.mjd = (e.start_time / 86400u + 40587u) & 0xFFFFu;
    r.flags = config.convert_to_utf8 ? 1 : 0;
    r.language = "spa";
    std::string longd = stitle + "\n\n" + stext;
    r.description = config.convert_to_utf8 ? ExpectLatin1ToUtf8(e.title) : e.title;
    r.long_description = config.convert_to_utf8 ? ExpectLatin1ToUtf8(longd) : longd;
    stores++;
    rows[RowKey(nid, tsid, sid, e.start_time)] = {(uint64_t)stores, r};
  }

  /* Under the event's channel, then under every alias target, newest alias first. */
  void Store(const ExpectEvent &e, const std::string &stitle, const std::string &stext) {
    const SimChannel &c = guide.channels[(size_t)e.channel];
    StoreOne(e, stitle, stext, c.nid, c.tsid, c.sid);
    for (auto a = config.aliases.rbegin(); a != config.aliases.rend(); ++a)
      if (a->src_sid == c.sid && a->src_tsid == c.tsid && a->src_nid == c.nid)
        StoreOne(e, stitle, stext, (uint16_t)a->dst_nid, (uint16_t)a->dst_tsid, (uint16_t)a->dst_sid);
  }

  /* Adds a decoded entry unless its channel and start are known; for the
   * 7-day table a known event with the same id takes the new summary id. */
  bool Add(const ExpectEvent &e, bool seven_day) {
    auto it = by_start.find({e.channel, e.start_time});
    if (it != by_start.end()) {
      ExpectEvent &old = events[it->second];
      if (seven_day && old.event_id == e.event_id) old.summary_id = e.summary_id;
      return false;
    }
    by_start[{e.channel, e.start_time}] = events.size();
    events.push_back(e);
    return true;
  }

  void AddSummary(uint32_t id, const std::string &title, const std::string &text,
                  const std::map<uint32_t, std::vector<size_t>> &index) {
    auto it = index.find(id);
    int found = 0, repeated = 0;
    if (it != index.end()) {
      for (size_t i : it->second) {
        ExpectEvent &e = events[i];
        if (e.has_summary) {
          repeated++;
          continue;
        }
        e.has_summary = true;
        found++;
        attached++;
        Store(e, title, text);
      }
    }
    if (!found && !repeated) without_event++;
  }

  /* Events a summary id matches, newest first, each once. */
  std::map<uint32_t, std::vector<size_t>> SummaryIndex() const {
    std::map<uint32_t, std::vector<size_t>> index;
    for (size_t i = events.size(); i-- > 0;) {
      const ExpectEvent &e = events[i];
      index[e.summary_id].push_back(i);
      if (e.has_id_3d && e.summary_id_3d != e.summary_id) index[e.summary_id_3d].push_back(i);
    }
    for (auto &kv : index) {
      std::sort(kv.second.begin(), kv.second.end(), std::greater<size_t>());
      kv.second.erase(std::unique(kv.second.begin(), kv.second.end()), kv.second.end());
    }
    return index;
  }
};

/* The sections of one table in the order the grabber decodes them. */
std::vector<const SimSection *> ExpectDecodeOrder(const std::vector<SimSection> &cycle, bool forward) {
  std::vector<const SimSection *> out;
  for (const auto &s : cycle) out.push_back(&s);
  if (!forward) std::reverse(out.begin(), out.end());
  return out;
}

/* The record the grabber decodes from the entry of "e" in a 3-day or (with
 * "seven_day") a 7-day section whose channel id is "channel". */
ExpectEvent ExpectDecodedEvent(const SimEvent &e, int channel, bool seven_day) {
  ExpectEvent m;
  m.channel = channel;
  m.start_time = e.start - e.start % 60u;
  m.event_id = e.event_id;
  m.summary_id = e.summary_id & 0xFFFFFFu;
  m.summary_id_3d = seven_day ? 0 : e.summary_id_3d;
  m.has_id_3d = !seven_day;
  m.duration = e.duration;
  m.title = ExpectCString(seven_day ? TablesTitle7(e).substr(0, 63) : TablesTitle3(e));
  m.has_summary = false;
  return m;
}

/* What the database keeps of the run's titles when it saves them into a new
 * database: every one, one per channel and start (the last stored); titles of
 * one run never replace each other and are never expired by their own save. */
void ExpectSettle(const std::map<RowKey, std::pair<uint64_t, ExpectRow>> &stored, std::vector<ExpectRow> *rows) {
  rows->clear();
  for (const auto &kv : stored) rows->push_back(kv.second.second);
}

/* Appends "text" to "out" with the escapes of the expectation format. */
void ExpectPutEscaped(std::string *out, const std::string &text) {
  for (unsigned char c : text) {
    if (c == '\\') *out += "\\\\";
    else if (c == '\n') *out += "\\n";
    else if (c == '\t') *out += "\\t";
    else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\x%02X", c);
      *out += buf;
    } else {
      out->push_back((char)c);
    }
  }
}

}  // namespace

void ExpectGrab(const SimGuide &guide, const SimTables &tables, const ExpectConfig &config,
                bool forward, std::vector<ExpectRow> *rows, ExpectStats *stats) {
  ExpectModel m{guide, config, {}, {}, {}, 0, 0, 0};
  ExpectStats st;
  bool have_channels = false;
  for (const auto &s : tables.cycle[SIM_CHANNELS])
    if (s.channel_table) have_channels = true;
  st.channels = have_channels ? (int)guide.channels.size() : 0;
  if (st.channels > 0) {
    if (config.download_3_days) {
      st.ran_e3 = true;
      st.sections[SIM_EVENTS3] = (int)tables.cycle[SIM_EVENTS3].size();
      for (const SimSection *s : ExpectDecodeOrder(tables.cycle[SIM_EVENTS3], forward))
        for (int i : s->events) {
          const SimEvent &e = guide.events[(size_t)i];
          if (e.channel >= st.channels) continue;
          if (m.Add(ExpectDecodedEvent(e, e.channel, false), false)) st.events3++;
        }
    }
    if (config.download_7_days) {
      st.ran_e7 = true;
      st.sections[SIM_EVENTS7] = (int)tables.cycle[SIM_EVENTS7].size();
      for (const SimSection *s : ExpectDecodeOrder(tables.cycle[SIM_EVENTS7], forward)) {
        if (s->channel >= st.channels) continue;
        for (int i : s->events)
          if (m.Add(ExpectDecodedEvent(guide.events[(size_t)i], s->channel, true), true)) st.events7++;
      }
    }
  }
  st.total_events = st.events3 + st.events7;
  if (st.total_events > 0) {
    auto index = m.SummaryIndex();
    if (config.download_3_days) {
      st.ran_s3 = true;
      st.sections[SIM_SUMMARIES3] = (int)tables.cycle[SIM_SUMMARIES3].size();
      m.attached = m.without_event = 0;
      for (const SimSection *s : ExpectDecodeOrder(tables.cycle[SIM_SUMMARIES3], forward)) {
        if (s->part != 0) { /* continuations are dropped */
          st.continuations++;
          continue;
        }
        const SimSummary &sum = guide.summaries[(size_t)s->summary];
        m.AddSummary(sum.id3, ExpectCString(sum.title), ExpectCString(GuideJoinLines(TablesSummary3Parts(sum)[0])),
                     index);
      }
      st.summaries3 = m.attached;
      st.summaries_without_event = m.without_event;
    }
    if (config.download_7_days) {
      st.ran_s7 = true;
      st.sections[SIM_SUMMARIES7] = (int)tables.cycle[SIM_SUMMARIES7].size();
      m.attached = m.without_event = 0;
      for (const SimSection *s : ExpectDecodeOrder(tables.cycle[SIM_SUMMARIES7], forward)) {
        const SimSummary &sum = guide.summaries[(size_t)s->summary];
        m.AddSummary(sum.id7, ExpectCString(sum.title), ExpectCString(sum.text7), index);
      }
      st.summaries7 = m.attached;
      st.summaries_without_event = m.without_event;
    }
    for (size_t i = m.events.size(); i-- > 0;) {
      const ExpectEvent &e = m.events[i];
      if (e.has_summary) {
        st.with_summary++;
      } else {
        st.without_summary++;
        m.Store(e, e.title, "");
      }
    }
  }
  st.stores = m.stores;
  ExpectSettle(m.rows, rows);
  *stats = st;
}

int ExpectParseAlias(const std::string &text, ExpectAlias *a) {
  unsigned v[6];
  if (sscanf(text.c_str(), "%X:%X:%X,%X:%X:%X", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return 0;
  *a = {v[0], v[1], v[2], v[3], v[4], v[5]};
  return 1;
}

std::string ExpectFormatRows(std::vector<ExpectRow> rows) {
  std::sort(rows.begin(), rows.end(), [](const ExpectRow &a, const ExpectRow &b) {
    return std::tie(a.nid, a.tsid, a.sid, a.start_time) < std::tie(b.nid, b.tsid, b.sid, b.start_time);
  });
  std::string out;
  char buf[128];
  for (const auto &r : rows) {
    snprintf(buf, sizeof(buf), "%04X:%04X:%04X\t%u\t%u\t%u\t%u\t%u\t", r.nid, r.tsid, r.sid, r.start_time,
             r.length, r.event_id, r.mjd, r.flags);
    out += buf;
    ExpectPutEscaped(&out, r.language);
    out += "\t";
    ExpectPutEscaped(&out, r.description);
    out += "\t";
    ExpectPutEscaped(&out, r.long_description);
    out += "\n";
  }
  return out;
}

std::string ExpectFormatStats(const ExpectStats &s) {
  char buf[1024];
  snprintf(buf, sizeof(buf),
           "channels %d\n"
           "sections_events3 %d\nsections_events7 %d\nsections_summaries3 %d\nsections_summaries7 %d\n"
           "events3 %d\nevents7 %d\ntotal_events %d\nsummaries3 %d\nsummaries7 %d\n"
           "with_summary %d\nwithout_summary %d\nsummaries_without_event %d\n"
           "stores %d\ncontinuations %d\nran %d %d %d %d\n",
           s.channels, s.sections[SIM_EVENTS3], s.sections[SIM_EVENTS7], s.sections[SIM_SUMMARIES3],
           s.sections[SIM_SUMMARIES7], s.events3, s.events7, s.total_events, s.summaries3, s.summaries7,
           s.with_summary, s.without_summary, s.summaries_without_event, s.stores, s.continuations, s.ran_e3, s.ran_e7, s.ran_s3,
           s.ran_s7);
  return buf;
}

int ExpectReadDatabase(const std::string &root, std::vector<ExpectRow> *rows) {
  char why[512];
  epgdb_reader_t *reader = epgdb_reader_open(root.c_str(), why, sizeof why);
  if (!reader) {
    fprintf(stderr, "%s\n", why);
    return 0;
  }
  int got = epgdb_reader_titles(reader, nullptr) ? 1 : -1;
  epgdb_title_row_t t;
  while (got == 1 && (got = epgdb_reader_next_title(reader, &t)) == 1) {
    ExpectRow r;
    r.nid = t.nid;
    r.tsid = t.tsid;
    r.sid = t.sid;
    r.start_time = (uint32_t)t.start_time;
    r.length = (uint32_t)t.length;
    r.event_id = t.event_id;
    r.mjd = t.mjd;
    r.flags = t.flags;
    r.language = t.language;
    r.description.assign(t.description, t.description_size);
    r.long_description.assign(t.long_description, t.long_description_size);
    rows->push_back(r);
  }
  if (got < 0) fprintf(stderr, "%s\n", epgdb_reader_error(reader));
  epgdb_reader_close(reader);
  return got == 0;
}
