/* Guide database file format: which schema versions the library reads, and
 * the read-only check of an open file against its version. */
#include "epgdb_schema.h"

#include <stdio.h>

/* Statements that fail unless the tables of a version have every column the
 * library reads. Index: version - 1. */
static const char *const EpgdbSchemaProbes[EPGDB_SCHEMA_VERSION][2] = {
    {"SELECT id, nid, tsid, sid FROM channels LIMIT 0",
     "SELECT channel_id, start_time, length, event_id, mjd, flags, language,"
     " description, long_description FROM titles LIMIT 0"},
    {"SELECT id, nid, tsid, sid FROM channels LIMIT 0",
     "SELECT t.channel_id, t.start_time, t.length, t.event_id, t.mjd, t.flags, t.language,"
     " t.description_id, t.long_description_id, x.id, x.hash, x.body FROM titles t, texts x"
     " LIMIT 0"},
    {"SELECT id, nid, tsid, sid, name FROM channels LIMIT 0",
     "SELECT t.channel_id, t.start_time, t.length, t.event_id, t.mjd, t.flags, t.language,"
     " t.description_id, t.long_description_id, x.id, x.hash, x.body FROM titles t, texts x"
     " LIMIT 0"},
};

/* True when "rc" (a primary or extended result code) means another
 * connection holds a lock on the file. */
static int EpgdbSchemaIsBusy(int rc) {
  return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
}

int EpgdbSchemaCheck(sqlite3 *db, int *version, int *busy, char *why, size_t why_size) {
  *busy = 0;
  *version = 0;
  sqlite3_stmt *stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) {
    *busy = EpgdbSchemaIsBusy(rc) || EpgdbSchemaIsBusy(sqlite3_extended_errcode(db));
    if (*busy) snprintf(why, why_size, "busy: locked by another connection (%s)", sqlite3_errmsg(db));
    else snprintf(why, why_size, "not a guide database (%s)", sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    return 0;
  }
  *version = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  if (*version < 1 || *version > EPGDB_SCHEMA_VERSION) {
    snprintf(why, why_size, "schema version %d, expected 1 to %d", *version, EPGDB_SCHEMA_VERSION);
    return 0;
  }
  for (const char *probe : EpgdbSchemaProbes[*version - 1]) {
    rc = sqlite3_prepare_v2(db, probe, -1, &stmt, nullptr);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_OK) {
      *busy = EpgdbSchemaIsBusy(rc);
      snprintf(why, why_size, "tables do not match schema version %d (%s)", *version,
               sqlite3_errmsg(db));
      return 0;
    }
  }
  return 1;
}
