/* Guide database library, the save: the run's channels and titles written
 * in one transaction that merges them with earlier runs: a saved title
 * replaces every stored title of its channel that it overlaps, and titles
 * that ended more than a day before the save are dropped. */
#include <string.h>
#include <time.h>

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "epgdb_internal.h"

/* Titles that ended this many seconds before a save are dropped by it. */
#define EPGDB_EXPIRY_SECONDS 86400
/* How many times a save that found the file busy, or memory short, is tried. */
#define EPGDB_SAVE_ATTEMPTS 3
/* Why a save attempt failed, when another attempt may succeed. */
#define EPGDB_FAILED_BUSY 1  /* another connection's lock */
#define EPGDB_FAILED_NOMEM 2 /* SQLite found no memory */
/* The save reports progress after every this many titles. */
#define EPGDB_PROGRESS_STEP 1024

/* The saves of this process. */
static struct {
  uint64_t saves; /* number of the current save */
  int written, replaced, expired; /* counts of the last successful save */
} EpgdbSaves;

/* The prepared statements of one save. */
struct EpgdbSaveStatements {
  sqlite3_stmt *max_length;
  sqlite3_stmt *channel_insert;
  sqlite3_stmt *channel_select;
  sqlite3_stmt *summary_select;
  sqlite3_stmt *overlap_delete;
  sqlite3_stmt *title_insert;
  sqlite3_stmt *expire;
  EpgdbTextStatements texts;
};

/* The length a title occupies when titles are compared for overlap: its
 * length, and at least one second, so that a title of length 0 still holds
 * its start. */
static int64_t EpgdbSpan(const epgdb_title_t *title) {
  return title->length > 0 ? title->length : 1;
}

/* Prepares "sql" into "*stmt". Returns 1, or 0 after logging. */
static int EpgdbPrepare(const char *sql, sqlite3_stmt **stmt) {
  int rc = sqlite3_prepare_v2(EpgdbFileDb(), sql, -1, stmt, nullptr);
  if (rc != SQLITE_OK) {
    EpgdbLog("preparing \"%s\": %s (%d)", sql, sqlite3_errmsg(EpgdbFileDb()), rc);
    return 0;
  }
  return 1;
}

/* Steps "stmt" once and resets it, expecting "want" (SQLITE_DONE or
 * SQLITE_ROW; with SQLITE_ROW the row is read by "row" before the reset).
 * Returns 1, or 0 after logging SQLite's message with "what". */
static int EpgdbStep(sqlite3_stmt *stmt, int want, const char *what, int64_t *row = nullptr) {
  int rc = sqlite3_step(stmt);
  int ok = rc == want;
  if (ok && row) *row = sqlite3_column_int64(stmt, 0);
  if (!ok) EpgdbLog("%s: %s (%d)", what, sqlite3_errmsg(EpgdbFileDb()), rc);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return ok;
}

/* The texts of a title as the save writes them. */
static const char *EpgdbText(const char *text) { return text ? text : ""; }

/* True when "title" came without a summary: its long description is only
 * its own title followed by two line feeds. */
static int EpgdbLacksSummary(const epgdb_title_t *title) {
  const char *d = EpgdbText(title->description), *l = EpgdbText(title->long_description);
  size_t n = strlen(d);
  return strncmp(d, l, n) == 0 && strcmp(l + n, "\n\n") == 0;
}

/* Writes the titles of "channel" ("titles", in start order) over what
 * earlier runs stored: the channel row and the ids of the titles' texts
 * (into "ids", room for every title); for
 * each title without a summary the stored summary of the same programme
 * (same start, flags and title), kept; the deletion of every stored title
 * that a title overlaps (found through the primary key, bounded by the
 * longest stored length "max_length"), all before the first insert, so that
 * titles of this run never delete each other; then the titles' rows. Counts
 * deleted rows in "*replaced", written titles in "*done" and reports them to
 * "progress" out of "total". Returns 1, or 0 after logging. */
