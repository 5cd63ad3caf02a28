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
  uint64_t lib_order;       /* when this run last added or updated the title */
  char *description;        /* owned copy, set by epgdb_titles_set_description */
  char *long_description;   /* owned copy, set by epgdb_titles_set_long_description */
} epgdb_title_t;

/* Called by epgdb_save as the save advances: "done" of "total" titles. */
typedef void (*epgdb_progress_t)(int done, int total);

/* Opens (creating when missing) the database "<root>/guide.db". Returns 1
 * when open, 0 when the root or file cannot be used; the file is then untouched. */
EPGDB_API int epgdb_open(const char *root);
/* Writes everything added since the open in one transaction, merged with
 * the titles of earlier runs (see README.md beside this header). "progress",
 * when not null, is called as the save advances. Returns 1 on success, 0 on
 * any failure (the file then holds what it held before). */
EPGDB_API int epgdb_save(epgdb_progress_t progress);
/* Closes the database file; what was added and not saved stays in memory
 * until epgdb_clean(). Returns 1. */
EPGDB_API int epgdb_close(void);
/* Releases every channel, title and text the library holds. */
EPGDB_API void epgdb_clean(void);

/* The channel of this triple; the same handle every time for the same triple.
 * Null only when memory runs out. */
EPGDB_API epgdb_channel_t *epgdb_channels_add(uint16_t nid, uint16_t tsid, uint16_t sid);
/* A new zero-filled title record, or null when memory runs out. */
EPGDB_API epgdb_title_t *epgdb_title_alloc(void);
/* Day number (Modified Julian Date) of a moment in seconds since 1970 UTC. */
EPGDB_API uint32_t epgdb_calculate_mjd(uint32_t start_time);
/* Adds "title" to "channel" and takes ownership of it. When the channel
 * already holds a title with the same start_time from this run, that one is
 * updated from "title", "title" is freed, and the held one is returned.
 * Null when either argument is null. */
EPGDB_API epgdb_title_t *epgdb_titles_add(epgdb_channel_t *channel, epgdb_title_t *title);
/* Store a copy of "text" as the title's short / long description.
 * Return 1, or 0 when an argument is null or memory runs out. */
EPGDB_API int epgdb_titles_set_description(epgdb_title_t *title, const char *text);
EPGDB_API int epgdb_titles_set_long_description(epgdb_title_t *title, const char *text);

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
