/* Guide database library, private to it: what its files share and the calls
 * between its modules. Never included outside this folder. */
#ifndef EPGDB_INTERNAL_H
#define EPGDB_INTERNAL_H

#include <sqlite3.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "epgdb.h"

#define EPGDB_STRING_OF(x) #x
/* "x" after macro expansion as a string, e.g. a version number in SQL. */
#define EPGDB_STRING(x) EPGDB_STRING_OF(x)

/* Messages (epgdb_log.cpp). */

/* Writes one "epgdb: " line to standard error (the library has no log of its
 * own) and keeps it as the reason that epgdb_error() gives. */
void EpgdbLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Writes one "epgdb: " line to standard error that is news, not a failure. */
void EpgdbNote(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Adds "advice" (what the user can do) to the reason of the failing call. */
void EpgdbLogAdvice(const char *advice);
/* Forgets the reason of the last failure: a public call that can fail
 * starts with it, so that the first line it logs is its reason. */
void EpgdbLogClear(void);

/* The file (epgdb_file.cpp). */

/* The open database file, null when none is open, and its path. */
sqlite3 *EpgdbFileDb(void);
const char *EpgdbFilePath(void);
/* Runs the SQL text "sql" on "db". Returns 1, or 0 after logging SQLite's
 * message with "what". */
int EpgdbExec(sqlite3 *db, const char *sql, const char *what);

/* Upgrades (epgdb_upgrade.cpp). */

/* Brings the file "path" open in "db" from schema "version" to the current
 * one and makes the repairs "repairs" (EPGDB_REPAIR_* of epgdb_schema.h),
 * all in one transaction. Returns 1, or 0 after logging (the file then stays
 * as it was). */
int EpgdbUpgrade(sqlite3 *db, const std::string &path, int version, unsigned repairs);

/* Texts (epgdb_texts.cpp). */

/* Marks in a title's lib_state: a text that was to be set found no memory.
 * Such a title is incomplete and left out of the save until that text is
 * set again. */
#define EPGDB_LACKS_DESCRIPTION 0x01
#define EPGDB_LACKS_LONG_DESCRIPTION 0x02
#define EPGDB_LACKS_TEXT (EPGDB_LACKS_DESCRIPTION | EPGDB_LACKS_LONG_DESCRIPTION)

/* The statements that find and add stored texts. */
struct EpgdbTextStatements {
  sqlite3_stmt *find;   /* id and body of the texts of a hash */
  sqlite3_stmt *insert; /* a new text */
};

/* Prepares the text statements on "db". Returns 1, or 0 after logging. */
int EpgdbTextPrepare(sqlite3 *db, EpgdbTextStatements *s);
/* Finalizes the text statements of "s" (null ones are ignored). */
void EpgdbTextFinalize(EpgdbTextStatements *s);
/* The id of the stored text of "size" bytes at "bytes" in "db", added when
 * it is not stored yet. Returns 1 with the id in "*id", or 0 after logging. */
int EpgdbTextId(sqlite3 *db, EpgdbTextStatements *s, const char *bytes, size_t size,
                int64_t *id);
/* The stored id of the held text at "bytes" (null: the empty text), looked
 * up once per save and then remembered with the text; a text not stored
 * yet is added when "add" is set, else its id is 0. Returns 1 with the id
 * in "*id", or 0 after logging. */
int EpgdbTextSaveId(sqlite3 *db, EpgdbTextStatements *ts, char *bytes, int add, int64_t *id);
/* Forgets the ids that EpgdbTextSaveId remembered: each attempt at a save
 * starts with it, since an attempt rolled back voids what it added. */
void EpgdbTextForgetIds(void);
/* Drops one title's hold on the text at "bytes" (null is ignored); the text
 * goes when no title holds it. */
void EpgdbTextRelease(char *bytes);
/* Points the text of "title" that "lacks" names (EPGDB_LACKS_DESCRIPTION or
 * EPGDB_LACKS_LONG_DESCRIPTION) at the held copy of "text", made when no
 * title holds that text yet, and drops the hold on what was there: a text
 * that many titles share is held once. Returns 1, or 0 when "text" is null
 * or memory runs out; then the old text stays, and after a lack of memory
 * the title is marked incomplete until this text is set. */
int EpgdbSetText(epgdb_title_t *title, uint8_t lacks, const char *text);
/* Frees every held text at once; the titles that held them are gone already. */
void EpgdbTextClear(void);

/* The run (epgdb_run.cpp). */

/* A channel of this run with its titles, found by start time in an
 * open-addressing table (linear probing, at most three quarters full) of
 * the titles' record numbers. */
struct epgdb_channel_s {
  uint16_t nid;
  uint16_t tsid;
  uint16_t sid;
  std::string name;      /* broadcast name, UTF-8; "" keeps the stored one */
  uint32_t *slots;       /* record number + 1 of a title, 0: free */
  uint32_t slot_count;   /* a power of two, or 0 */
  uint32_t title_count;
};

/* The number of channels of the run, and channel "i" of them (0 to that
 * number - 1), in the order they were first added. */
size_t EpgdbRunChannelCount(void);
const epgdb_channel_t *EpgdbRunChannel(size_t i);
/* The number of titles of "channel" that this run saves: those whose
 * texts all found memory ("*incomplete" counts the others). */
size_t EpgdbChannelSaved(const epgdb_channel_t *channel, int *incomplete);
/* The titles of "channel" that this run saves, in start order, into "out"
 * (emptied first; it must have room for every title of the channel, so
 * that it takes no memory). Titles of one run never replace each other:
 * only the same start time does, when the title is added
 * (epgdb_titles_add). */
void EpgdbChannelTitles(const epgdb_channel_t *channel, std::vector<epgdb_title_t *> &out);

#endif
