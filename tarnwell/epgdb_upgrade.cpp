/* Guide database library, upgrades: the ordered steps that bring a file of an
 * older schema version to the current one, all in one transaction. */
#include <string>

#include "epgdb_internal.h"
#include "epgdb_schema.h"

/* The number "sql" counts in "db" into "*n". Returns 1, or 0 after logging. */
static int EpgdbUpgradeCount(sqlite3 *db, const char *sql, long long *n) {
  sqlite3_stmt *stmt = nullptr;
  int ok = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
           sqlite3_step(stmt) == SQLITE_ROW;
  if (ok) *n = sqlite3_column_int64(stmt, 0);
  else EpgdbLog("counting (%s): %s", sql, sqlite3_errmsg(db));
  sqlite3_finalize(stmt);
  return ok;
}

/* Version 1 to 2: texts move out of the titles into the texts table, each
 * distinct text once, and titles are kept in their primary key's order.
 * Titles of a channel that does not exist, or with an empty field, are
 * dropped; of titles at the same channel and start the later one is kept.
 * Both are counted on standard error. */
static int EpgdbUpgradeTextsOnce(sqlite3 *db) {
  EpgdbTextStatements texts = {};
  sqlite3_stmt *read = nullptr, *write = nullptr;
  long long all = 0, usable = 0, kept = 0;
  int ok = EpgdbExec(db, EPGDB_SCHEMA_TEXTS_SQL EPGDB_SCHEMA_TITLES_SQL("titles_new"),
                     "making the texts table") &&
           EpgdbTextPrepare(db, &texts) &&
           EpgdbUpgradeCount(db, "SELECT count(*) FROM titles", &all) &&
           sqlite3_prepare_v2(db,
                              "SELECT channel_id, start_time, length, event_id, mjd, flags,"
                              " language, description, long_description FROM titles"
                              " WHERE channel_id IN (SELECT id FROM channels)"
                              " AND start_time IS NOT NULL AND length IS NOT NULL"
                              " AND event_id IS NOT NULL AND mjd IS NOT NULL"
                              " AND flags IS NOT NULL AND language IS NOT NULL",
                              -1, &read, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db,
                              "INSERT OR REPLACE INTO titles_new"
                              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                              -1, &write, nullptr) == SQLITE_OK;
  int rc = SQLITE_ROW;
  while (ok && (rc = sqlite3_step(read)) == SQLITE_ROW) {
    int64_t ids[2];
    usable++;
    for (int k = 0; ok && k < 2; k++)
      ok = EpgdbTextId(db, &texts, (const char *)sqlite3_column_blob(read, 7 + k),
                       (size_t)sqlite3_column_bytes(read, 7 + k), &ids[k]);
    for (int col = 0; ok && col < 7; col++)
      ok = sqlite3_bind_value(write, col + 1, sqlite3_column_value(read, col)) == SQLITE_OK;
    ok = ok && sqlite3_bind_int64(write, 8, ids[0]) == SQLITE_OK &&
         sqlite3_bind_int64(write, 9, ids[1]) == SQLITE_OK && sqlite3_step(write) == SQLITE_DONE;
    sqlite3_reset(write);
  }
  if (ok && rc != SQLITE_DONE) ok = 0;
  if (!ok) EpgdbLog("moving the texts: %s", sqlite3_errmsg(db));
  sqlite3_finalize(read);
  sqlite3_finalize(write);
  EpgdbTextFinalize(&texts);
  ok = ok && EpgdbUpgradeCount(db, "SELECT count(*) FROM titles_new", &kept);
  if (ok && all > usable)
    EpgdbNote("%lld titles of a missing channel or with an empty field dropped", all - usable);
  if (ok && usable > kept)
    EpgdbNote("%lld titles at the channel and start of a later one dropped", usable - kept);
  return ok && EpgdbExec(db, "DROP TABLE titles; ALTER TABLE titles_new RENAME TO titles;",
                         "replacing the titles table");
}

/* The upgrade steps of the file format, in order: step i turns a file of
 * version i + 1 into one of version i + 2 inside the transaction its caller
 * holds, and returns 1, or 0 after logging (the caller then rolls back).
 * A new version adds one step here and bumps EPGDB_SCHEMA_VERSION. */
typedef int (*EpgdbUpgradeStep)(sqlite3 *db);

/* Version 2 to 3: channels keep their broadcast name ("" until a run sets one). */
static int EpgdbUpgradeChannelNames(sqlite3 *db) {
  return EpgdbExec(db, "ALTER TABLE channels ADD COLUMN name TEXT NOT NULL DEFAULT ''",
                   "adding channel names");
}

static const EpgdbUpgradeStep EpgdbUpgrades[] = {
    EpgdbUpgradeTextsOnce,    /* 1 to 2 */
    EpgdbUpgradeChannelNames, /* 2 to 3 */
    nullptr,                  /* end of the list */
};
static_assert(sizeof EpgdbUpgrades / sizeof EpgdbUpgrades[0] == EPGDB_SCHEMA_VERSION,
              "one upgrade step per schema version after the first");

/* Merges the channels that share a triple into the one of the lowest id:
 * their titles move there, where a title at a start it holds already
 * replaces it (so of titles at one channel and start the one of the later
 * channel stays), the latest non-empty name is kept; then a unique index
 * keeps one channel per triple. Counts on standard error. Returns 1, or 0
 * after logging. */
