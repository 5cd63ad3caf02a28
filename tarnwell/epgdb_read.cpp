/* Guide database library, reading side: a reader holds one read-only
 * connection to guide.db inside one read transaction, so that every walk
 * over channels and titles sees the same committed guide, and streams rows
 * from SQLite statements without holding the guide in memory. */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <string>

#include "epgdb.h"
#include "epgdb_internal.h"
#include "epgdb_schema.h"

/* How long a reader waits for a writer's commit to finish, in ms: as long
 * as a writer waits for another (see epgdb_file.cpp). */
#define EPGDB_READ_BUSY_MS (5 * 60 * 1000)

/* The largest value a reader loads, in bytes (SQLite's length limit). */
#define EPGDB_READ_VALUE_LIMIT (8 * EPGDB_READ_TEXT_LIMIT)

/* Why a stored row is not given to the caller: values the library never
 * writes, left by a hand edit or damage. Index: the "bad" code of a row. */
enum {
  EPGDB_READ_GOOD,
  EPGDB_READ_BAD_CHANNEL, /* a channel id that is not a 16-bit number */
  EPGDB_READ_BAD_TIME,    /* a start outside 32 bits or a length outside 16 */
  EPGDB_READ_NO_TEXT,     /* a text id that no stored text has */
  EPGDB_READ_LONG_TEXT,   /* a text longer than EPGDB_READ_TEXT_LIMIT */
  EPGDB_READ_REASONS
};
static const char *const EpgdbReadReasons[EPGDB_READ_REASONS] = {
    "", "of a channel id over 16 bits", "with a start or length out of range",
    "whose text is missing", "with a text over " EPGDB_STRING(EPGDB_READ_TEXT_LIMIT) " bytes"};

struct epgdb_reader_s {
  sqlite3 *db = nullptr;
  std::string path;
  int version = 0;
  sqlite3_stmt *channels = nullptr;
  sqlite3_stmt *titles = nullptr;
  int with_titles = 0;     /* of the channel walk */
  int channel_pending = 0; /* the channel walk stands on the first row of the next
                            * channel (1) or at its end (2) */
  std::string channel_name; /* of the last channel given */
  int64_t walk_skipped[EPGDB_READ_REASONS] = {}; /* titles the current walk left out */
  int64_t skipped[EPGDB_READ_REASONS] = {};      /* the most any walk left out */
  int64_t walk_channels_skipped = 0, channels_skipped = 0;
  char error[768] = ""; /* held in place: a failure for lack of memory is still told */
};

/* Ends the counts of the current walk: each reason keeps the most that one
 * walk left out, so walks over the same rows count them once. */
static void EpgdbReadEndWalk(epgdb_reader_t *reader) {
  for (int k = 0; k < EPGDB_READ_REASONS; k++) {
    reader->skipped[k] = std::max(reader->skipped[k], reader->walk_skipped[k]);
    reader->walk_skipped[k] = 0;
  }
  reader->channels_skipped = std::max(reader->channels_skipped, reader->walk_channels_skipped);
  reader->walk_channels_skipped = 0;
}

/* The SQL that gives a title's "bad" code (EPGDB_READ_*), on the channel
 * "c", the title "t" and, from version 2, its texts "d" and "l". */
#define EPGDB_READ_CHANNEL_OK                                                            \
  "(typeof(c.nid) = 'integer' AND c.nid BETWEEN 0 AND 65535 AND typeof(c.tsid) = 'integer'" \
  " AND c.tsid BETWEEN 0 AND 65535 AND typeof(c.sid) = 'integer' AND c.sid BETWEEN 0 AND 65535)"
#define EPGDB_READ_BAD(texts_found, texts_fit)                                             \
  "(CASE WHEN NOT " EPGDB_READ_CHANNEL_OK " THEN 1"                                        \
  " WHEN NOT (typeof(t.start_time) = 'integer' AND t.start_time BETWEEN 0 AND 4294967295"  \
  " AND typeof(t.length) = 'integer' AND t.length BETWEEN 0 AND 65535) THEN 2"             \
  " WHEN NOT " texts_found " THEN 3 WHEN NOT " texts_fit " THEN 4 ELSE 0 END)"
