/* Guide database library, the file: "<root>/guide.db" opened for writing,
 * made when missing, checked before use and brought to the current schema. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "epgdb_internal.h"
#include "epgdb_schema.h"

/* How long a connection waits for another one's lock, in ms: as long as a
 * save of the largest guide takes on a slow flash disk, with room to spare
 * (a 100 000-title save takes well under a minute on a receiver). */
#define EPGDB_BUSY_MS (5 * 60 * 1000)

/* The open file. */
static struct {
  sqlite3 *db; /* null when closed */
  std::string path;
} EpgdbFile;

sqlite3 *EpgdbFileDb(void) { return EpgdbFile.db; }

const char *EpgdbFilePath(void) { return EpgdbFile.path.c_str(); }

int EpgdbExec(sqlite3 *db, const char *sql, const char *what) {
  char *message = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    EpgdbLog("%s: %s (%d)", what, message ? message : sqlite3_errstr(rc), rc);
    sqlite3_free(message);
    return 0;
  }
  return 1;
}

/* Makes sure the database root "dir" is a directory, creating it (one level,
 * mode 0755) when missing. Returns 1, or 0 after logging why not. */
static int EpgdbMakeRoot(const std::string &dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 1;
    EpgdbLog("root %s is not a directory", dir.c_str());
    return 0;
  }
  if (errno != ENOENT) {
    EpgdbLog("root %s: %s", dir.c_str(), strerror(errno));
    return 0;
  }
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    EpgdbLog("cannot create root %s: %s", dir.c_str(), strerror(errno));
    return 0;
  }
  return 1;
}

/* Makes the directory entries of "dir" durable (a new file's name). */
static void EpgdbSyncDir(const std::string &dir) {
  int fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

/* Creates the database file "path" in "dir" with the schema: built under a
 * temporary name and linked into place, so that "path" never exists half
 * made. A file that appears at "path" meanwhile is left as it is. Returns 1,
 * or 0 after logging why not. */
static int EpgdbCreateFile(const std::string &dir, const std::string &path) {
  std::string temp, journal;
  try {
    temp = path + ".new-" + std::to_string(getpid());
    journal = temp + "-journal";
  } catch (const std::bad_alloc &) {
    EpgdbLog("out of memory creating %s", path.c_str());
    return 0;
  }
  unlink(temp.c_str());
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  int ok = rc == SQLITE_OK;
  if (!ok) EpgdbLog("cannot create %s: %s (%d)", temp.c_str(), sqlite3_errstr(rc), rc);
  /* No journal: nobody sees the file before it is complete and linked into
   * place, and a creation that fails is thrown away. Its commit then syncs
   * the file once instead of a journal and the file in turn. */
  ok = ok && EpgdbExec(db,
                       "PRAGMA journal_mode=OFF; PRAGMA synchronous=FULL; BEGIN;" EPGDB_SCHEMA_SQL
                       "PRAGMA user_version=" EPGDB_STRING(EPGDB_SCHEMA_VERSION) "; COMMIT;",
                       "creating the schema");
  rc = sqlite3_close(db);
  if (ok && rc != SQLITE_OK) {
    EpgdbLog("closing %s: %s (%d)", temp.c_str(), sqlite3_errstr(rc), rc);
    ok = 0;
  }
  if (ok && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    /* File systems without hard links: move it, unless a file appeared. */
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && rename(temp.c_str(), path.c_str()) != 0) {
      EpgdbLog("cannot create %s: %s", path.c_str(), strerror(errno));
      ok = 0;
    }
  }
  unlink(temp.c_str());
  unlink(journal.c_str());
  if (ok) EpgdbSyncDir(dir);
  return ok;
}

/* Makes the empty file open in "db" a new database with the schema, unless
 * another process has done so meanwhile. Returns 1, or 0 after logging. */