static int EpgdbUpgradeMergeChannels(sqlite3 *db, int version) {
  sqlite3_stmt *dups = nullptr, *move = nullptr, *name = nullptr;
  long long before = 0, after = 0, merged = 0;
  int ok = EpgdbUpgradeCount(db, "SELECT count(*) FROM titles", &before) &&
           sqlite3_prepare_v2(db,
                              "SELECT d.id, (SELECT min(k.id) FROM channels k WHERE k.nid = d.nid"
                              " AND k.tsid = d.tsid AND k.sid = d.sid) AS keep FROM channels d"
                              " WHERE d.id <> keep ORDER BY d.id",
                              -1, &dups, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db, "UPDATE OR REPLACE titles SET channel_id = ?2 WHERE channel_id = ?1",
                              -1, &move, nullptr) == SQLITE_OK &&
           (version < 3 ||
            sqlite3_prepare_v2(db,
                               "UPDATE channels SET name = (SELECT name FROM channels WHERE id = ?1)"
                               " WHERE id = ?2 AND (SELECT name FROM channels WHERE id = ?1) <> ''",
                               -1, &name, nullptr) == SQLITE_OK);
  int rc = SQLITE_ROW;
  while (ok && (rc = sqlite3_step(dups)) == SQLITE_ROW) {
    merged++;
    for (sqlite3_stmt *stmt : {move, name}) {
      if (!stmt) continue;
      ok = ok && sqlite3_bind_int64(stmt, 1, sqlite3_column_int64(dups, 0)) == SQLITE_OK &&
           sqlite3_bind_int64(stmt, 2, sqlite3_column_int64(dups, 1)) == SQLITE_OK &&
           sqlite3_step(stmt) == SQLITE_DONE;
      sqlite3_reset(stmt);
    }
  }
  if (ok && rc != SQLITE_DONE) ok = 0;
  if (!ok) EpgdbLog("merging channels of one triple: %s", sqlite3_errmsg(db));
  sqlite3_finalize(dups);
  sqlite3_finalize(move);
  sqlite3_finalize(name);
  ok = ok &&
       EpgdbExec(db,
                 "DELETE FROM channels WHERE id NOT IN (SELECT min(id) FROM channels"
                 " GROUP BY nid, tsid, sid);"
                 "CREATE UNIQUE INDEX channels_by_triple ON channels(nid, tsid, sid);",
                 "keeping one channel per triple") &&
       EpgdbUpgradeCount(db, "SELECT count(*) FROM titles", &after);
  if (ok)
    EpgdbNote("channels lacked their unique triple: %lld duplicate channels merged, %lld of"
              " their titles at a start the later channel holds dropped",
              merged, before - after);
  return ok;
}

/* Makes the index that finds texts by hash. Returns 1, or 0 after logging. */
static int EpgdbUpgradeTextIndex(sqlite3 *db) {
  int ok = EpgdbExec(db, "DROP INDEX IF EXISTS texts_by_hash; CREATE INDEX texts_by_hash ON texts(hash)",
                     "making the index of texts by hash");
  if (ok) EpgdbNote("texts lacked their index by hash: made again");
  return ok;
}

int EpgdbUpgrade(sqlite3 *db, const std::string &path, int version, unsigned repairs) {
  if (version == EPGDB_SCHEMA_VERSION && !repairs) return 1;
  int ok = EpgdbExec(db, "BEGIN IMMEDIATE", "starting the upgrade");
  if (ok && (repairs & EPGDB_REPAIR_CHANNEL_TRIPLES)) ok = EpgdbUpgradeMergeChannels(db, version);
  for (int v = version; ok && v < EPGDB_SCHEMA_VERSION; v++) ok = EpgdbUpgrades[v - 1](db);
  if (ok && (repairs & EPGDB_REPAIR_TEXT_HASH)) ok = EpgdbUpgradeTextIndex(db);
  ok = ok && EpgdbExec(db, "PRAGMA user_version=" EPGDB_STRING(EPGDB_SCHEMA_VERSION),
                       "setting the schema version") &&
       EpgdbExec(db, "COMMIT", "committing the upgrade");
  if (!ok) {
    /* What the file holds (a constraint, a name taken, damage) fails the
     * same way at every open; a lock, a lack of memory or disk space passes. */
    int rc = sqlite3_extended_errcode(db) & 0xFF;
    int lasting = rc == SQLITE_ERROR || rc == SQLITE_CONSTRAINT || rc == SQLITE_MISMATCH ||
                  rc == SQLITE_CORRUPT;
    if (!sqlite3_get_autocommit(db)) EpgdbExec(db, "ROLLBACK", "rolling back the upgrade");
    EpgdbLog("%s: %s of schema version %d failed; the file is unchanged", path.c_str(),
             version == EPGDB_SCHEMA_VERSION ? "repair" : "upgrade", version);
    if (lasting) EpgdbLogAdvice("the file is unchanged; " EPGDB_SCHEMA_ADVICE);
    return 0;
  }
  if (version != EPGDB_SCHEMA_VERSION)
    EpgdbNote("%s: upgraded from schema version %d to %d", path.c_str(), version,
              EPGDB_SCHEMA_VERSION);
  return 1;
}
