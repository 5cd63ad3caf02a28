/* Guide database library, upgrades: the ordered steps that bring a file of an
 * older schema version to the current one, all in one transaction. */
#include <string>

#include "epgdb_internal.h"
#include "epgdb_schema.h"

/* Version 1 to 2: texts move out of the titles into the texts table, each
 * distinct text once, and titles are kept in their primary key's order. */
static int EpgdbUpgradeTextsOnce(sqlite3 *db) {
  EpgdbTextStatements texts = {};
  sqlite3_stmt *read = nullptr, *write = nullptr;
  int ok = EpgdbExec(db, EPGDB_SCHEMA_TEXTS_SQL EPGDB_SCHEMA_TITLES_SQL("titles_new"),
                     "making the texts table") &&
           EpgdbTextPrepare(db, &texts) &&
           sqlite3_prepare_v2(db,
                              "SELECT channel_id, start_time, length, event_id, mjd, flags,"
                              " language, description, long_description FROM titles",
                              -1, &read, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db,
                              "INSERT INTO titles_new VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                              -1, &write, nullptr) == SQLITE_OK;
  int rc = SQLITE_ROW;
  while (ok && (rc = sqlite3_step(read)) == SQLITE_ROW) {
    int64_t ids[2];
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

int EpgdbUpgrade(sqlite3 *db, const std::string &path, int version) {
  if (version == EPGDB_SCHEMA_VERSION) return 1;
  int ok = EpgdbExec(db, "BEGIN IMMEDIATE", "starting the upgrade");
  for (int v = version; ok && v < EPGDB_SCHEMA_VERSION; v++) ok = EpgdbUpgrades[v - 1](db);
  ok = ok && EpgdbExec(db, "PRAGMA user_version=" EPGDB_STRING(EPGDB_SCHEMA_VERSION),
                       "setting the schema version") &&
       EpgdbExec(db, "COMMIT", "committing the upgrade");
  if (!ok) {
    if (!sqlite3_get_autocommit(db)) EpgdbExec(db, "ROLLBACK", "rolling back the upgrade");
    EpgdbLog("%s: upgrade from schema version %d failed; the file is unchanged", path.c_str(),
             version);
    return 0;
  }
  EpgdbNote("%s: upgraded from schema version %d to %d", path.c_str(), version,
            EPGDB_SCHEMA_VERSION);
  return 1;
}