static int EpgdbSaveChannel(EpgdbSaveStatements *s, const epgdb_channel_t *channel,
                            const std::vector<epgdb_title_t *> &titles,
                            std::vector<std::pair<int64_t, int64_t>> &ids, int64_t max_length,
                            epgdb_progress_t progress, int *done, int total, int *replaced) {
  sqlite3 *db = EpgdbFileDb();
  int ok = 1;
  for (sqlite3_stmt *stmt : {s->channel_insert, s->channel_select}) {
    ok = ok && sqlite3_bind_int(stmt, 1, channel->nid) == SQLITE_OK &&
         sqlite3_bind_int(stmt, 2, channel->tsid) == SQLITE_OK &&
         sqlite3_bind_int(stmt, 3, channel->sid) == SQLITE_OK;
  }
  ok = ok && sqlite3_bind_text(s->channel_insert, 4, channel->name.data(), (int)channel->name.size(),
                               SQLITE_STATIC) == SQLITE_OK;
  int64_t channel_id = 0;
  ok = ok && EpgdbStep(s->channel_insert, SQLITE_DONE, "adding channel") &&
       EpgdbStep(s->channel_select, SQLITE_ROW, "finding channel", &channel_id);
  for (size_t i = 0; ok && i < titles.size(); i++) {
    const epgdb_title_t *t = titles[i];
    ok = EpgdbTextSaveId(db, &s->texts, t->description, EpgdbSaves.saves, &ids[i].first) &&
         EpgdbTextSaveId(db, &s->texts, t->long_description, EpgdbSaves.saves, &ids[i].second);
    if (!ok || !EpgdbLacksSummary(t)) continue;
    /* A title without summary keeps the stored summary of its programme. */
    sqlite3_stmt *find = s->summary_select;
    int64_t kept = 0;
    ok = sqlite3_bind_int64(find, 1, channel_id) == SQLITE_OK &&
         sqlite3_bind_int64(find, 2, t->start_time) == SQLITE_OK &&
         sqlite3_bind_int(find, 3, t->flags) == SQLITE_OK &&
         sqlite3_bind_int64(find, 4, ids[i].first) == SQLITE_OK &&
         sqlite3_bind_int64(find, 5, ids[i].second) == SQLITE_OK;
    int rc = ok ? sqlite3_step(find) : SQLITE_ERROR;
    if (rc == SQLITE_ROW) kept = sqlite3_column_int64(find, 0);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      EpgdbLog("finding a stored summary: %s (%d)", sqlite3_errmsg(db), rc);
      ok = 0;
    }
    sqlite3_reset(find);
    if (kept) ids[i].second = kept;
  }
  for (size_t i = 0; ok && i < titles.size(); i++) {
    int64_t start = titles[i]->start_time;
    sqlite3_stmt *del = s->overlap_delete;
    ok = sqlite3_bind_int64(del, 1, channel_id) == SQLITE_OK &&
         sqlite3_bind_int64(del, 2, start - max_length) == SQLITE_OK &&
         sqlite3_bind_int64(del, 3, start + EpgdbSpan(titles[i])) == SQLITE_OK &&
         sqlite3_bind_int64(del, 4, start) == SQLITE_OK &&
         EpgdbStep(del, SQLITE_DONE, "removing overlapped titles");
    if (ok) *replaced += sqlite3_changes(db);
  }
  for (size_t i = 0; ok && i < titles.size(); i++) {
    const epgdb_title_t *t = titles[i];
    int64_t start = t->start_time;
    sqlite3_stmt *ins = s->title_insert;
    ok = sqlite3_bind_int64(ins, 1, channel_id) == SQLITE_OK &&
         sqlite3_bind_int64(ins, 2, start) == SQLITE_OK &&
         sqlite3_bind_int(ins, 3, t->length) == SQLITE_OK &&
         sqlite3_bind_int(ins, 4, t->event_id) == SQLITE_OK &&
         sqlite3_bind_int(ins, 5, t->mjd) == SQLITE_OK &&
         sqlite3_bind_int(ins, 6, t->flags) == SQLITE_OK &&
         sqlite3_bind_text(ins, 7, t->language, (int)strnlen(t->language, sizeof t->language),
                           SQLITE_STATIC) == SQLITE_OK &&
         sqlite3_bind_int64(ins, 8, ids[i].first) == SQLITE_OK &&
         sqlite3_bind_int64(ins, 9, ids[i].second) == SQLITE_OK &&
         EpgdbStep(ins, SQLITE_DONE, "adding title");
    if (!ok) {
      EpgdbLog("title at %lld of channel %u:%u:%u not written", (long long)start, channel->nid,
               channel->tsid, channel->sid);
      break;
    }
    ++*done;
    if (progress && *done % EPGDB_PROGRESS_STEP == 0) progress(*done, total);
  }
  return ok;
}

