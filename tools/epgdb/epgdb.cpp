/* The epgdb command: reads a guide database (guide.db below a database
 * root) without changing it, and shows it as a summary, a listing or XMLTV. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "epgdb.h"
#include "epgdb_text.h"
#include "epgdb_vdr.h"
#include "xmltv_write.h"

/* Exit codes: done; the database could not be read or the output not
 * written; bad arguments, no database, or one of another schema. */
#define EPGDB_EXIT_OK 0
#define EPGDB_EXIT_FAILED 1
#define EPGDB_EXIT_USAGE 2

/* Pieces of the help texts that several commands share. */
#define EPGDB_HELP_ROOT "ROOT/guide.db (ROOT may also name the file itself)"
#define EPGDB_HELP_TIME                                                                 \
  "NID, TSID and SID are decimal, or hexadecimal after 0x. TIME is local time\n"        \
  "as YYYY-mm-dd, YYYY-mm-dd HH:MM or YYYY-mm-dd HH:MM:SS (or with T between\n"         \
  "date and time), seconds since 1970 as @SECONDS, or now. A filter that\n"            \
  "matches nothing (a channel the guide does not hold, a time window without\n"        \
  "titles) says so on standard error; the exit code stays 0.\n"
#define EPGDB_HELP_EXIT                                                               \
  "Exit codes: 0 done (also when nothing matched); 1 the database could not be\n"     \
  "read or the output not written; 2 bad arguments, no database at ROOT, or a\n"     \
  "database of another schema version.\n"

static const char EPGDB_USAGE[] =
    "Usage: epgdb COMMAND ROOT [OPTIONS]\n"
    "Reads the guide database " EPGDB_HELP_ROOT "\n"
    "without changing it. 'epgdb COMMAND --help' tells about one command.\n"
    "\n"
    "Commands:\n"
    "  info ROOT    schema version, numbers of channels and titles, time range,\n"
    "               titles per channel\n"
    "  list ROOT [--channel NID:TSID:SID] [--from TIME] [--to TIME]\n"
    "               the titles in local time with length, title and the first\n"
    "               line of the summary; --from keeps titles that end after TIME,\n"
    "               --to those that start before TIME\n"
    "  xmltv ROOT   the whole guide as XMLTV on standard output\n"
    "\n" EPGDB_HELP_TIME "\n" EPGDB_HELP_EXIT;

/* The help of each command: "epgdb COMMAND --help". */
static const char EPGDB_INFO_USAGE[] =
    "Usage: epgdb info ROOT\n"
    "Summarises the guide database " EPGDB_HELP_ROOT ":\n"
    "its schema version, the numbers of channels and titles, the time range of\n"
    "the titles (local time and MJD), and one line per channel: NID:TSID:SID,\n"
    "titles, first start, last end, broadcast name.\n"
    "\n" EPGDB_HELP_EXIT;
static const char EPGDB_LIST_USAGE[] =
    "Usage: epgdb list ROOT [--channel NID:TSID:SID] [--from TIME] [--to TIME]\n"
    "Lists the titles of " EPGDB_HELP_ROOT "\n"
    "channel by channel, in local time: start, length, title and the first line\n"
    "of the summary.\n"
    "  --channel NID:TSID:SID  only the titles of this channel ('epgdb info ROOT'\n"
    "                          lists the channels the guide holds)\n"
    "  --from TIME             only the titles that end after TIME\n"
    "  --to TIME               only the titles that start before TIME\n"
    "\n" EPGDB_HELP_TIME "\n" EPGDB_HELP_EXIT;
static const char EPGDB_XMLTV_USAGE[] =
    "Usage: epgdb xmltv ROOT\n"
    "Writes the whole guide of " EPGDB_HELP_ROOT "\n"
    "as an XMLTV document (UTF-8) on standard output: every channel that holds\n"
    "titles, with its broadcast name and NID:TSID:SID as display names, and a\n"
    "programme per title.\n"
    "\n" EPGDB_HELP_EXIT;