/* length() of a blob reads only its size, never its bytes. */
#define EPGDB_READ_FITS(x) "IFNULL(length(" x "), 0) <= " EPGDB_STRING(EPGDB_READ_TEXT_LIMIT)
static const char EPGDB_READ_BAD_V2[] = EPGDB_READ_BAD(
    "(d.id IS NOT NULL AND l.id IS NOT NULL)", "(" EPGDB_READ_FITS("d.body") " AND " EPGDB_READ_FITS("l.body") ")");
static const char EPGDB_READ_BAD_V1[] = EPGDB_READ_BAD(
    "1", "(" EPGDB_READ_FITS("t.description") " AND " EPGDB_READ_FITS("t.long_description") ")");

/* Sets the reader's error text from "format". Returns "result". */
static int EpgdbReadFail(epgdb_reader_t *reader, int result, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
static int EpgdbReadFail(epgdb_reader_t *reader, int result, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  snprintf(reader->error, sizeof reader->error, "%s: %s", reader->path.c_str(), text);
  return result;
}

/* Prepares "sql" into "*stmt", finalizing what was there. Returns 1, or 0
 * with the reader's error set. */
static int EpgdbReadPrepare(epgdb_reader_t *reader, const std::string &sql, sqlite3_stmt **stmt) {
  sqlite3_finalize(*stmt);
  *stmt = nullptr;
  if (sqlite3_prepare_v2(reader->db, sql.c_str(), -1, stmt, nullptr) == SQLITE_OK) return 1;
  return EpgdbReadFail(reader, 0, "%s", sqlite3_errmsg(reader->db));
}

/* Steps "stmt": 1 for a row, 0 at the end, -1 with the reader's error set. */
static int EpgdbReadStep(epgdb_reader_t *reader, sqlite3_stmt *stmt) {
  if (!stmt) return EpgdbReadFail(reader, -1, "no walk started");
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return 1;
  if (rc == SQLITE_DONE) return 0;
  return EpgdbReadFail(reader, -1, "%s", sqlite3_errmsg(reader->db));
}

epgdb_reader_t *epgdb_reader_open(const char *root, char *why, size_t why_size) {
  if (!root) return nullptr;
  epgdb_reader_t *reader = new (std::nothrow) epgdb_reader_t;
  if (!reader) {
    snprintf(why, why_size, "out of memory");
    return nullptr;
  }
  struct stat st;
  int ok = 1;
  try {
    reader->path = root;
    if (stat(root, &st) == 0 && S_ISDIR(st.st_mode)) reader->path += "/" EPGDB_FILE_NAME;
  } catch (const std::bad_alloc &) {
    snprintf(why, why_size, "out of memory");
    ok = 0;
  }
  if (ok && stat(reader->path.c_str(), &st) != 0) {
    snprintf(why, why_size, "no guide database at %s: %s", reader->path.c_str(), strerror(errno));
    ok = 0;
  }
  /* Opened read-only. A save that was killed leaves a hot journal that must
   * be rolled back before anyone reads: then the file is opened again for
   * writing, which SQLite does on the first read, and held read-only. */
  for (int flags : {SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE}) {
    if (!ok) break;
    sqlite3_close(reader->db);
    reader->db = nullptr;
    int rc = sqlite3_open_v2(reader->path.c_str(), &reader->db, flags, nullptr);
    if (rc != SQLITE_OK) {
      snprintf(why, why_size, "cannot open %s: %s", reader->path.c_str(), sqlite3_errstr(rc));
      ok = 0;
      break;
    }
    sqlite3_busy_timeout(reader->db, EPGDB_READ_BUSY_MS);
    /* No value larger than a few texts is ever loaded, whatever the file
     * holds: a bigger one fails its walk instead of taking the memory. */
    sqlite3_limit(reader->db, SQLITE_LIMIT_LENGTH, EPGDB_READ_VALUE_LIMIT);
    if (flags == SQLITE_OPEN_READWRITE)
      sqlite3_exec(reader->db, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
    /* The snapshot starts with the first read of the check below. */
    sqlite3_exec(reader->db, "BEGIN", nullptr, nullptr, nullptr);
    char reason[256];
    int busy = 0;
    if (EpgdbSchemaCheck(reader->db, &reader->version, &busy, reason, sizeof reason)) break;
    int hot_journal = sqlite3_extended_errcode(reader->db) == SQLITE_READONLY_ROLLBACK;
    if (!hot_journal) snprintf(why, why_size, "%s: %s", reader->path.c_str(), reason);
    else if (flags == SQLITE_OPEN_READWRITE)
      snprintf(why, why_size,
               "%s: a save was interrupted, and its journal can only be rolled back by a"
               " program allowed to write there",
               reader->path.c_str());
    if (!hot_journal || flags == SQLITE_OPEN_READWRITE) ok = 0;
  }
  if (!ok) {
    epgdb_reader_close(reader);
    return nullptr;
  }
  return reader;
}

void epgdb_reader_close(epgdb_reader_t *reader) {
  if (!reader) return;
  EpgdbReadEndWalk(reader);
  /* Rows left out are told once, with their reasons, like the library's
   * other messages. */
  int64_t titles = 0;
  for (int64_t n : reader->skipped) titles += n;
  if (titles > 0 || reader->channels_skipped > 0) {
    std::string reasons;
    for (int k = 1; k < EPGDB_READ_REASONS; k++) {
      if (!reader->skipped[k]) continue;
      char part[128];
      snprintf(part, sizeof part, "%s%lld %s", reasons.empty() ? "" : ", ",
               (long long)reader->skipped[k], EpgdbReadReasons[k]);
      reasons += part;
    }
    fprintf(stderr, "epgdb: %s: skipped what the library never writes: %lld titles%s%s%s, %lld channels\n",
            reader->path.c_str(), (long long)titles, reasons.empty() ? "" : " (", reasons.c_str(),
            reasons.empty() ? "" : ")", (long long)reader->channels_skipped);
  }
  sqlite3_finalize(reader->channels);
  sqlite3_finalize(reader->titles);
  sqlite3_close(reader->db); /* ends the read transaction */
  delete reader;
}

const char *epgdb_reader_path(const epgdb_reader_t *reader) { return reader->path.c_str(); }
int epgdb_reader_version(const epgdb_reader_t *reader) { return reader->version; }
const char *epgdb_reader_error(const epgdb_reader_t *reader) { return reader->error; }

int epgdb_reader_channels(epgdb_reader_t *reader, int with_titles) {
  std::string sql;
  EpgdbReadEndWalk(reader);
  reader->with_titles = with_titles;
  reader->channel_pending = 0;
  try {
    /* One row per title (and per channel without titles) in the unique
     * index's order, summed up per triple while walking: the "bad" code is
     * worked out once per title. Files before version 3 hold no names. */
    sql = std::string("SELECT c.nid, c.tsid, c.sid, ") + (reader->version >= 3 ? "c.name" : "''") +
          ", " EPGDB_READ_CHANNEL_OK ", t.channel_id IS NOT NULL, t.start_time,"
          " t.start_time + t.length, " +
          (reader->version >= 2 ? EPGDB_READ_BAD_V2 : EPGDB_READ_BAD_V1) +
          " FROM channels c LEFT JOIN titles t ON t.channel_id = c.id";
    if (reader->version >= 2)
      sql += " LEFT JOIN texts d ON d.id = t.description_id"
             " LEFT JOIN texts l ON l.id = t.long_description_id";
    sql += " ORDER BY c.nid, c.tsid, c.sid";
  } catch (const std::bad_alloc &) {
    return EpgdbReadFail(reader, 0, "out of memory");
  }
  return EpgdbReadPrepare(reader, sql, &reader->channels);
}

int epgdb_reader_next_channel(epgdb_reader_t *reader, epgdb_channel_row_t *row) {
  sqlite3_stmt *s = reader->channels;
  for (;;) {
    /* The first row of a channel is the one the last call stepped onto. */
    int got = reader->channel_pending == 1 ? 1
              : reader->channel_pending == 2 ? 0 /* stepping again would restart the walk */
                                             : EpgdbReadStep(reader, s);
    reader->channel_pending = got == 0 ? 2 : 0;
    if (got != 1) return got;
    int64_t triple[3] = {sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                         sqlite3_column_int64(s, 2)};
    int ok = sqlite3_column_int(s, 4);
    int64_t titles = 0, first = 0, last = 0;
    try {
      reader->channel_name.clear();
      do {
        const unsigned char *name = sqlite3_column_text(s, 3);
        if (reader->channel_name.empty() && name) reader->channel_name = (const char *)name;
        int bad = sqlite3_column_int(s, 8);
        if (!sqlite3_column_int(s, 5)) {
        } else if (bad == EPGDB_READ_GOOD) {
          int64_t start = sqlite3_column_int64(s, 6), end = sqlite3_column_int64(s, 7);
          first = titles == 0 ? start : std::min(first, start);
          last = titles == 0 ? end : std::max(last, end);
          titles++;
        } else {
          reader->walk_skipped[bad > 0 && bad < EPGDB_READ_REASONS ? bad : EPGDB_READ_BAD_TIME]++;
        }
        got = EpgdbReadStep(reader, s);
      } while (got == 1 && sqlite3_column_int64(s, 0) == triple[0] &&
               sqlite3_column_int64(s, 1) == triple[1] && sqlite3_column_int64(s, 2) == triple[2] &&
               sqlite3_column_int(s, 4) == ok);
    } catch (const std::bad_alloc &) {
      return EpgdbReadFail(reader, -1, "out of memory");
    }
    if (got < 0) return got;
    reader->channel_pending = got == 1 ? 1 : 2;
    if (!ok) {
      reader->walk_channels_skipped++;
      continue;
    }
    if (reader->with_titles && titles == 0) continue;
    row->nid = (uint16_t)triple[0];
    row->tsid = (uint16_t)triple[1];
    row->sid = (uint16_t)triple[2];
    row->name = reader->channel_name.c_str();
    row->titles = titles;
    row->first_start = first;
    row->last_end = last;
    return 1;
  }
}

int epgdb_reader_titles(epgdb_reader_t *reader, const epgdb_title_filter_t *filter) {
  static const epgdb_title_filter_t all = {};
  if (!filter) filter = &all;
  EpgdbReadEndWalk(reader);
  /* Channels in triple order through their unique index, each channel's
   * titles through the primary key: rows come sorted without a sort. A row
   * the library would never have written is left out (counted); a text over
   * the limit is never read. */
  std::string sql;
  try {
    std::string bad = reader->version >= 2 ? EPGDB_READ_BAD_V2 : EPGDB_READ_BAD_V1;
    std::string head = "SELECT c.nid, c.tsid, c.sid, t.start_time, t.length, t.event_id, t.mjd,"
                       " t.flags, t.language, ";
    sql = reader->version >= 2
              ? head + "CASE WHEN " EPGDB_READ_FITS("d.body") " THEN d.body END, CASE WHEN "
                    EPGDB_READ_FITS("l.body") " THEN l.body END, " + bad +
                    " FROM channels c CROSS JOIN titles t ON t.channel_id = c.id"
                    " LEFT JOIN texts d ON d.id = t.description_id"
                    " LEFT JOIN texts l ON l.id = t.long_description_id WHERE 1"
              : head + "CASE WHEN " EPGDB_READ_FITS("t.description") " THEN t.description END,"
                    " CASE WHEN " EPGDB_READ_FITS("t.long_description") " THEN t.long_description END, " + bad +
                    " FROM channels c CROSS JOIN titles t ON t.channel_id = c.id WHERE 1";
    if (filter->by_channel) sql += " AND c.nid = ?1 AND c.tsid = ?2 AND c.sid = ?3";
    if (filter->has_from) sql += " AND t.start_time + t.length > ?4";
    if (filter->has_to) sql += " AND t.start_time < ?5";
    sql += " ORDER BY c.nid, c.tsid, c.sid, t.start_time";
  } catch (const std::bad_alloc &) {
    return EpgdbReadFail(reader, 0, "out of memory");
  }
  if (!EpgdbReadPrepare(reader, sql, &reader->titles)) return 0;
  sqlite3_stmt *s = reader->titles;
  if (filter->by_channel) {
    sqlite3_bind_int(s, 1, filter->nid);
    sqlite3_bind_int(s, 2, filter->tsid);
    sqlite3_bind_int(s, 3, filter->sid);
  }
  if (filter->has_from) sqlite3_bind_int64(s, 4, filter->from);
  if (filter->has_to) sqlite3_bind_int64(s, 5, filter->to);
  return 1;
}

/* Points "*text" and "*size" at blob column "col" of "s" ("" when null). */
static void EpgdbReadBlob(sqlite3_stmt *s, int col, const char **text, size_t *size) {
  /* Text first, then its size: sqlite3_column_text terminates the bytes. */
  const unsigned char *bytes = sqlite3_column_text(s, col);
  *size = (size_t)sqlite3_column_bytes(s, col);
  *text = bytes ? (const char *)bytes : "";
  if (!bytes) *size = 0;
}

int epgdb_reader_next_title(epgdb_reader_t *reader, epgdb_title_row_t *row) {
  sqlite3_stmt *s = reader->titles;
  int got, bad = 0;
  while ((got = EpgdbReadStep(reader, s)) == 1 && (bad = sqlite3_column_int(s, 11)) != 0)
    reader->walk_skipped[bad > 0 && bad < EPGDB_READ_REASONS ? bad : EPGDB_READ_BAD_TIME]++;
  if (got != 1) return got;
  row->nid = (uint16_t)sqlite3_column_int(s, 0);
  row->tsid = (uint16_t)sqlite3_column_int(s, 1);
  row->sid = (uint16_t)sqlite3_column_int(s, 2);
  row->start_time = sqlite3_column_int64(s, 3);
  row->length = sqlite3_column_int64(s, 4);
  row->event_id = (uint16_t)sqlite3_column_int(s, 5);
  row->mjd = (uint16_t)sqlite3_column_int(s, 6);
  row->flags = (uint8_t)sqlite3_column_int(s, 7);
  const unsigned char *language = sqlite3_column_text(s, 8);
  memset(row->language, 0, sizeof row->language);
  if (language) strncpy(row->language, (const char *)language, sizeof row->language - 1);
  EpgdbReadBlob(s, 9, &row->description, &row->description_size);
  EpgdbReadBlob(s, 10, &row->long_description, &row->long_description_size);
  return 1;
}

/* The length of the valid UTF-8 sequence at "p" ("left" bytes remain); 0
 * when none starts there (overlong forms, surrogates and values above
 * U+10FFFF are invalid). */
static size_t EpgdbUtf8Sequence(const unsigned char *p, size_t left) {
  unsigned char b = p[0];
  size_t len;
  uint32_t value, min;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) len = 2, value = b & 0x1F, min = 0x80;
  else if (b >= 0xE0 && b <= 0xEF) len = 3, value = b & 0x0F, min = 0x800;
  else if (b >= 0xF0 && b <= 0xF4) len = 4, value = b & 0x07, min = 0x10000;
  else return 0;
  if (len > left) return 0;
  for (size_t i = 1; i < len; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = value << 6 | (p[i] & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return len;
}

char *epgdb_text_utf8(const char *text, size_t size, uint8_t flags, size_t *out_size) {
  const unsigned char *in = (const unsigned char *)text;
  /* Every byte takes at most two bytes of output. */
  char *out = (char *)malloc(size * 2 + 1);
  if (!out) return nullptr;
  size_t n = 0;
  for (size_t i = 0; i < size;) {
    size_t len = (flags & 1) ? EpgdbUtf8Sequence(in + i, size - i) : (in[i] < 0x80 ? 1 : 0);
    if (len > 0) {
      memcpy(out + n, in + i, len);
      n += len;
      i += len;
      continue;
    }
    out[n++] = (char)(0xC0 | in[i] >> 6);
    out[n++] = (char)(0x80 | (in[i] & 0x3F));
    i++;
  }
  out[n] = 0;
  if (out_size) *out_size = n;
  return out;
}