/* One attempt at writing the run: expiry of earlier runs' titles, then
 * every channel, in one transaction; "ids" has room for the titles of the
 * largest channel. Returns 1, or 0 after logging and rolling back, with
 * "*failed" set to EPGDB_FAILED_BUSY or EPGDB_FAILED_NOMEM when that was
 * the cause. Counts go to "*replaced", "*expired" and "*done". */
static int EpgdbSaveOnce(const std::vector<std::vector<epgdb_title_t *>> &per_channel,
                         std::vector<std::pair<int64_t, int64_t>> &ids, int total,
                         epgdb_progress_t progress, int *replaced, int *expired, int *done,
                         int *failed) {
  sqlite3 *db = EpgdbFileDb();
  EpgdbSaveStatements s = {};
  int64_t max_length = 0;
  *replaced = *expired = *done = 0;
  EpgdbSaves.saves++; /* text ids remembered by an earlier attempt are void */
  if (progress) progress(0, total);
  int ok = EpgdbExec(db, "BEGIN IMMEDIATE", "starting the save") &&
           EpgdbPrepare("SELECT IFNULL(MAX(MAX(length), 1), 1) FROM titles", &s.max_length) &&
           EpgdbPrepare("INSERT INTO channels(nid, tsid, sid, name) VALUES(?1, ?2, ?3, ?4)"
                        " ON CONFLICT(nid, tsid, sid) DO UPDATE SET name = excluded.name"
                        " WHERE excluded.name <> '' AND excluded.name <> channels.name",
                        &s.channel_insert) &&
           EpgdbPrepare("SELECT id FROM channels WHERE nid = ?1 AND tsid = ?2 AND sid = ?3",
                        &s.channel_select) &&
           EpgdbPrepare("SELECT long_description_id FROM titles WHERE channel_id = ?1"
                        " AND start_time = ?2 AND flags = ?3 AND description_id = ?4"
                        " AND long_description_id <> ?5",
                        &s.summary_select) &&
           EpgdbPrepare("DELETE FROM titles WHERE channel_id = ?1 AND start_time >= ?2"
                        " AND start_time < ?3 AND start_time + MAX(length, 1) > ?4",
                        &s.overlap_delete) &&
           EpgdbPrepare("INSERT INTO titles(channel_id, start_time, length, event_id, mjd, flags,"
                        " language, description_id, long_description_id)"
                        " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                        &s.title_insert) &&
           EpgdbTextPrepare(db, &s.texts) &&
           EpgdbPrepare("DELETE FROM titles WHERE start_time + length < ?1", &s.expire) &&
           EpgdbStep(s.max_length, SQLITE_ROW, "finding the longest title", &max_length);
  /* Expiry first, while the file holds only earlier runs' titles: a title
   * handed over in this run is never expired, whatever the clock says. */
  ok = ok && sqlite3_bind_int64(s.expire, 1, (int64_t)time(nullptr) - EPGDB_EXPIRY_SECONDS) ==
                 SQLITE_OK &&
       EpgdbStep(s.expire, SQLITE_DONE, "dropping expired titles");
  if (ok) *expired = sqlite3_changes(db);
  for (size_t i = 0; ok && i < EpgdbRunChannelCount(); i++) {
    if (per_channel[i].empty()) continue;
    ok = EpgdbSaveChannel(&s, EpgdbRunChannel(i), per_channel[i], ids, max_length, progress, done,
                          total, replaced);
  }
  sqlite3_stmt *all[] = {s.max_length,     s.channel_insert, s.channel_select, s.summary_select,
                         s.overlap_delete, s.title_insert,   s.expire};
  for (sqlite3_stmt *stmt : all) sqlite3_finalize(stmt);
  EpgdbTextFinalize(&s.texts);
  /* Texts that no title refers to any more go (one pass over the titles). */
  ok = ok && EpgdbExec(db,
                       "DELETE FROM texts WHERE id NOT IN (SELECT description_id FROM titles"
                       " UNION SELECT long_description_id FROM titles)",
                       "dropping unused texts");
  ok = ok && EpgdbExec(db, "COMMIT", "committing the save");
  if (!ok) {
    int rc = sqlite3_extended_errcode(db) & 0xFF;
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) *failed = EPGDB_FAILED_BUSY;
    if (rc == SQLITE_NOMEM) *failed = EPGDB_FAILED_NOMEM;
    if (!sqlite3_get_autocommit(db)) EpgdbExec(db, "ROLLBACK", "rolling back the save");
  }
  return ok;
}