/* A reader of the guide; closed when it goes. */
struct EpgdbGuide {
  epgdb_reader_t *reader = nullptr;
  ~EpgdbGuide() { epgdb_reader_close(reader); }
};

/* Reports a usage error on standard error. Returns the usage exit code. */
static int EpgdbUsageError(const char *format, const char *value) {
  fprintf(stderr, "epgdb: ");
  fprintf(stderr, format, value);
  fprintf(stderr, "\nTry 'epgdb --help'.\n");
  return EPGDB_EXIT_USAGE;
}

/* Opens the guide of "root" for reading into "guide". Returns 0 when
 * usable, else the exit code after the message. */
static int EpgdbOpenGuide(const char *root, EpgdbGuide *guide) {
  char why[512];
  guide->reader = epgdb_reader_open(root, why, sizeof why);
  if (guide->reader) return 0;
  fprintf(stderr, "epgdb: %s\n", why);
  return EPGDB_EXIT_USAGE;
}

/* Reports the reader's last error. Returns the failure exit code. */
static int EpgdbReadError(const EpgdbGuide &guide) {
  fprintf(stderr, "epgdb: %s\n", epgdb_reader_error(guide.reader));
  return EPGDB_EXIT_FAILED;
}

/* "size" stored bytes at "text" decoded as guide text (see EpgdbTextDecode)
 * with the flags "flags". */
static std::string EpgdbRowText(const char *text, size_t size, uint8_t flags,
                                EpgdbTextLines lines) {
  return EpgdbTextDecode((const unsigned char *)text, size, flags & 1, lines);
}

/* "seconds" (since 1970) formatted with "format", in UTC when "utc". */
static std::string EpgdbFormatTime(int64_t seconds, const char *format, bool utc) {
  time_t t = (time_t)seconds;
  struct tm tm;
  if (!(utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm))) return "?";
  char buf[64];
  size_t n = strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

/* Parses one channel id: decimal, or hexadecimal after 0x; at most 0xFFFF.
 * Returns 1 with the value in "*value", 0 when "text" is not such an id. */
static int EpgdbParseId(const std::string &text, unsigned *value) {
  int base = 10;
  size_t pos = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16, pos = 2;
  if (pos >= text.size()) return 0;
  unsigned long v = 0;
  for (; pos < text.size(); pos++) {
    char c = text[pos];
    int digit = c >= '0' && c <= '9'                 ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
    if (digit < 0) return 0;
    v = v * base + digit;
    if (v > 0xFFFF) return 0;
  }
  *value = (unsigned)v;
  return 1;
}

/* Parses "NID:TSID:SID" into "filter". Returns 1, or 0 when malformed. */
static int EpgdbParseChannel(const char *text, epgdb_title_filter_t *filter) {
  std::string s = text;
  size_t a = s.find(':');
  size_t b = a == std::string::npos ? a : s.find(':', a + 1);
  if (b == std::string::npos || s.find(':', b + 1) != std::string::npos) return 0;
  unsigned nid = 0, tsid = 0, sid = 0;
  if (!EpgdbParseId(s.substr(0, a), &nid) || !EpgdbParseId(s.substr(a + 1, b - a - 1), &tsid) ||
      !EpgdbParseId(s.substr(b + 1), &sid))
    return 0;
  filter->by_channel = 1;
  filter->nid = (uint16_t)nid;
  filter->tsid = (uint16_t)tsid;
  filter->sid = (uint16_t)sid;
  return 1;
}

/* Parses a TIME argument (see the usage text) into seconds since 1970.
 * Returns 1, or 0 when malformed. */
