/* Guide database library: the receiver's persistent programme guide.
 * A run opens it, adds channels and titles, saves once and closes it. */
#ifndef EPGDB_H
#define EPGDB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EPGDB_API __attribute__((visibility("default")))

/* A channel known to the guide database, found by its (nid, tsid, sid)
 * triple. Handles stay valid until epgdb_clean(). */
typedef struct epgdb_channel_s epgdb_channel_t;

/* One programme of a channel. The caller fills the public fields of a
 * record from epgdb_title_alloc(); everything else is the library's. The
 * offsets of the public fields are fixed (native byte order). */
typedef struct epgdb_title_s {
  uint16_t event_id;        /* 0: minute of the month of the local start */
  uint16_t mjd;             /* 2: day number of the start (MJD), low 16 bits */
  uint32_t start_time;      /* 4: seconds since 1970-01-01 00:00 UTC */
  uint16_t length;          /* 8: length in seconds, low 16 bits */
  uint8_t lib_state;        /* 10: library's own */
  uint8_t flags;            /* 11: bit 0 set: texts are UTF-8, else ISO-8859-1 */
  uint8_t lib_reserved[20]; /* 12: library's own */
  char language[3];         /* 32: ISO 639-2 code, e.g. 's','p','a' */
  uint8_t lib_pad;          /* 35: library's own */
  /* library's own from here on */
  uint64_t lib_order;       /* which of the library's records this is */
  char *description;        /* owned copy, set by epgdb_titles_set_description */
  char *long_description;   /* owned copy, set by epgdb_titles_set_long_description */
} epgdb_title_t;

/* Called by epgdb_save as the save advances: "done" of "total" titles. */
typedef void (*epgdb_progress_t)(int done, int total);

/* Opens (creating when missing) the database "<root>/guide.db". Returns 1
 * when open, 0 when the root or file cannot be used; the file is then untouched. */
EPGDB_API int epgdb_open(const char *root);
/* Writes everything added since the open in one transaction, merged with
 * the titles of earlier runs (see README.md beside this header); waits for
 * another connection's lock for minutes before giving up. "progress",
 * when not null, is called as the save advances. Returns 1 on success, 0 on
 * any failure (the file then holds what it held before). */
EPGDB_API int epgdb_save(epgdb_progress_t progress);
/* What the last successful epgdb_save did: titles written, stored titles
 * of earlier runs that they replaced, and earlier titles expired. */
EPGDB_API void epgdb_save_counts(int *written, int *replaced, int *expired);
/* The reason of the last failure of epgdb_open or epgdb_save (the last line
 * the library wrote to standard error), for the caller's own log. */
EPGDB_API const char *epgdb_error(void);
/* Closes the database file; what was added and not saved stays in memory
 * until epgdb_clean(). Returns 1. */
EPGDB_API int epgdb_close(void);
/* Releases every channel, title and text the library holds. */
EPGDB_API void epgdb_clean(void);

/* The channel of this triple; the same handle every time for the same triple.
 * Null only when memory runs out. */
EPGDB_API epgdb_channel_t *epgdb_channels_add(uint16_t nid, uint16_t tsid, uint16_t sid);
/* Records "name" (UTF-8, terminated) as the broadcast name of "channel";
 * it is saved with the channel's titles. An empty name keeps the name the
 * file already holds. Returns 1, or 0 when an argument is null or memory
 * runs out (the earlier name then stays). */
EPGDB_API int epgdb_channels_set_name(epgdb_channel_t *channel, const char *name);
/* A new title record with its public fields zero, or null when memory runs
 * out. The record is the library's: the caller never frees it, one never
 * added goes with epgdb_clean(). */
EPGDB_API epgdb_title_t *epgdb_title_alloc(void);
/* Day number (Modified Julian Date) of a moment in seconds since 1970 UTC. */
EPGDB_API uint32_t epgdb_calculate_mjd(uint32_t start_time);
/* Adds "title" to "channel" and takes ownership of it. When the channel
 * already holds a title with the same start_time from this run, that one is
 * updated from "title", "title" is freed, and the held one is returned.
 * Null when either argument is null, or when "title" is no live record of
 * epgdb_title_alloc() (a copy of one, or one an earlier call freed). */
EPGDB_API epgdb_title_t *epgdb_titles_add(epgdb_channel_t *channel, epgdb_title_t *title);
/* Store a copy of "text" as the title's short / long description.
 * Return 1, or 0 when an argument is null or memory runs out. */
EPGDB_API int epgdb_titles_set_description(epgdb_title_t *title, const char *text);
EPGDB_API int epgdb_titles_set_long_description(epgdb_title_t *title, const char *text);

/* Reading the guide. A reader sees the guide of the last committed save as
 * one snapshot, from its open to its close, and never writes to the file;
 * it reads files of every schema version the library knows. Rows are
 * streamed: memory does not grow with the guide. Text pointers in a row
 * stay valid until the next call on the same reader. */
typedef struct epgdb_reader_s epgdb_reader_t;

