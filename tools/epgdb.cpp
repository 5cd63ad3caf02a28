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
#include <string>
#include <vector>

#include "epgdb.h"
#include "epgdb_schema.h"
#include "epgdb_text.h"

/* Exit codes: done; the database could not be read or the output not
 * written; bad arguments, no database, or one of another schema. */
#define EPGDB_EXIT_OK 0
#define EPGDB_EXIT_FAILED 1
#define EPGDB_EXIT_USAGE 2

static const char EPGDB_USAGE[] =
    "Usage: epgdb COMMAND ROOT [OPTIONS]\n"
    "Reads the guide database ROOT/guide.db (ROOT may also name the file itself)\n"
    "without changing it.\n"
    "\n"
    "Commands:\n"
    "  info ROOT    schema version, numbers of channels and titles, time range,\n"
    "               titles per channel\n"
    "  list ROOT [--channel NID:TSID:SID] [--from TIME] [--to TIME]\n"
    "               the titles in local time with length, title and the first\n"
    "               line of the summary; --from keeps titles that end after TIME,\n"
    "               --to those that start before TIME\n"
    "  xmltv ROOT   the whole guide as XMLTV on standard output\n"
    "\n"
    "NID, TSID and SID are decimal, or hexadecimal after 0x. TIME is local time\n"
    "as YYYY-mm-dd, YYYY-mm-dd HH:MM or YYYY-mm-dd HH:MM:SS (or with T between\n"
    "date and time), seconds since 1970 as @SECONDS, or now.\n"
    "\n"
    "Exit codes: 0 done; 1 the database could not be read or the output not\n"
    "written; 2 bad arguments, no database at ROOT, or a database of another\n"
    "schema version.\n";

/* A channel filter and a time window for the listing. */
struct EpgdbListFilter {
  bool by_channel = false;
  unsigned nid = 0, tsid = 0, sid = 0;
  bool has_from = false, has_to = false;
  int64_t from = 0, to = 0;
};

/* The read-only connection; closed when it goes. */
struct EpgdbGuide {
  sqlite3 *db = nullptr;
  std::string path;
  ~EpgdbGuide() { sqlite3_close(db); }
};

/* One prepared statement; finalized when it goes. */
struct EpgdbQuery {
  sqlite3_stmt *stmt = nullptr;
  ~EpgdbQuery() { sqlite3_finalize(stmt); }
};

/* Reports a usage error on standard error. Returns the usage exit code. */
static int EpgdbUsageError(const char *format, const char *value) {
  fprintf(stderr, "epgdb: ");
  fprintf(stderr, format, value);
  fprintf(stderr, "\nTry 'epgdb --help'.\n");
  return EPGDB_EXIT_USAGE;
}

/* Opens the database of "root" read-only into "guide" and checks its
 * schema. Returns 0 when usable, else the exit code after the message. */
static int EpgdbOpenGuide(const char *root, EpgdbGuide *guide) {
  struct stat st;
  guide->path = root;
  if (stat(root, &st) == 0 && S_ISDIR(st.st_mode)) guide->path += "/" EPGDB_FILE_NAME;
  if (stat(guide->path.c_str(), &st) != 0) {
    fprintf(stderr, "epgdb: no guide database at %s: %s\n", guide->path.c_str(), strerror(errno));
    return EPGDB_EXIT_USAGE;
  }
  int rc = sqlite3_open_v2(guide->path.c_str(), &guide->db, SQLITE_OPEN_READONLY, nullptr);
  if (rc != SQLITE_OK) {
    fprintf(stderr, "epgdb: cannot open %s: %s\n", guide->path.c_str(), sqlite3_errstr(rc));
    return EPGDB_EXIT_USAGE;
  }
  sqlite3_busy_timeout(guide->db, 5000);
  char why[256];
  if (!EpgdbSchemaCheck(guide->db, why, sizeof why)) {
    fprintf(stderr, "epgdb: %s: %s\n", guide->path.c_str(), why);
    return EPGDB_EXIT_USAGE;
  }
  return 0;
}