static int EpgdbParseTime(const char *text, int64_t *seconds) {
  if (strcmp(text, "now") == 0) {
    *seconds = (int64_t)time(nullptr);
    return 1;
  }
  if (text[0] == '@') {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text + 1, &end, 10);
    if (errno != 0 || end == text + 1 || *end != 0) return 0;
    *seconds = v;
    return 1;
  }
  struct tm tm = {};
  int used = 0;
  char sep = 0;
  int fields = sscanf(text, "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &used);
  if (fields != 3) return 0;
  const char *rest = text + used;
  if (*rest != 0) {
    int more = 0;
    sep = *rest;
    if (sep != ' ' && sep != 'T') return 0;
    if (sscanf(rest + 1, "%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &more) != 2) return 0;
    rest += 1 + more;
    if (*rest == ':') {
      more = 0;
      if (sscanf(rest + 1, "%2d%n", &tm.tm_sec, &more) != 1) return 0;
      rest += 1 + more;
    }
    if (*rest != 0) return 0;
  }
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60 || tm.tm_hour < 0 || tm.tm_min < 0 || tm.tm_sec < 0)
    return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t == (time_t)-1) return 0;
  *seconds = (int64_t)t;
  return 1;
}

/* The broadcast name of the channel row "c" as one line of UTF-8. */
static std::string EpgdbChannelName(const epgdb_channel_row_t &c) {
  return EpgdbTextDecode((const unsigned char *)c.name, strlen(c.name), 1, EPGDB_TEXT_ONE_LINE);
}

/* The channel triple of a row as "NID<sep>TSID<sep>SID" in decimal. */
template <typename Row>
static std::string EpgdbChannelText(const Row &row, const char *sep) {
  return std::to_string(row.nid) + sep + std::to_string(row.tsid) + sep + std::to_string(row.sid);
}

/* Writes the summary of the guide: schema, counts, time range, and the
 * titles of every channel. Returns the exit code. */
static int EpgdbCommandInfo(const EpgdbGuide &guide) {
  epgdb_reader_t *r = guide.reader;
  if (!epgdb_reader_channels(r, 0)) return EpgdbReadError(guide);
  /* One walk gives the totals, a second the lines per channel. */
  long long channels = 0, titles = 0;
  int64_t first = 0, last = 0;
  epgdb_channel_row_t c;
  int row;
  while ((row = epgdb_reader_next_channel(r, &c)) == 1) {
    channels++;
    if (c.titles == 0) continue;
    first = titles == 0 ? c.first_start : std::min(first, c.first_start);
    last = titles == 0 ? c.last_end : std::max(last, c.last_end);
    titles += c.titles;
  }
  if (row < 0 || !epgdb_reader_channels(r, 0)) return EpgdbReadError(guide);
  const char *when = "%Y-%m-%d %H:%M %Z";
  printf("Database: %s\n", epgdb_reader_path(r));
  printf("Schema version: %d\n", epgdb_reader_version(r));
  printf("Channels: %lld\n", channels);
  printf("Titles: %lld\n", titles);
  if (titles > 0) {
    /* The receiver counts guide days by their MJD, as the library does. */
    printf("From: %s (MJD %u)\n", EpgdbFormatTime(first, when, false).c_str(),
           epgdb_calculate_mjd((uint32_t)first));
    printf("To: %s (MJD %u)\n", EpgdbFormatTime(last, when, false).c_str(),
           epgdb_calculate_mjd((uint32_t)last));
  }
  printf("Titles per channel (NID:TSID:SID titles from to name):\n");
  while ((row = epgdb_reader_next_channel(r, &c)) == 1) {
    printf("  %s %lld", EpgdbChannelText(c, ":").c_str(), (long long)c.titles);
    if (c.titles > 0) {
      printf(" %s %s", EpgdbFormatTime(c.first_start, when, false).c_str(),
             EpgdbFormatTime(c.last_end, when, false).c_str());
    }
    std::string name = EpgdbChannelName(c);
    printf("%s%s\n", name.empty() ? "" : " ", name.c_str());
  }
  return row < 0 ? EpgdbReadError(guide) : EPGDB_EXIT_OK;
}

