/* Guide description files: parsing, formatting and the limits of the tables. */
#include "guide.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

/* One parsed line: the record word, a positional value (channel name or
 * summary key or line text) and the key=value attributes in order. */
struct GuideLine {
  std::string word;
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> attrs;
};

/* Reads one token at "pos" of "text": a quoted string with \" \\ \n \t \xHH
 * escapes, or a run of non-blank bytes. Returns 1 and advances "pos", or 0
 * when a quoted string is unterminated or has a bad escape. */
int GuideReadToken(const std::string &text, size_t *pos, std::string *out) {
  size_t p = *pos;
  out->clear();
  if (p < text.size() && text[p] == '"') {
    p++;
    while (p < text.size() && text[p] != '"') {
      char c = text[p++];
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (p >= text.size()) return 0;
      char e = text[p++];
      if (e == 'n') out->push_back('\n');
      else if (e == 't') out->push_back('\t');
      else if (e == '"' || e == '\\') out->push_back(e);
      else if (e == 'x') {
        if (p + 2 > text.size()) return 0;
        char hex[3] = {text[p], text[p + 1], 0};
        char *end = nullptr;
        long v = strtol(hex, &end, 16);
        if (*end != 0) return 0;
        out->push_back((char)v);
        p += 2;
      } else {
        return 0;
      }
    }
    if (p >= text.size()) return 0;
    *pos = p + 1;
    return 1;
  }
  while (p < text.size() && text[p] != ' ' && text[p] != '\t') {
    if (text[p] == '=' && p + 1 < text.size() && text[p + 1] == '"') {
      /* key="quoted value": keep the key and the '=', then the string */
      out->append(text, *pos, p + 1 - *pos);
      size_t q = p + 1;
      std::string value;
      if (!GuideReadToken(text, &q, &value)) return 0;
      out->append(value);
      *pos = q;
      return 1;
    }
    p++;
  }
  out->assign(text, *pos, p - *pos);
  *pos = p;
  return 1;
}

/* Splits one line into a GuideLine. Returns 1, or 0 on a bad token. */
int GuideSplitLine(const std::string &text, GuideLine *line) {
  size_t pos = 0;
  bool first = true;
  for (;;) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r')) pos++;
    if (pos >= text.size()) break;
    bool quoted = text[pos] == '"';
    std::string token;
    if (!GuideReadToken(text, &pos, &token)) return 0;
    if (first) {
      line->word = token;
      first = false;
      continue;
    }
    size_t eq = quoted ? std::string::npos : token.find('=');
    if (eq == std::string::npos) line->positional.push_back(token);
    else line->attrs.push_back({token.substr(0, eq), token.substr(eq + 1)});
  }
  return 1;
}

/* Parses a decimal or 0x-prefixed hexadecimal number not above "max".
 * Returns 1 and sets "out", or 0. */
int GuideParseNumber(const std::string &text, uint64_t max, uint64_t *out) {
  if (text.empty()) return 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (*end != 0 || text[0] == '-' || v > max) return 0;
  *out = v;
  return 1;
}

/* Parses "YYYY-MM-DDTHH:MM[:SS]" (UTC) into seconds since 1970 and the
 * seconds field. Returns 1, or 0 on a malformed or out-of-range time. */
int GuideParseTime(const std::string &text, uint32_t *start, uint8_t *seconds) {
  int y, mo, d, h, mi, s = 0;
  char tail;
  int n = sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail);
  if (n != 5 && n != 6) return 0;
  if (y < 1970 || y > 2100 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
      mi > 59 || s < 0 || s > 59)
    return 0;
  *start = GuideUtcSeconds(y, mo, d, h, mi);
  *seconds = (uint8_t)s;
  return 1;
}

/* "text" as a quoted description-file string. */
std::string GuideQuote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back((char)c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\x%02X", c);
      out += buf;
    } else {
      out.push_back((char)c);
    }
  }
  return out + "\"";
}

/* A start as YYYY-MM-DDTHH:MM, with :SS when the seconds byte is set. */
std::string GuideFormatTime(uint32_t start, uint8_t seconds) {
  time_t t = (time_t)start;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[40];
  if (seconds)
    snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, (int)seconds);
  else
    snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min);
  return buf;
}

}  // namespace

uint32_t GuideUtcSeconds(int year, int month, int day, int hour, int minute) {
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  return (uint32_t)timegm(&tm);
}

std::string GuideJoinLines(const std::vector<std::string> &lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); i++) {
    if (i) out.push_back(' ');
    out += lines[i];
  }
  return out;
}