/* Prepares "sql" on "guide". Returns 1, or 0 after the message. */
static int EpgdbPrepare(const EpgdbGuide &guide, const char *sql, EpgdbQuery *query) {
  if (sqlite3_prepare_v2(guide.db, sql, -1, &query->stmt, nullptr) == SQLITE_OK) return 1;
  fprintf(stderr, "epgdb: %s: %s\n", guide.path.c_str(), sqlite3_errmsg(guide.db));
  return 0;
}

/* Steps "query": 1 for a row, 0 at the end, -1 after the message on error. */
static int EpgdbNextRow(const EpgdbGuide &guide, EpgdbQuery *query) {
  int rc = sqlite3_step(query->stmt);
  if (rc == SQLITE_ROW) return 1;
  if (rc == SQLITE_DONE) return 0;
  fprintf(stderr, "epgdb: %s: %s\n", guide.path.c_str(), sqlite3_errmsg(guide.db));
  return -1;
}

/* Column "col" of the current row, decoded as guide text (see
 * EpgdbTextDecode) with the UTF-8 bit "is_utf8". */
static std::string EpgdbColumnText(sqlite3_stmt *stmt, int col, int is_utf8, EpgdbTextLines lines) {
  const unsigned char *bytes = (const unsigned char *)sqlite3_column_blob(stmt, col);
  int size = sqlite3_column_bytes(stmt, col);
  return bytes ? EpgdbTextDecode(bytes, (size_t)size, is_utf8, lines) : std::string();
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
static int EpgdbParseChannel(const char *text, EpgdbListFilter *filter) {
  std::string s = text;
  size_t a = s.find(':');
  size_t b = a == std::string::npos ? a : s.find(':', a + 1);
  if (b == std::string::npos || s.find(':', b + 1) != std::string::npos) return 0;
  filter->by_channel = true;
  return EpgdbParseId(s.substr(0, a), &filter->nid) &&
         EpgdbParseId(s.substr(a + 1, b - a - 1), &filter->tsid) &&
         EpgdbParseId(s.substr(b + 1), &filter->sid);
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

/* The channel triple in columns 0 to 2 of the current row of "s", as
 * "NID<sep>TSID<sep>SID" in decimal. */
static std::string EpgdbChannelText(sqlite3_stmt *s, const char *sep) {
  return std::to_string(sqlite3_column_int(s, 0)) + sep + std::to_string(sqlite3_column_int(s, 1)) +
         sep + std::to_string(sqlite3_column_int(s, 2));
}

/* Writes the summary of the guide: schema, counts, time range, and the
 * titles of every channel. Returns the exit code. */
static int EpgdbCommandInfo(const EpgdbGuide &guide) {
  EpgdbQuery totals, per_channel;
  if (!EpgdbPrepare(guide,
                    "SELECT (SELECT count(*) FROM channels), count(*), min(start_time),"
                    " max(start_time + length) FROM titles",
                    &totals) ||
      !EpgdbPrepare(guide,
                    "SELECT c.nid, c.tsid, c.sid, count(t.start_time), min(t.start_time),"
                    " max(t.start_time + t.length) FROM channels c LEFT JOIN titles t"
                    " ON t.channel_id = c.id GROUP BY c.id ORDER BY c.nid, c.tsid, c.sid",
                    &per_channel))
    return EPGDB_EXIT_FAILED;
  if (EpgdbNextRow(guide, &totals) != 1) return EPGDB_EXIT_FAILED;
  const char *when = "%Y-%m-%d %H:%M %Z";
  printf("Database: %s\n", guide.path.c_str());
  printf("Schema version: %d\n", EPGDB_SCHEMA_VERSION);
  printf("Channels: %lld\n", (long long)sqlite3_column_int64(totals.stmt, 0));
  printf("Titles: %lld\n", (long long)sqlite3_column_int64(totals.stmt, 1));
  if (sqlite3_column_type(totals.stmt, 2) != SQLITE_NULL) {
    /* The receiver counts guide days by their MJD, as the library does. */
    int64_t first = sqlite3_column_int64(totals.stmt, 2);
    int64_t last = sqlite3_column_int64(totals.stmt, 3);
    printf("From: %s (MJD %u)\n", EpgdbFormatTime(first, when, false).c_str(),
           epgdb_calculate_mjd((uint32_t)first));
    printf("To: %s (MJD %u)\n", EpgdbFormatTime(last, when, false).c_str(),
           epgdb_calculate_mjd((uint32_t)last));
  }
  printf("Titles per channel (NID:TSID:SID titles from to):\n");
  int row;
  while ((row = EpgdbNextRow(guide, &per_channel)) == 1) {
    sqlite3_stmt *s = per_channel.stmt;
    printf("  %s %lld", EpgdbChannelText(s, ":").c_str(), (long long)sqlite3_column_int64(s, 3));
    if (sqlite3_column_type(s, 4) != SQLITE_NULL) {
      printf(" %s %s", EpgdbFormatTime(sqlite3_column_int64(s, 4), when, false).c_str(),
             EpgdbFormatTime(sqlite3_column_int64(s, 5), when, false).c_str());
    }
    printf("\n");
  }
  return row < 0 ? EPGDB_EXIT_FAILED : EPGDB_EXIT_OK;
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

/* Writes the titles that pass "filter", channel by channel, in local time.
 * Returns the exit code. */
static int EpgdbCommandList(const EpgdbGuide &guide, const EpgdbListFilter &filter) {
  EpgdbQuery q;
  if (!EpgdbPrepare(guide,
                    "SELECT c.nid, c.tsid, c.sid, t.start_time, t.length, t.flags,"
                    " t.description, t.long_description FROM titles t JOIN channels c"
                    " ON c.id = t.channel_id WHERE (?1 = 0 OR (c.nid = ?2 AND c.tsid = ?3"
                    " AND c.sid = ?4)) AND (?5 = 0 OR t.start_time + t.length > ?6)"
                    " AND (?7 = 0 OR t.start_time < ?8)"
                    " ORDER BY c.nid, c.tsid, c.sid, t.start_time",
                    &q))
    return EPGDB_EXIT_FAILED;
  sqlite3_bind_int(q.stmt, 1, filter.by_channel);
  sqlite3_bind_int(q.stmt, 2, (int)filter.nid);
  sqlite3_bind_int(q.stmt, 3, (int)filter.tsid);
  sqlite3_bind_int(q.stmt, 4, (int)filter.sid);
  sqlite3_bind_int(q.stmt, 5, filter.has_from);
  sqlite3_bind_int64(q.stmt, 6, filter.from);
  sqlite3_bind_int(q.stmt, 7, filter.has_to);
  sqlite3_bind_int64(q.stmt, 8, filter.to);
  std::string channel;
  int row;
  while ((row = EpgdbNextRow(guide, &q)) == 1) {
    sqlite3_stmt *s = q.stmt;
    std::string this_channel = EpgdbChannelText(s, ":");
    if (this_channel != channel) {
      printf("%sChannel %s\n", channel.empty() ? "" : "\n", this_channel.c_str());
      channel = this_channel;
    }
    int is_utf8 = sqlite3_column_int(s, 5) & 1;
    std::string title = EpgdbColumnText(s, 6, is_utf8, EPGDB_TEXT_ONE_LINE);
    std::string summary = EpgdbColumnText(s, 7, is_utf8, EPGDB_TEXT_KEEP_LINES);
    std::string line = EpgdbSummaryLine(summary, title);
    int64_t length = sqlite3_column_int64(s, 4);
    printf("  %s %3lld:%02lld  %s%s%s\n",
           EpgdbFormatTime(sqlite3_column_int64(s, 3), "%Y-%m-%d %H:%M", false).c_str(),
           (long long)(length / 3600), (long long)(length / 60 % 60), title.c_str(),
           line.empty() ? "" : " - ", line.c_str());
  }
  return row < 0 ? EPGDB_EXIT_FAILED : EPGDB_EXIT_OK;
}

/* The XMLTV id of a channel: stable, made from its triple only. */
static std::string EpgdbXmltvId(sqlite3_stmt *s) { return EpgdbChannelText(s, "-") + ".mhw2.dvb"; }

/* Writes the guide as an XMLTV document: every channel that has titles, then
 * every title by channel and start. Returns the exit code. */
static int EpgdbCommandXmltv(const EpgdbGuide &guide) {
  EpgdbQuery channels, titles;
  if (!EpgdbPrepare(guide,
                    "SELECT nid, tsid, sid FROM channels c WHERE EXISTS"
                    " (SELECT 1 FROM titles t WHERE t.channel_id = c.id) ORDER BY nid, tsid, sid",
                    &channels) ||
      !EpgdbPrepare(guide,
                    "SELECT c.nid, c.tsid, c.sid, t.start_time, t.length, t.flags, t.language,"
                    " t.description, t.long_description FROM titles t JOIN channels c"
                    " ON c.id = t.channel_id ORDER BY c.nid, c.tsid, c.sid, t.start_time",
                    &titles))
    return EPGDB_EXIT_FAILED;
  /* Read in one transaction, so that channels and titles agree. */
  if (sqlite3_exec(guide.db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fprintf(stderr, "epgdb: %s: %s\n", guide.path.c_str(), sqlite3_errmsg(guide.db));
    return EPGDB_EXIT_FAILED;
  }
  printf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
         "<tv generator-info-name=\"epgdb\">\n");
  int row;
  while ((row = EpgdbNextRow(guide, &channels)) == 1) {
    sqlite3_stmt *s = channels.stmt;
    printf("  <channel id=\"%s\">\n    <display-name>%s</display-name>\n  </channel>\n",
           EpgdbXmltvId(s).c_str(), EpgdbChannelText(s, ":").c_str());
  }
  if (row < 0) return EPGDB_EXIT_FAILED;
  const char *stamp = "%Y%m%d%H%M%S +0000";
  while ((row = EpgdbNextRow(guide, &titles)) == 1) {
    sqlite3_stmt *s = titles.stmt;
    int64_t start = sqlite3_column_int64(s, 3);
    int is_utf8 = sqlite3_column_int(s, 5) & 1;
    const unsigned char *code = sqlite3_column_text(s, 6);
    std::string lang = EpgdbTextLanguageTag(code ? (const char *)code : "");
    std::string lang_attr = lang.empty() ? "" : " lang=\"" + lang + "\"";
    std::string title = EpgdbColumnText(s, 7, is_utf8, EPGDB_TEXT_ONE_LINE);
    std::string desc = EpgdbColumnText(s, 8, is_utf8, EPGDB_TEXT_KEEP_LINES);
    /* XMLTV wants a title: an empty one borrows the summary's first line. */
    if (title.empty()) title = EpgdbSummaryLine(desc, "");
    if (title.empty()) title = "?";
    printf("  <programme start=\"%s\" stop=\"%s\" channel=\"%s\">\n",
           EpgdbFormatTime(start, stamp, true).c_str(),
           EpgdbFormatTime(start + sqlite3_column_int64(s, 4), stamp, true).c_str(),
           EpgdbXmltvId(s).c_str());
    printf("    <title%s>%s</title>\n", lang_attr.c_str(), EpgdbTextXmlEscape(title).c_str());
    if (!desc.empty())
      printf("    <desc%s>%s</desc>\n", lang_attr.c_str(), EpgdbTextXmlEscape(desc).c_str());
    printf("  </programme>\n");
  }
  if (row < 0) return EPGDB_EXIT_FAILED;
  printf("</tv>\n");
  return EPGDB_EXIT_OK;
}

/* Reads the options of "list" from "argv[from..argc)" into "filter".
 * Returns 0, or the usage exit code after the message. */
static int EpgdbListOptions(int argc, char **argv, int from, EpgdbListFilter *filter) {
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
      filter->has_from = true;
      if (!EpgdbParseTime(value, &filter->from)) return EpgdbUsageError("bad time '%s'", value);
    } else {
      filter->has_to = true;
      if (!EpgdbParseTime(value, &filter->to)) return EpgdbUsageError("bad time '%s'", value);
    }
  }
  return 0;
}

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(EPGDB_USAGE, stdout);
      return EPGDB_EXIT_OK;
    }
  }
  if (argc < 2) {
    fputs(EPGDB_USAGE, stderr);
    return EPGDB_EXIT_USAGE;
  }
  std::string command = argv[1];
  if (command != "info" && command != "list" && command != "xmltv")
    return EpgdbUsageError("unknown command '%s'", argv[1]);
  if (argc < 3) return EpgdbUsageError("%s needs the database ROOT", argv[1]);
  EpgdbListFilter filter;
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