/* The line of the long description "summary" (summary title, an empty line,
 * summary text) worth showing beside the title "title": the first line of the
 * summary text, else the summary title when it differs from "title". */
static std::string EpgdbSummaryLine(const std::string &summary, const std::string &title) {
  size_t split = summary.find("\n\n");
  if (split != std::string::npos) {
    size_t first = summary.find_first_not_of('\n', split);
    if (first != std::string::npos) return summary.substr(first, summary.find('\n', first) - first);
  }
  std::string head = summary.substr(0, std::min(split, summary.find('\n')));
  return head == title ? "" : head;
}

/* Says on standard error why a listing of "filter" holds no title: the
 * channel it names is not in the guide ("channel_known" 0), or no title of
 * the guide (or of that channel) lies in its time window. */
static void EpgdbListNothing(const epgdb_title_filter_t &filter, bool channel_known) {
  std::string channel = EpgdbChannelText(filter, ":");
  if (filter.by_channel && !channel_known) {
    fprintf(stderr, "epgdb: the guide holds no channel %s ('epgdb info ROOT' lists its channels)\n",
            channel.c_str());
    return;
  }
  std::string what = filter.by_channel ? "no title of channel " + channel : std::string("no title");
  const char *when = "%Y-%m-%d %H:%M:%S %Z";
  if (filter.has_from) what += " ends after " + EpgdbFormatTime(filter.from, when, false);
  if (filter.has_from && filter.has_to) what += " and";
  if (filter.has_to) what += " starts before " + EpgdbFormatTime(filter.to, when, false);
  if (!filter.has_from && !filter.has_to) what += " is in the guide";
  fprintf(stderr, "epgdb: %s\n", what.c_str());
}

/* Writes the titles that pass "filter", channel by channel (with their
 * names), in local time; when none does, says why on standard error.
 * Returns the exit code. */
static int EpgdbCommandList(const EpgdbGuide &guide, const epgdb_title_filter_t &filter) {
  std::map<std::string, std::string> names;
  epgdb_channel_row_t c;
  int row;
  bool channel_known = false;
  if (!epgdb_reader_channels(guide.reader, 0)) return EpgdbReadError(guide);
  while ((row = epgdb_reader_next_channel(guide.reader, &c)) == 1) {
    std::string name = EpgdbChannelName(c);
    if (!name.empty()) names[EpgdbChannelText(c, ":")] = " " + name;
    if (c.nid == filter.nid && c.tsid == filter.tsid && c.sid == filter.sid) channel_known = true;
  }
  if (row < 0 || !epgdb_reader_titles(guide.reader, &filter)) return EpgdbReadError(guide);
  std::string channel;
  epgdb_title_row_t t;
  while ((row = epgdb_reader_next_title(guide.reader, &t)) == 1) {
    std::string this_channel = EpgdbChannelText(t, ":");
    if (this_channel != channel) {
      printf("%sChannel %s%s\n", channel.empty() ? "" : "\n", this_channel.c_str(),
             names[this_channel].c_str());
      channel = this_channel;
    }
    std::string title = EpgdbRowText(t.description, t.description_size, t.flags,
                                     EPGDB_TEXT_ONE_LINE);
    std::string summary = EpgdbRowText(t.long_description, t.long_description_size, t.flags,
                                       EPGDB_TEXT_KEEP_LINES);
    std::string line = EpgdbSummaryLine(summary, title);
    printf("  %s %3lld:%02lld  %s%s%s\n",
           EpgdbFormatTime(t.start_time, "%Y-%m-%d %H:%M", false).c_str(),
           (long long)(t.length / 3600), (long long)(t.length / 60 % 60), title.c_str(),
           line.empty() ? "" : " - ", line.c_str());
  }
  if (row < 0) return EpgdbReadError(guide);
  if (channel.empty()) EpgdbListNothing(filter, channel_known);
  return EPGDB_EXIT_OK;
}