int GuideParseText(const std::string &text, const std::string &name, SimGuide *guide) {
  std::map<std::string, size_t> summary_by_key;
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  std::vector<bool> text7_given;
  auto fail = [&](const std::string &why) {
    fprintf(stderr, "%s:%d: %s\n", name.c_str(), number, why.c_str());
    return 0;
  };
  while (std::getline(in, raw)) {
    number++;
    size_t first = raw.find_first_not_of(" \t\r");
    if (first == std::string::npos || raw[first] == '#') continue;
    GuideLine line;
    if (!GuideSplitLine(raw, &line)) return fail("bad quoted string");
    uint64_t v = 0;
    if (line.word == "channel") {
      SimChannel ch;
      if (line.positional.size() != 1) return fail("channel needs one quoted name");
      ch.name = line.positional[0];
      bool have[3] = {false, false, false};
      for (const auto &a : line.attrs) {
        uint64_t max = 0xFFFF;
        if (!GuideParseNumber(a.second, max, &v)) return fail("bad number in " + a.first);
        if (a.first == "nid") ch.nid = (uint16_t)v, have[0] = true;
        else if (a.first == "tsid") ch.tsid = (uint16_t)v, have[1] = true;
        else if (a.first == "sid") ch.sid = (uint16_t)v, have[2] = true;
        else if (a.first == "word4") ch.word4 = (uint16_t)v;
        else return fail("unknown channel attribute " + a.first);
      }
      if (!have[0] || !have[1] || !have[2]) return fail("channel needs nid, tsid and sid");
      guide->channels.push_back(ch);
    } else if (line.word == "summary") {
      SimSummary s;
      if (line.positional.size() != 1) return fail("summary needs one key");
      s.key = line.positional[0];
      if (summary_by_key.count(s.key)) return fail("summary key used twice: " + s.key);
      for (const auto &a : line.attrs) {
        if (a.first == "title") {
          s.title = a.second;
        } else if (a.first == "id3") {
          if (!GuideParseNumber(a.second, 0xFFFF, &v)) return fail("bad id3");
          s.has_id3 = true, s.id3 = (uint16_t)v;
        } else if (a.first == "id7") {
          if (!GuideParseNumber(a.second, 0xFFFFFF, &v)) return fail("bad id7");
          s.has_id7 = true, s.id7 = (uint32_t)v;
        } else {
          return fail("unknown summary attribute " + a.first);
        }
      }
      summary_by_key[s.key] = guide->summaries.size();
      guide->summaries.push_back(s);
      text7_given.push_back(false);
    } else if (line.word == "line" || line.word == "text7") {
      if (guide->summaries.empty()) return fail(line.word + " before any summary");
      if (line.positional.size() != 1 || !line.attrs.empty())
        return fail(line.word + " needs one quoted text");
      SimSummary &s = guide->summaries.back();
      if (line.word == "line") {
        s.lines.push_back(line.positional[0]);
      } else {
        s.text7 += line.positional[0];
        text7_given.back() = true;
      }
    } else if (line.word == "event") {
      SimEvent e;
      bool have_ch = false, have_start = false, have_dur = false, have_id = false;
      bool have_sid = false, have_sid3 = false, have_sid2 = false;
      const SimSummary *summary = nullptr;
      for (const auto &a : line.attrs) {
        if (a.first == "ch") {
          if (!GuideParseNumber(a.second, 255, &v)) return fail("bad channel index");
          e.channel = (int)v, have_ch = true;
        } else if (a.first == "start") {
          if (!GuideParseTime(a.second, &e.start, &e.start_seconds)) return fail("bad start time");
          have_start = true;
        } else if (a.first == "dur") {
          if (!GuideParseNumber(a.second, 4095, &v)) return fail("bad duration");
          e.duration = (uint16_t)v, have_dur = true;
        } else if (a.first == "title") {
          e.title = a.second;
        } else if (a.first == "title7") {
          e.title7 = a.second;
        } else if (a.first == "id") {
          if (!GuideParseNumber(a.second, 0xFFFFFFFFu, &v)) return fail("bad event id");
          e.event_id = (uint32_t)v, have_id = true;
        } else if (a.first == "summary") {
          auto it = summary_by_key.find(a.second);
          if (it == summary_by_key.end()) return fail("unknown summary " + a.second);
          summary = &guide->summaries[it->second];
        } else if (a.first == "sid") {
          if (!GuideParseNumber(a.second, 0xFFFFFF, &v)) return fail("bad sid");
          e.summary_id = (uint32_t)v, have_sid = true;
        } else if (a.first == "sid3") {
          if (!GuideParseNumber(a.second, 0xFFFF, &v)) return fail("bad sid3");
          e.summary_id_3d = (uint16_t)v, have_sid3 = true;
        } else if (a.first == "sid2") {
          if (!GuideParseNumber(a.second, 0xFFFF, &v)) return fail("bad sid2");
          e.summary_id2 = (uint16_t)v, have_sid2 = true;
        } else if (a.first == "newbyte") {
          if (!GuideParseNumber(a.second, 0xFF, &v)) return fail("bad newbyte");
          e.newbyte = (uint8_t)v;
        } else if (a.first == "copies") {
          if (!GuideParseNumber(a.second, 16, &v) || v == 0) return fail("bad copies");
          e.copies = (int)v;
        } else if (a.first == "tables") {
          if (a.second == "3") e.in3 = true, e.in7 = false;
          else if (a.second == "7") e.in3 = false, e.in7 = true;
          else if (a.second == "37") e.in3 = true, e.in7 = true;
          else return fail("tables must be 3, 7 or 37");
        } else {
          return fail("unknown event attribute " + a.first);
        }
      }
      if (!have_ch || !have_start || !have_dur) return fail("event needs ch, start and dur");
      if (!line.positional.empty()) return fail("event takes attributes only");
      if (!have_id) e.event_id = 0x10000000u + (uint32_t)guide->events.size();
      if (!have_sid) e.summary_id = summary && summary->has_id7 ? summary->id7 : 0xFFFFFF;
      if (!have_sid3) e.summary_id_3d = summary && summary->has_id3 ? summary->id3 : 0xFFFF;
      if (!have_sid2) e.summary_id2 = e.summary_id_3d;
      guide->events.push_back(e);
    } else {
      return fail("unknown record " + line.word);
    }
  }
  for (size_t i = 0; i < guide->summaries.size(); i++)
    if (!text7_given[i]) guide->summaries[i].text7 = GuideJoinLines(guide->summaries[i].lines);
  return GuideCheck(*guide);
}

