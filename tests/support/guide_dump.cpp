#include "support/guide_dump.h"

#include <stdio.h>

#include <algorithm>
#include <functional>

#include "epgdb.h"

namespace {

std::string Hex(const char *bytes, size_t size) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < size; i++) {
    snprintf(buf, sizeof buf, "%02X", (unsigned char)bytes[i]);
    out += buf;
  }
  return out;
}

std::string Triple(unsigned nid, unsigned tsid, unsigned sid) {
  return std::to_string(nid) + ":" + std::to_string(tsid) + ":" + std::to_string(sid);
}

/* "size" bytes at "text" with every line feed written as \n. */
std::string Lines(const char *text, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; i++) out += text[i] == '\n' ? std::string("\\n") : std::string(1, text[i]);
  return out;
}

/* Every field of "t", its texts written by "text", as one line. */
std::string TitleLine(const epgdb_title_row_t &t, std::string (*text)(const char *, size_t)) {
  return Triple(t.nid, t.tsid, t.sid) + "|" + std::to_string(t.start_time) + "|" +
         std::to_string(t.length) + "|" + std::to_string(t.event_id) + "|" +
         std::to_string(t.mjd) + "|" + std::to_string(t.flags) + "|" + t.language + "|" +
         text(t.description, t.description_size) + "|" +
         text(t.long_description, t.long_description_size) + "\n";
}

/* Walks every channel (when "channel" is set) and every title of "root".
 * Returns "" or "error: <reason>". */
std::string Walk(const std::string &root,
                 const std::function<void(const epgdb_channel_row_t &)> &channel,
                 const std::function<void(const epgdb_title_row_t &)> &title) {
  char why[512];
  epgdb_reader_t *reader = epgdb_reader_open(root.c_str(), why, sizeof why);
  if (!reader) return std::string("error: ") + why;
  int got = 0;
  if (channel) {
    epgdb_channel_row_t c;
    got = epgdb_reader_channels(reader, 0) ? 1 : -1;
    while (got == 1 && (got = epgdb_reader_next_channel(reader, &c)) == 1) channel(c);
  }
  epgdb_title_row_t t;
  if (got == 0) got = epgdb_reader_titles(reader, nullptr) ? 1 : -1;
  while (got == 1 && (got = epgdb_reader_next_title(reader, &t)) == 1) title(t);
  std::string result = got < 0 ? std::string("error: ") + epgdb_reader_error(reader) : "";
  epgdb_reader_close(reader);
  return result;
}

}  // namespace

std::string GuideDump(const std::string &root) {
  std::string out;
  std::string error = Walk(
      root,
      [&](const epgdb_channel_row_t &c) {
        out += "channel " + Triple(c.nid, c.tsid, c.sid) + " " + c.name + "\n";
      },
      [&](const epgdb_title_row_t &t) { out += TitleLine(t, Hex); });
  return error.empty() ? out : error;
}

std::string GuideTitleRows(const std::string &root) {
  std::string out;
  std::string error = Walk(root, nullptr, [&](const epgdb_title_row_t &t) {
    out += Triple(t.nid, t.tsid, t.sid) + "|" + std::to_string(t.start_time) + "|" +
           std::to_string(t.length) + "|" + std::string(t.description, t.description_size) + "\n";
  });
  return error.empty() ? out : error;
}

std::string GuideTitleTexts(const std::string &root) {
  std::string out;
  std::string error =
      Walk(root, nullptr, [&](const epgdb_title_row_t &t) { out += TitleLine(t, Lines); });
  return error.empty() ? out : error;
}

long GuideTitleCount(const std::string &root) {
  long count = 0;
  return Walk(root, nullptr, [&](const epgdb_title_row_t &) { count++; }).empty() ? count : -1;
}

long GuideOverlaps(const std::string &root) {
  long overlaps = 0;
  std::string channel;
  int64_t end = 0;
  std::string error = Walk(root, nullptr, [&](const epgdb_title_row_t &t) {
    std::string here = Triple(t.nid, t.tsid, t.sid);
    if (here == channel && t.start_time < end) overlaps++;
    end = here == channel ? std::max(end, t.start_time + t.length) : t.start_time + t.length;
    channel = here;
  });
  return error.empty() ? overlaps : -1;
}