/* Writes the whole guide as an XMLTV document. Returns the exit code. */
static int EpgdbCommandXmltv(const EpgdbGuide &guide) {
  std::string why;
  if (XmltvWriteGuide(stdout, guide.reader, "epgdb", nullptr, nullptr, &why)) return EPGDB_EXIT_OK;
  fprintf(stderr, "epgdb: %s\n", why.c_str());
  return EPGDB_EXIT_FAILED;
}

/* Reads the options of "list" from "argv[from..argc)" into "filter".
 * Returns 0, or the usage exit code after the message. */
static int EpgdbListOptions(int argc, char **argv, int from, epgdb_title_filter_t *filter) {
  for (int i = from; i < argc; i++) {
    const char *option = argv[i];
    if (strcmp(option, "--channel") != 0 && strcmp(option, "--from") != 0 &&
        strcmp(option, "--to") != 0)
      return EpgdbUsageError("unexpected argument '%s' of list", option);
    if (i + 1 >= argc) return EpgdbUsageError("%s needs a value", option);
    const char *value = argv[++i];
    if (strcmp(option, "--channel") == 0) {
      if (!EpgdbParseChannel(value, filter))
        return EpgdbUsageError("bad channel '%s' (want NID:TSID:SID, each 0 to 65535)", value);
    } else if (strcmp(option, "--from") == 0) {
      filter->has_from = 1;
      if (!EpgdbParseTime(value, &filter->from)) return EpgdbUsageError("bad time '%s'", value);
    } else {
      filter->has_to = 1;
      if (!EpgdbParseTime(value, &filter->to)) return EpgdbUsageError("bad time '%s'", value);
    }
  }
  return 0;
}

/* Writes the help of "command" ("" or an unknown one: of every command). */
static void EpgdbHelp(const std::string &command) {
  if (command == "info") fputs(EPGDB_INFO_USAGE, stdout);
  else if (command == "list") fputs(EPGDB_LIST_USAGE, stdout);
  else if (command == "xmltv") fputs(EPGDB_XMLTV_USAGE, stdout);
  else if (command == "vdr")
    printf("Usage: epgdb vdr ROOT [OPTIONS]\n%s\n%s", EPGDB_VDR_USAGE, EPGDB_HELP_EXIT);
  else printf("%s%s", EPGDB_USAGE, EPGDB_VDR_USAGE);
}

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      EpgdbHelp(i > 1 ? argv[1] : "");
      return fflush(stdout) == 0 ? EPGDB_EXIT_OK : EPGDB_EXIT_FAILED;
    }
  }
  if (argc < 2) {
    fputs(EPGDB_USAGE, stderr);
    fputs(EPGDB_VDR_USAGE, stderr);
    return EPGDB_EXIT_USAGE;
  }
  std::string command = argv[1];
  if (command == "vdr") return EpgdbVdrCommand(argc, argv);
  if (command != "info" && command != "list" && command != "xmltv")
    return EpgdbUsageError("unknown command '%s'", argv[1]);
  if (argc < 3) return EpgdbUsageError("%s needs the database ROOT", argv[1]);
  epgdb_title_filter_t filter = {};
  if (command == "list") {
    int bad = EpgdbListOptions(argc, argv, 3, &filter);
    if (bad) return bad;
  } else if (argc > 3) {
    return EpgdbUsageError("unexpected argument '%s'", argv[3]);
  }

  EpgdbGuide guide;
  int bad = EpgdbOpenGuide(argv[2], &guide);
  if (bad) return bad;
  int code = command == "info"   ? EpgdbCommandInfo(guide)
             : command == "list" ? EpgdbCommandList(guide, filter)
                                 : EpgdbCommandXmltv(guide);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "epgdb: writing the output: %s\n", strerror(errno));
    return EPGDB_EXIT_FAILED;
  }
  return code;
}
