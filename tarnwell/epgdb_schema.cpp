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

/* Runs "sql", which gives one integer. Returns 1 with it in "*value", or 0
 * with SQLite's message in "why". */
static int EpgdbSchemaCount(sqlite3 *db, const char *sql, long long *value, char *why,
                            size_t why_size) {
  sqlite3_stmt *stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) *value = sqlite3_column_int64(stmt, 0);
  else snprintf(why, why_size, "checking the tables: %s", sqlite3_errmsg(db));
  sqlite3_finalize(stmt);
  return rc == SQLITE_ROW;
}

/* The statements that find what a save relies on, each giving 0 when it is
 * missing. "%s" stands for a table name. */
#define EPGDB_NEED_TABLE "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = '%s'"
/* "id" is the table's row id: the save takes new ids from sqlite3_last_insert_rowid. */
#define EPGDB_NEED_ROWID_ID                                                                   \
  "SELECT (SELECT count(*) FROM pragma_table_info('%1$s') WHERE pk > 0) = 1"                  \
  " AND (SELECT count(*) FROM pragma_table_info('%1$s') WHERE name = 'id' AND pk = 1"         \
  " AND upper(type) = 'INTEGER') = 1"                                                         \
  " AND (SELECT count(*) FROM pragma_index_list('%1$s') WHERE origin = 'pk') = 0"
/* A whole unique index on exactly (nid, tsid, sid), which the save's upsert names. */
#define EPGDB_NEED_TRIPLES                                                                    \
  "SELECT count(*) FROM pragma_index_list('channels') l WHERE l.\"unique\" AND NOT l.partial" \
  " AND (SELECT count(*) FROM pragma_index_info(l.name)) = 3"                                 \
  " AND (SELECT count(*) FROM pragma_index_info(l.name) WHERE name IN ('nid', 'tsid', 'sid')) = 3"
/* A whole unique index on (channel_id, start_time), in that order: the
 * save's range scans of a channel's titles. */
#define EPGDB_NEED_TITLE_KEY                                                                  \
  "SELECT count(*) FROM pragma_index_list('titles') l WHERE l.\"unique\" AND NOT l.partial"   \
  " AND (SELECT count(*) FROM pragma_index_info(l.name)) = 2"                                 \
  " AND (SELECT name FROM pragma_index_info(l.name) WHERE seqno = 0) = 'channel_id'"          \
  " AND (SELECT name FROM pragma_index_info(l.name) WHERE seqno = 1) = 'start_time'"
/* No foreign key of the titles but channel_id to channels.id: any other
 * would fail every insert of a save ("foreign key mismatch"). */
#define EPGDB_NEED_TITLE_REFERENCE                                                            \
  "SELECT count(*) = 0 FROM pragma_foreign_key_list('%s') WHERE NOT (\"table\" = 'channels'"   \
  " AND \"from\" = 'channel_id' AND IFNULL(\"to\", 'id') = 'id')"
/* A whole index that starts with texts.hash: every text lookup of a save. */
#define EPGDB_NEED_TEXT_HASH                                                                  \
  "SELECT count(*) FROM pragma_index_list('texts') l WHERE NOT l.partial"                     \
  " AND (SELECT name FROM pragma_index_info(l.name) WHERE seqno = 0) = 'hash'"


int EpgdbSchemaNeeds(sqlite3 *db, int version, unsigned *repairs, char *why, size_t why_size) {
  struct Need {
    int from_version;      /* the versions that need it */
    const char *sql;       /* a format of one table name */
    const char *table;
    unsigned repair;       /* what the upgrade repairs when it is missing; 0: refused */
    const char *missing;   /* what is missing, for the reason */
  };
  static const Need needs[] = {
      {1, EPGDB_NEED_TABLE, "channels", 0, "channels is not a table"},
      {1, EPGDB_NEED_TABLE, "titles", 0, "titles is not a table"},
      {2, EPGDB_NEED_TABLE, "texts", 0, "texts is not a table"},
      {1, EPGDB_NEED_ROWID_ID, "channels", 0, "channels.id is not an INTEGER PRIMARY KEY"},
      {2, EPGDB_NEED_ROWID_ID, "texts", 0, "texts.id is not an INTEGER PRIMARY KEY"},
      {2, EPGDB_NEED_TITLE_KEY, "titles", 0,
       "titles lacks its primary key (channel_id, start_time)"},
      {2, EPGDB_NEED_TITLE_REFERENCE, "titles", 0,
       "titles refer to something else than channels.id"},
      {1, EPGDB_NEED_TRIPLES, "channels", EPGDB_REPAIR_CHANNEL_TRIPLES, ""},
      {2, EPGDB_NEED_TEXT_HASH, "texts", EPGDB_REPAIR_TEXT_HASH, ""},
  };
  *repairs = 0;
  for (const Need &need : needs) {
    if (version < need.from_version) continue;
    char sql[1024];
    snprintf(sql, sizeof sql, need.sql, need.table);
    long long found = 0;
    if (!EpgdbSchemaCount(db, sql, &found, why, why_size)) return 0;
    if (found > 0) continue;
    if (!need.repair) {
      snprintf(why, why_size, "%s, which a save needs; %s", need.missing, EPGDB_SCHEMA_ADVICE);
      return 0;
    }
    *repairs |= need.repair;
  }
  return 1;
}
