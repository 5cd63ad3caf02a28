/* Guide database file format, private to the library: the name, version and
 * tables of guide.db, and the checks that an open file is a usable one. */
#ifndef EPGDB_SCHEMA_H
#define EPGDB_SCHEMA_H

#include <sqlite3.h>
#include <stddef.h>

#define EPGDB_FILE_NAME "guide.db"
/* The version this library writes; older versions are read as they are and
 * upgraded on the first open for writing (epgdb_upgrade.cpp holds the steps). */
#define EPGDB_SCHEMA_VERSION 3

/* The tables of a new database file (user_version is set beside them).
 * Texts are stored once in "texts", found by a hash of their bytes, and
 * titles refer to them, so a summary that many titles share takes its bytes
 * once; titles are stored in their primary key's order (WITHOUT ROWID). */
#define EPGDB_SCHEMA_CHANNELS_SQL                                             \
  "CREATE TABLE channels(id INTEGER PRIMARY KEY, nid INTEGER NOT NULL,"       \
  " tsid INTEGER NOT NULL, sid INTEGER NOT NULL,"                            \
  " name TEXT NOT NULL DEFAULT '', UNIQUE(nid, tsid, sid));"
#define EPGDB_SCHEMA_TEXTS_SQL                                                \
  "CREATE TABLE texts(id INTEGER PRIMARY KEY, hash INTEGER NOT NULL,"         \
  " body BLOB NOT NULL);"                                                     \
  "CREATE INDEX texts_by_hash ON texts(hash);"
#define EPGDB_SCHEMA_TITLES_SQL(name)                                         \
  "CREATE TABLE " name "(channel_id INTEGER NOT NULL REFERENCES channels(id)," \
  " start_time INTEGER NOT NULL, length INTEGER NOT NULL,"                    \
  " event_id INTEGER NOT NULL, mjd INTEGER NOT NULL, flags INTEGER NOT NULL," \
  " language TEXT NOT NULL, description_id INTEGER NOT NULL,"                 \
  " long_description_id INTEGER NOT NULL, PRIMARY KEY(channel_id, start_time))" \
  " WITHOUT ROWID;"
#define EPGDB_SCHEMA_SQL \
  EPGDB_SCHEMA_CHANNELS_SQL EPGDB_SCHEMA_TEXTS_SQL EPGDB_SCHEMA_TITLES_SQL("titles")

/* Reads the schema version of "db" into "*version" and checks, reading only,
 * that it is one this library knows (1 to EPGDB_SCHEMA_VERSION) and that
 * the file holds every table and column of that version. Returns 1 when
 * usable; 0 with the reason in "why" (of "why_size" bytes) otherwise, and
 * "*busy" set when the file was locked by another connection. */
int EpgdbSchemaCheck(sqlite3 *db, int *version, int *busy, char *why, size_t why_size);

/* What the user can do with a file that cannot be used for writing. */
#define EPGDB_SCHEMA_ADVICE "move guide.db away or restore a copy, the next grab then starts a new guide"

/* Repairs a writer makes in the upgrade's transaction (bits of "*repairs"). */
#define EPGDB_REPAIR_CHANNEL_TRIPLES 0x01 /* duplicate channels merged, unique index made */
#define EPGDB_REPAIR_TEXT_HASH 0x02       /* the index of texts by hash made */

/* Checks, reading only, what a save relies on in a file of schema "version"
 * that passed EpgdbSchemaCheck: ids that are row ids, one channel per
 * triple, titles kept by (channel_id, start_time), texts found by hash.
 * Returns 1 with what the upgrade must repair in "*repairs"; 0 with the
 * reason and what the user can do in "why" when the file cannot be used for
 * writing as it is. */
int EpgdbSchemaNeeds(sqlite3 *db, int version, unsigned *repairs, char *why, size_t why_size);

#endif
