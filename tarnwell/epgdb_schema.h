/* Guide database file format: the name, version and tables of guide.db, and
 * the check that an open file is a usable database of this format. */
#ifndef EPGDB_SCHEMA_H
#define EPGDB_SCHEMA_H

#include <sqlite3.h>
#include <stdio.h>

#define EPGDB_FILE_NAME "guide.db"
#define EPGDB_SCHEMA_VERSION 1

/* The tables of a new database file (user_version is set beside them). */
#define EPGDB_SCHEMA_SQL                                                      \
  "CREATE TABLE channels(id INTEGER PRIMARY KEY, nid INTEGER NOT NULL,"       \
  " tsid INTEGER NOT NULL, sid INTEGER NOT NULL, UNIQUE(nid, tsid, sid));"    \
  "CREATE TABLE titles(channel_id INTEGER NOT NULL REFERENCES channels(id),"  \
  " start_time INTEGER NOT NULL, length INTEGER NOT NULL,"                    \
  " event_id INTEGER NOT NULL, mjd INTEGER NOT NULL, flags INTEGER NOT NULL," \
  " language TEXT NOT NULL, description BLOB NOT NULL,"                       \
  " long_description BLOB NOT NULL, PRIMARY KEY(channel_id, start_time));"

/* Checks, reading only, that "db" holds the schema version and both tables
 * with every column. Returns 1 when usable; 0 with the reason written into
 * "why" (of "why_size" bytes) otherwise. */
static inline int EpgdbSchemaCheck(sqlite3 *db, char *why, size_t why_size) {
  static const char *const probes[] = {
      "SELECT id, nid, tsid, sid FROM channels LIMIT 0",
      "SELECT channel_id, start_time, length, event_id, mjd, flags, language,"
      " description, long_description FROM titles LIMIT 0",
  };
  sqlite3_stmt *stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) {
    snprintf(why, why_size, "not a guide database (%s)", sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    return 0;
  }
  int version = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  if (version != EPGDB_SCHEMA_VERSION) {
    snprintf(why, why_size, "schema version %d, expected %d", version, EPGDB_SCHEMA_VERSION);
    return 0;
  }
  for (const char *probe : probes) {
    if (sqlite3_prepare_v2(db, probe, -1, &stmt, nullptr) != SQLITE_OK) {
      snprintf(why, why_size, "tables do not match schema version %d (%s)",
               EPGDB_SCHEMA_VERSION, sqlite3_errmsg(db));
      sqlite3_finalize(stmt);
      return 0;
    }
    sqlite3_finalize(stmt);
  }
  return 1;
}

#endif
