/* XMLTV documents of the guide database: channels with their display names,
 * programmes with title, sub-title and description taken apart from the
 * stored texts. */
#include "xmltv_write.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <set>

#include "epgdb_text.h"

/* The title of a programme whose title and summary title hold nothing but
 * white space: XMLTV needs one, and it must not pass for a real title. */
#define XMLTV_NO_TITLE "(no title in the broadcast)"
#define XMLTV_NO_TITLE_LANG "en"

/* The texts of one programme as XMLTV shows them. */
struct XmltvProgrammeTexts {
  std::string lang; /* language tag of the programme's texts */
  std::string title;
  std::string title_lang;
  std::string sub_title; /* "" when none */
  std::string desc;      /* "" when none */
};

/* The triple of a channel as one 48-bit key. */
static uint64_t XmltvChannelKey(uint16_t nid, uint16_t tsid, uint16_t sid) {
  return (uint64_t)nid << 32 | (uint64_t)tsid << 16 | sid;
}

/* The XMLTV id of the channel "nid", "tsid", "sid": stable across runs,
 * made from the triple only, in the DNS-like form XMLTV prefers. */
static std::string XmltvChannelId(uint16_t nid, uint16_t tsid, uint16_t sid) {
  return std::to_string(nid) + "-" + std::to_string(tsid) + "-" + std::to_string(sid) +
         ".mhw2.dvb";
}

/* "seconds" since 1970 as an XMLTV time in UTC. */
static std::string XmltvTime(int64_t seconds) {
  time_t t = (time_t)seconds;
  struct tm tm;
  char buf[32];
  if (!gmtime_r(&t, &tm) || strftime(buf, sizeof buf, "%Y%m%d%H%M%S +0000", &tm) == 0) return "";
  return buf;
}

/* Takes the texts of the stored title "t" apart: the title from the
 * description; from the long description (summary title, an empty line,
 * summary text) the summary text as description, and the summary title as
 * the whole title when it begins with the cut title, as sub-title only when
 * it is something else (EpgdbTextTitles). A title still empty takes the
 * placeholder. */
static void XmltvProgrammeTextsOf(const epgdb_title_row_t &t, XmltvProgrammeTexts *out) {
  int utf8 = t.flags & 1;
  const unsigned char *summary = (const unsigned char *)t.long_description;
  size_t size = t.long_description_size, split = size, text_at = 0;
  for (size_t i = 0; i + 1 < size; i++) {
    if (summary[i] == '\n' && summary[i + 1] == '\n') {
      split = i;
      text_at = i + 2;
      break;
    }
  }
  /* Without the empty line the whole long description is the summary text. */
  if (split == size) split = 0;
  out->title = EpgdbTextDecode((const unsigned char *)t.description, t.description_size, utf8,
                               EPGDB_TEXT_ONE_LINE);
  out->sub_title = EpgdbTextDecode(summary, split, utf8, EPGDB_TEXT_ONE_LINE);
  out->desc = EpgdbTextDecode(summary + text_at, size - text_at, utf8, EPGDB_TEXT_KEEP_LINES);
  out->lang = EpgdbTextLanguageTag(t.language);
  out->title_lang = out->lang;
  EpgdbTextTitles(&out->title, &out->sub_title);
  if (out->title.empty()) {
    out->title = XMLTV_NO_TITLE;
    out->title_lang = XMLTV_NO_TITLE_LANG;
  }
}

/* The lang attribute for the tag "lang" ("" when there is none). */
static std::string XmltvLangAttribute(const std::string &lang) {
  return lang.empty() ? "" : " lang=\"" + lang + "\"";
}

/* Writes one programme of "t" with the texts "texts" to "out". */
static void XmltvWriteProgramme(FILE *out, const epgdb_title_row_t &t,
                                const XmltvProgrammeTexts &texts) {
  std::string lang = XmltvLangAttribute(texts.lang);
  fprintf(out, "  <programme start=\"%s\" stop=\"%s\" channel=\"%s\">\n",
          XmltvTime(t.start_time).c_str(), XmltvTime(t.start_time + t.length).c_str(),
          XmltvChannelId(t.nid, t.tsid, t.sid).c_str());
  fprintf(out, "    <title%s>%s</title>\n", XmltvLangAttribute(texts.title_lang).c_str(),
          EpgdbTextXmlEscape(texts.title).c_str());
  if (!texts.sub_title.empty())
    fprintf(out, "    <sub-title%s>%s</sub-title>\n", lang.c_str(),
            EpgdbTextXmlEscape(texts.sub_title).c_str());
  if (!texts.desc.empty())
    fprintf(out, "    <desc%s>%s</desc>\n", lang.c_str(), EpgdbTextXmlEscape(texts.desc).c_str());
  fputs("  </programme>\n", out);
}