int epgdb_save(epgdb_progress_t progress) {
  EpgdbLogClear();
  if (!EpgdbFileDb()) {
    EpgdbLog("save without an open database");
    return 0;
  }
  /* What this run saves, channel by channel, and room for the text ids of
   * the largest channel: all the memory of the save outside SQLite, taken
   * before its transaction. */
  std::vector<std::vector<epgdb_title_t *>> per_channel;
  std::vector<std::pair<int64_t, int64_t>> ids;
  int total = 0, incomplete = 0;
  try {
    per_channel.resize(EpgdbRunChannelCount());
    size_t largest = 0;
    for (size_t i = 0; i < EpgdbRunChannelCount(); i++) {
      EpgdbChannelTitles(EpgdbRunChannel(i), per_channel[i], &incomplete);
      total += (int)per_channel[i].size();
      largest = std::max(largest, per_channel[i].size());
    }
    ids.resize(largest);
  } catch (const std::bad_alloc &) {
    EpgdbLog("out of memory preparing the save");
    return 0;
  }
  /* Another writer holding the file past the busy timeout, or SQLite short
   * of memory: the whole save is tried again, a few times, before the run's
   * guide is given up. */
  int ok = 0, done = 0;
  for (int attempt = 1; !ok && attempt <= EPGDB_SAVE_ATTEMPTS; attempt++) {
    int failed = 0;
    ok = EpgdbSaveOnce(per_channel, ids, total, progress, &EpgdbSaves.replaced,
                       &EpgdbSaves.expired, &done, &failed);
    if (!ok && !failed) break;
    if (failed == EPGDB_FAILED_BUSY)
      EpgdbLog("%s is busy: another connection holds it (attempt %d of %d)", EpgdbFilePath(),
               attempt, EPGDB_SAVE_ATTEMPTS);
    if (failed == EPGDB_FAILED_NOMEM)
      EpgdbLog("%s: out of memory during the save (attempt %d of %d)", EpgdbFilePath(), attempt,
               EPGDB_SAVE_ATTEMPTS);
  }
  if (!ok) {
    EpgdbLog("save of %d titles to %s failed; the file keeps its previous guide", total,
             EpgdbFilePath());
    return 0;
  }
  EpgdbSaves.written = done;
  if (incomplete)
    EpgdbNote("%d titles left out of the save: a text of theirs found no memory", incomplete);
  if (progress && done % EPGDB_PROGRESS_STEP != 0) progress(done, total);
  return 1;
}

void epgdb_save_counts(int *written, int *replaced, int *expired) {
  if (written) *written = EpgdbSaves.written;
  if (replaced) *replaced = EpgdbSaves.replaced;
  if (expired) *expired = EpgdbSaves.expired;
}