static int EpgdbFillEmptyFile(sqlite3 *db, const std::string &path) {
  int ok = EpgdbExec(db, "BEGIN IMMEDIATE", path.c_str());
  sqlite3_stmt *stmt = nullptr;
  int empty = ok && sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &stmt,
                                       nullptr) == SQLITE_OK &&
              sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) == 0;
  sqlite3_finalize(stmt);
  if (ok && empty)
    ok = EpgdbExec(db, EPGDB_SCHEMA_SQL "PRAGMA user_version=" EPGDB_STRING(EPGDB_SCHEMA_VERSION),
                   "creating the schema in an empty file");
  ok = ok && EpgdbExec(db, "COMMIT", path.c_str());
  if (!ok && !sqlite3_get_autocommit(db)) EpgdbExec(db, "ROLLBACK", path.c_str());
  return ok;
}

int epgdb_open(const char *root) {
  if (!root) return 0;
  EpgdbLogClear();
  if (EpgdbFile.db) {
    EpgdbLog("%s is already open", EpgdbFile.path.c_str());
    return 0;
  }
  std::string dir, path;
  try {
    dir = root;
    path = dir + "/" EPGDB_FILE_NAME;
  } catch (const std::bad_alloc &) {
    EpgdbLog("out of memory opening the database under %s", root);
    return 0;
  }
  if (!dir.empty() && !EpgdbMakeRoot(dir)) return 0;

  /* A save writes its journal beside the file: a root it cannot write in
   * would lose the whole download at the end of the run. */
  if (access(dir.empty() ? "/" : dir.c_str(), W_OK | X_OK) != 0) {
    EpgdbLog("root %s is not writable, a save could not make its journal: %s",
             dir.empty() ? "/" : dir.c_str(), strerror(errno));
    return 0;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      EpgdbLog("%s: %s", path.c_str(), strerror(errno));
      return 0;
    }
    if (!EpgdbCreateFile(dir, path)) return 0;
    st.st_mode = S_IFREG;
    st.st_size = -1;
  }

  /* Opened without the create flag and checked by reading only, so that a
   * file of another kind is never written. */
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    EpgdbLog("cannot open %s: %s (%d)", path.c_str(), sqlite3_errstr(rc), rc);
    sqlite3_close(db);
    return 0;
  }
  sqlite3_busy_timeout(db, EPGDB_BUSY_MS);
  char why[256] = "";
  int version = 0, busy = 0;
  /* An empty file (a crash right after it was made, or a user's touch) is
   * a new database. */
  int ok = S_ISREG(st.st_mode) && st.st_size == 0 ? EpgdbFillEmptyFile(db, path) : 1;
  ok = ok && EpgdbSchemaCheck(db, &version, &busy, why, sizeof why);
  if (!ok && why[0]) EpgdbLog("%s: %s", path.c_str(), why);
  if (ok && sqlite3_db_readonly(db, "main") != 0) {
    EpgdbLog("%s is read-only", path.c_str());
    ok = 0;
  }
  /* What the save relies on beyond the columns: repaired in the upgrade's
   * transaction, or the file is refused before a download is lost to it. */
  unsigned repairs = 0;
  if (ok && !EpgdbSchemaNeeds(db, version, &repairs, why, sizeof why)) {
    EpgdbLog("%s: %s", path.c_str(), why);
    ok = 0;
  }
  ok = ok && EpgdbExec(db, "PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;", path.c_str()) &&
       EpgdbUpgrade(db, path, version, repairs);
  if (!ok) {
    sqlite3_close(db);
    return 0;
  }
  EpgdbFile.db = db;
  EpgdbFile.path.swap(path); /* takes no memory, so the open cannot fail here */
  return 1;
}

int epgdb_close(void) {
  if (EpgdbFile.db) {
    int rc = sqlite3_close(EpgdbFile.db);
    if (rc != SQLITE_OK)
      EpgdbLog("closing %s: %s (%d)", EpgdbFile.path.c_str(), sqlite3_errstr(rc), rc);
    EpgdbFile.db = nullptr;
  }
  return 1;
}