/* One stored channel, with the number and time span of its titles. */
typedef struct epgdb_channel_row_s {
  uint16_t nid;
  uint16_t tsid;
  uint16_t sid;
  const char *name;    /* broadcast name in UTF-8, "" when none is stored */
  int64_t titles;      /* number of stored titles */
  int64_t first_start; /* earliest start, when titles > 0 */
  int64_t last_end;    /* latest start + length, when titles > 0 */
} epgdb_channel_row_t;

/* One stored title. The texts are the stored bytes, not terminated by the
 * library's contract (a terminator follows them for convenience): ISO-8859-1,
 * or UTF-8 when bit 0 of "flags" is set. */
typedef struct epgdb_title_row_s {
  uint16_t nid;
  uint16_t tsid;
  uint16_t sid;
  uint16_t event_id;
  uint16_t mjd;
  uint8_t flags;
  char language[4]; /* terminated */
  int64_t start_time;
  int64_t length;
  const char *description;
  size_t description_size;
  const char *long_description;
  size_t long_description_size;
} epgdb_title_row_t;

/* Which titles epgdb_reader_titles gives: all when zero-filled. */
typedef struct epgdb_title_filter_s {
  int by_channel;     /* only the channel nid:tsid:sid */
  uint16_t nid, tsid, sid;
  int has_from;       /* only titles that end after "from" */
  int64_t from;
  int has_to;         /* only titles that start before "to" */
  int64_t to;
} epgdb_title_filter_t;

/* The longest text a reader gives, in bytes: a title whose text is longer
 * (no broadcast text comes near it) is left out, so a damaged file cannot
 * make a reader hold more. */
#define EPGDB_READ_TEXT_LIMIT 1048576

/* Opens "<root>/guide.db" ("root" may also name the file) for reading.
 * Returns the reader, or null with the reason in "why" (of "why_size"
 * bytes): no file, not a guide database, an unknown schema version, busy. */
EPGDB_API epgdb_reader_t *epgdb_reader_open(const char *root, char *why, size_t why_size);
/* Ends the reader's snapshot and frees it. Null is ignored. Rows its walks
 * left out, values the library never writes (a channel id over 16 bits, a
 * start outside 32 bits, a missing text, a text over EPGDB_READ_TEXT_LIMIT),
 * are counted then in one line on standard error. */
EPGDB_API void epgdb_reader_close(epgdb_reader_t *reader);
/* The path of the file and its schema version. */
EPGDB_API const char *epgdb_reader_path(const epgdb_reader_t *reader);
EPGDB_API int epgdb_reader_version(const epgdb_reader_t *reader);
/* The reason of the last failed call on "reader". */
EPGDB_API const char *epgdb_reader_error(const epgdb_reader_t *reader);
/* Starts a walk over the channels by nid, tsid, sid; with "with_titles"
 * only those that hold titles. Returns 1, or 0 on failure. */
EPGDB_API int epgdb_reader_channels(epgdb_reader_t *reader, int with_titles);
/* The next channel of the walk into "row": 1, 0 at the end, -1 on failure. */
EPGDB_API int epgdb_reader_next_channel(epgdb_reader_t *reader, epgdb_channel_row_t *row);
/* Starts a walk over the titles that pass "filter" (null: all), channel by
 * channel (nid, tsid, sid) in start order. Returns 1, or 0 on failure. */
EPGDB_API int epgdb_reader_titles(epgdb_reader_t *reader, const epgdb_title_filter_t *filter);
/* The next title of the walk into "row": 1, 0 at the end, -1 on failure. */
EPGDB_API int epgdb_reader_next_title(epgdb_reader_t *reader, epgdb_title_row_t *row);
/* The "size" stored bytes at "text" as UTF-8 whatever "flags" say: UTF-8
 * texts are kept (a byte that starts no valid sequence is read as
 * ISO-8859-1), ISO-8859-1 texts converted. Returns a terminated copy the
 * caller frees with free(), its length in "*out_size" when not null; null
 * when memory runs out. */
EPGDB_API char *epgdb_text_utf8(const char *text, size_t size, uint8_t flags, size_t *out_size);

#ifdef __cplusplus
}

static_assert(offsetof(epgdb_title_t, event_id) == 0, "event_id at 0");
static_assert(offsetof(epgdb_title_t, mjd) == 2, "mjd at 2");
static_assert(offsetof(epgdb_title_t, start_time) == 4, "start_time at 4");
static_assert(offsetof(epgdb_title_t, length) == 8, "length at 8");
static_assert(offsetof(epgdb_title_t, flags) == 11, "flags at 11");
static_assert(offsetof(epgdb_title_t, language) == 32, "language at 32");
/* The same record on the 64-bit and the 32-bit receivers (armhf, mipsel):
 * 36 public bytes, the library's 64-bit order at 40, then two pointers. */
static_assert(offsetof(epgdb_title_t, lib_pad) == 35, "lib_pad at 35");
static_assert(offsetof(epgdb_title_t, lib_order) == 40, "lib_order at 40");
static_assert(sizeof(epgdb_title_t) == (sizeof(void *) == 8 ? 64 : 56), "64 bytes, 56 on 32-bit targets");
#endif

#endif