/* Starts the walk over the titles "selection" keeps. Returns 1, or 0. */
static int XmltvStartTitles(epgdb_reader_t *reader, const XmltvSelection *selection) {
  epgdb_title_filter_t filter = {};
  if (selection->has_window) {
    /* The reader keeps titles that end after a time: every title that starts
     * at or after "from" ends at or after it. Titles that start before it
     * are dropped while walking. */
    filter.has_from = 1;
    filter.from = selection->from - 1;
    filter.has_to = 1;
    filter.to = selection->to;
  }
  return epgdb_reader_titles(reader, &filter);
}

/* True when the title "t" of the walk belongs to "selection". */
static bool XmltvKeeps(const XmltvSelection *selection, const epgdb_title_row_t &t) {
  return !selection->has_window || t.start_time >= selection->from;
}

/* Fails with the reader's error. Returns 0. */
static int XmltvReadFailed(epgdb_reader_t *reader, std::string *why) {
  *why = epgdb_reader_error(reader);
  return 0;
}

/* Writes the start of a document made by "generator". */
static void XmltvWriteHead(FILE *out, const char *generator) {
  fprintf(out,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
          "<tv generator-info-name=\"%s\">\n",
          EpgdbTextXmlEscape(generator).c_str());
}

/* Ends the document on "out" and makes sure it was written. Returns 1, or
 * 0 with the reason in "why". */
static int XmltvWriteEnd(FILE *out, std::string *why) {
  fputs("</tv>\n", out);
  if (fflush(out) != 0 || ferror(out)) {
    *why = std::string("writing the document: ") + strerror(errno ? errno : EIO);
    return 0;
  }
  return 1;
}

int XmltvWriteGuide(FILE *out, epgdb_reader_t *reader, const char *generator,
                    const XmltvSelection *selection, XmltvCounts *counts, std::string *why) {
  static const XmltvSelection all = {};
  if (!selection) selection = &all;
  XmltvCounts written = {0, 0};
  if (counts) *counts = written;
  if (!reader) {
    XmltvWriteHead(out, generator);
    return XmltvWriteEnd(out, why);
  }
  int row = 0;
  /* Channels come first in the document: one walk over the titles finds
   * those with a programme in it. */
  std::set<uint64_t> with_programmes;
  if (!selection->channels_only) {
    if (!XmltvStartTitles(reader, selection)) return XmltvReadFailed(reader, why);
    epgdb_title_row_t t;
    while ((row = epgdb_reader_next_title(reader, &t)) == 1) {
      if (XmltvKeeps(selection, t)) with_programmes.insert(XmltvChannelKey(t.nid, t.tsid, t.sid));
    }
    if (row < 0) return XmltvReadFailed(reader, why);
  }
  if (!epgdb_reader_channels(reader, selection->channels_only ? 0 : 1))
    return XmltvReadFailed(reader, why);

  XmltvWriteHead(out, generator);
  epgdb_channel_row_t c;
  while ((row = epgdb_reader_next_channel(reader, &c)) == 1) {
    if (!selection->channels_only && !with_programmes.count(XmltvChannelKey(c.nid, c.tsid, c.sid)))
      continue;
    std::string triple =
        std::to_string(c.nid) + ":" + std::to_string(c.tsid) + ":" + std::to_string(c.sid);
    /* The broadcast name first: the name a programme guide shows. */
    std::string name =
        EpgdbTextDecode((const unsigned char *)c.name, strlen(c.name), 1, EPGDB_TEXT_ONE_LINE);
    fprintf(out, "  <channel id=\"%s\">\n", XmltvChannelId(c.nid, c.tsid, c.sid).c_str());
    if (!name.empty())
      fprintf(out, "    <display-name>%s</display-name>\n", EpgdbTextXmlEscape(name).c_str());
    fprintf(out, "    <display-name>%s</display-name>\n  </channel>\n", triple.c_str());
    written.channels++;
  }
  if (row < 0) return XmltvReadFailed(reader, why);

  if (!selection->channels_only) {
    if (!XmltvStartTitles(reader, selection)) return XmltvReadFailed(reader, why);
    epgdb_title_row_t t;
    XmltvProgrammeTexts texts;
    while ((row = epgdb_reader_next_title(reader, &t)) == 1) {
      if (!XmltvKeeps(selection, t)) continue;
      XmltvProgrammeTextsOf(t, &texts);
      XmltvWriteProgramme(out, t, texts);
      written.programmes++;
    }
    if (row < 0) return XmltvReadFailed(reader, why);
  }
  if (!XmltvWriteEnd(out, why)) return 0;
  if (counts) *counts = written;
  return 1;
}