int GuideReadFile(const std::string &path, SimGuide *guide) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "%s: cannot open\n", path.c_str());
    return 0;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  return GuideParseText(ss.str(), path, guide);
}

std::string GuideFormatText(const SimGuide &guide) {
  std::string out = "# mhw2sim guide description (ISO-8859-1)\n";
  char buf[256];
  for (const auto &c : guide.channels) {
    snprintf(buf, sizeof(buf), " nid=0x%04X tsid=0x%04X sid=0x%04X", c.nid, c.tsid, c.sid);
    out += "channel " + GuideQuote(c.name) + buf;
    if (c.word4) {
      snprintf(buf, sizeof(buf), " word4=0x%04X", c.word4);
      out += buf;
    }
    out += "\n";
  }
  for (size_t i = 0; i < guide.summaries.size(); i++) {
    const SimSummary &s = guide.summaries[i];
    out += "summary " + s.key;
    if (s.has_id3) {
      snprintf(buf, sizeof(buf), " id3=0x%04X", s.id3);
      out += buf;
    }
    if (s.has_id7) {
      snprintf(buf, sizeof(buf), " id7=0x%06X", s.id7);
      out += buf;
    }
    out += " title=" + GuideQuote(s.title) + "\n";
    for (const auto &l : s.lines) out += "line " + GuideQuote(l) + "\n";
    if (s.text7 != GuideJoinLines(s.lines)) out += "text7 " + GuideQuote(s.text7) + "\n";
  }
  for (const auto &e : guide.events) {
    snprintf(buf, sizeof(buf), "event ch=%d start=%s dur=%u id=0x%08X sid=0x%06X sid3=0x%04X",
             e.channel, GuideFormatTime(e.start, e.start_seconds).c_str(), e.duration, e.event_id,
             e.summary_id, e.summary_id_3d);
    out += buf;
    if (e.summary_id2 != e.summary_id_3d) {
      snprintf(buf, sizeof(buf), " sid2=0x%04X", e.summary_id2);
      out += buf;
    }
    if (e.newbyte) {
      snprintf(buf, sizeof(buf), " newbyte=0x%02X", e.newbyte);
      out += buf;
    }
    if (!(e.in3 && e.in7)) out += e.in3 ? " tables=3" : " tables=7";
    if (e.copies != 1) out += " copies=" + std::to_string(e.copies);
    out += " title=" + GuideQuote(e.title);
    if (!e.title7.empty()) out += " title7=" + GuideQuote(e.title7);
    out += "\n";
  }
  return out;
}

int GuideCheck(const SimGuide &guide) {
  auto fail = [](const std::string &why) {
    fprintf(stderr, "guide: %s\n", why.c_str());
    return 0;
  };
  if (guide.channels.size() > 255) return fail("more than 255 channels");
  for (const auto &c : guide.channels)
    if (c.name.size() > 15) return fail("channel name longer than 15 bytes: " + c.name);
  for (const auto &s : guide.summaries) {
    if (s.title.size() > 255) return fail("summary title longer than 255 bytes: " + s.key);
    if (s.lines.size() > 30) return fail("more than 30 summary lines: " + s.key);
    for (const auto &l : s.lines)
      if (l.size() > 255) return fail("summary line longer than 255 bytes: " + s.key);
    if (s.text7.size() > 4095) return fail("7-day summary text longer than 4095 bytes: " + s.key);
  }
  for (const auto &e : guide.events) {
    if (e.title.size() > 255 || e.title7.size() > 255)
      return fail("event title longer than 255 bytes: " + e.title);
  }
  return 1;
}
