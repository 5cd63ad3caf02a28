/* Guide database library, the save: the run's channels and titles written
 * in one transaction that merges them with earlier runs: a saved title
 * replaces every stored title of its channel that it overlaps (one stored
 * as it is stays untouched), and titles that ended more than a day before
 * the save are dropped. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <new>
#include <vector>

#include "epgdb_internal.h"

/* Titles that ended this many seconds before a save are dropped by it. */
#define EPGDB_EXPIRY_SECONDS 86400
/* How many times a save that found the file busy, or memory short, is tried. */
#define EPGDB_SAVE_ATTEMPTS 3
/* Why a save attempt failed, when another attempt may succeed. */
#define EPGDB_FAILED_BUSY 1  /* another connection's lock */
#define EPGDB_FAILED_NOMEM 2 /* SQLite found no memory */
/* The page cache of a save, in KiB: the save's pages beside the run it
 * holds are most of a small guide's memory at the grab's end, so the
 * cache grows with the run, from 1 MiB to 2 MiB (2 MiB for about 50 000
 * titles and more). A next-day grab of a week of 129 000 titles syncs 6
 * times with 2 MiB as with 4 MiB, 10 times with 1 MiB; one of 25 000 titles
 * 6 times with 1 MiB, 4 with 2 MiB, and peaks 1.2 MiB higher with it. */
#define EPGDB_SAVE_CACHE_MIN_KIB 1024
#define EPGDB_SAVE_CACHE_MAX_KIB 2048
#define EPGDB_SAVE_TITLES_PER_KIB 24
/* The save reports progress after every this many titles. */
#define EPGDB_PROGRESS_STEP 1024

/* Stored titles a save deletes in one go: it finds them with a read, then
 * deletes each by its key once the read is over. */
#define EPGDB_DELETE_BATCH 256

/* The counts of the last successful save of this process. */
static struct {
  int written, replaced, expired;
} EpgdbSaves;

/* The prepared statements of one save. */
struct EpgdbSaveStatements {
  sqlite3_stmt *channel_ids;
  sqlite3_stmt *channel_select;
  sqlite3_stmt *channel_insert;
  sqlite3_stmt *channel_rename;
  sqlite3_stmt *expired_select;
  sqlite3_stmt *stored_select;
  sqlite3_stmt *title_delete;
  sqlite3_stmt *title_insert;
  EpgdbTextStatements texts;
};

/* What a save knows of one title of the run while it merges its channel. */
struct EpgdbSaveSlot {
  int64_t description_id;      /* 0 while the text is not stored */
  int64_t long_description_id; /* the same, or the kept stored summary */
  int64_t end_max;             /* latest span end of the titles up to this one */
  int kept;                    /* the stored title is this one: not rewritten */
};

/* One attempt at a save: its statements, working room and counts. */
struct EpgdbSaveRun {
  EpgdbSaveStatements s;
  std::vector<EpgdbSaveSlot> *slots; /* room for the largest channel */
  epgdb_progress_t progress;
  int total, done, replaced, expired, deleted;
};

/* The length a title occupies when titles are compared for overlap: its
 * length, and at least one second, so that a title of length 0 still holds
 * its start. */
static int64_t EpgdbSpan(int64_t length) { return length > 0 ? length : 1; }

/* The end of a span from "start" of "length" (stored values may be any
 * 64-bit numbers), at most INT64_MAX. */
static int64_t EpgdbSpanEnd(int64_t start, int64_t length) {
  int64_t end;
  return __builtin_add_overflow(start, EpgdbSpan(length), &end) ? INT64_MAX : end;
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

/* Deletes the stored titles of channel "channel_id" at the "n" starts of
 * "starts". Returns 1, or 0 after logging. */
static int EpgdbDeleteTitles(EpgdbSaveRun *run, int64_t channel_id, const int64_t *starts, int n) {
  sqlite3_stmt *del = run->s.title_delete;
  int ok = 1;
  for (int i = 0; ok && i < n; i++)
    ok = sqlite3_bind_int64(del, 1, channel_id) == SQLITE_OK &&
         sqlite3_bind_int64(del, 2, starts[i]) == SQLITE_OK &&
         EpgdbStep(del, SQLITE_DONE, "removing a stored title");
  if (ok) run->deleted += n;
  return ok;
}

/* Drops the titles of earlier runs that ended before "cutoff", channel by
 * channel through the primary key (only titles that start before the
 * cutoff are read). Counts them in run->expired. Returns 1, or 0 after
 * logging. */
static int EpgdbExpire(EpgdbSaveRun *run, int64_t cutoff) {
  sqlite3_stmt *channels = run->s.channel_ids, *find = run->s.expired_select;
  int64_t starts[EPGDB_DELETE_BATCH];
  int ok = 1, rc = SQLITE_DONE;
  while (ok && (rc = sqlite3_step(channels)) == SQLITE_ROW) {
    int64_t channel_id = sqlite3_column_int64(channels, 0);
    for (int n = EPGDB_DELETE_BATCH; ok && n == EPGDB_DELETE_BATCH;) {
      n = 0;
      ok = sqlite3_bind_int64(find, 1, channel_id) == SQLITE_OK &&
           sqlite3_bind_int64(find, 2, cutoff) == SQLITE_OK &&
           sqlite3_bind_int(find, 3, EPGDB_DELETE_BATCH) == SQLITE_OK;
      while (ok && (rc = sqlite3_step(find)) == SQLITE_ROW)
        starts[n++] = sqlite3_column_int64(find, 0);
      if (ok && rc != SQLITE_DONE) {
        EpgdbLog("finding expired titles: %s (%d)", sqlite3_errmsg(EpgdbFileDb()), rc);
        ok = 0;
      }
      sqlite3_reset(find);
      ok = ok && EpgdbDeleteTitles(run, channel_id, starts, n);
      if (ok) run->expired += n;
    }
  }
  if (ok && rc != SQLITE_DONE) {
    EpgdbLog("listing the stored channels: %s (%d)", sqlite3_errmsg(EpgdbFileDb()), rc);
    ok = 0;
  }
  sqlite3_reset(channels);
  return ok;
}

/* The id of the stored row of "channel" in "*id", added when missing, and
 * the broadcast name the run set written over a different stored one.
 * Returns 1, or 0 after logging. */
static int EpgdbChannelId(EpgdbSaveRun *run, const epgdb_channel_t *channel, int64_t *id) {
  sqlite3_stmt *find = run->s.channel_select;
  int ok = sqlite3_bind_int(find, 1, channel->nid) == SQLITE_OK &&
           sqlite3_bind_int(find, 2, channel->tsid) == SQLITE_OK &&
           sqlite3_bind_int(find, 3, channel->sid) == SQLITE_OK;
  int rc = ok ? sqlite3_step(find) : SQLITE_ERROR;
  int renamed = 0;
  *id = 0;
  if (rc == SQLITE_ROW) {
    *id = sqlite3_column_int64(find, 0);
    const char *stored = (const char *)sqlite3_column_text(find, 1);
    renamed = !channel->name.empty() && channel->name != (stored ? stored : "");
  } else if (rc != SQLITE_DONE) {
    EpgdbLog("finding channel: %s (%d)", sqlite3_errmsg(EpgdbFileDb()), rc);
    ok = 0;
  }
  sqlite3_reset(find);
  sqlite3_stmt *write = *id ? run->s.channel_rename : run->s.channel_insert;
  if (!ok || (*id && !renamed)) return ok;
  ok = sqlite3_bind_int(write, 1, channel->nid) == SQLITE_OK &&
       sqlite3_bind_int(write, 2, channel->tsid) == SQLITE_OK &&
       sqlite3_bind_int(write, 3, channel->sid) == SQLITE_OK &&
       sqlite3_bind_text(write, 4, channel->name.data(), (int)channel->name.size(),
                         SQLITE_STATIC) == SQLITE_OK &&
       EpgdbStep(write, SQLITE_DONE, *id ? "naming channel" : "adding channel");
  if (ok && !*id) *id = sqlite3_last_insert_rowid(EpgdbFileDb());
  return ok;
}

/* Compares the stored row of "stmt" (columns as stored_select gives them)
 * with "title" at the same start, after "title" took the stored summary
 * that it keeps (a title without summary keeps the stored summary of the
 * same programme: same start, flags and title). True when they are the
 * same, so that the stored row stays as it is. */
static int EpgdbSameTitle(sqlite3_stmt *stmt, const epgdb_title_t *title, EpgdbSaveSlot *slot) {
  int64_t description_id = sqlite3_column_int64(stmt, 6);
  int64_t long_id = sqlite3_column_int64(stmt, 7);
  int same_programme = sqlite3_column_int64(stmt, 4) == title->flags && slot->description_id &&
                       description_id == slot->description_id;
  if (same_programme && long_id != slot->long_description_id && EpgdbLacksSummary(title))
    slot->long_description_id = long_id;
  size_t language = strnlen(title->language, sizeof title->language);
  return same_programme && long_id == slot->long_description_id &&
         sqlite3_column_int64(stmt, 1) == title->length &&
         sqlite3_column_int64(stmt, 2) == title->event_id &&
         sqlite3_column_int64(stmt, 3) == title->mjd &&
         (size_t)sqlite3_column_bytes(stmt, 5) == language &&
         memcmp(sqlite3_column_blob(stmt, 5) ? sqlite3_column_blob(stmt, 5) : "", title->language,
                language) == 0;
}

/* Merges the stored titles of channel "channel_id" with "titles" (in start
 * order, slots filled): every stored title that a title of the run overlaps
 * is replaced (counted in run->replaced), and deleted unless it is the same
 * as the run's title at its start, which is then kept as stored. Returns
 * 1, or 0 after logging. */
static int EpgdbMergeStored(EpgdbSaveRun *run, int64_t channel_id,
                            const std::vector<epgdb_title_t *> &titles) {
  std::vector<EpgdbSaveSlot> &slots = *run->slots;
  sqlite3_stmt *read = run->s.stored_select;
  int64_t starts[EPGDB_DELETE_BATCH], from = INT64_MIN, until = slots[titles.size() - 1].end_max;
  int ok = 1, more = 1;
  while (ok && more) {
    int n = 0, rc = SQLITE_DONE;
    ok = sqlite3_bind_int64(read, 1, channel_id) == SQLITE_OK &&
         sqlite3_bind_int64(read, 2, from) == SQLITE_OK &&
         sqlite3_bind_int64(read, 3, until) == SQLITE_OK;
    while (ok && n < EPGDB_DELETE_BATCH && (rc = sqlite3_step(read)) == SQLITE_ROW) {
      int64_t start = sqlite3_column_int64(read, 0);
      int64_t end = EpgdbSpanEnd(start, sqlite3_column_int64(read, 1));
      from = start + 1; /* start < until, so no overflow */
      /* The run's titles that start before this one ends; one of them
       * overlaps it when the latest end among them is after its start. */
      size_t k = (size_t)(std::lower_bound(titles.begin(), titles.end(), end,
                                           [](const epgdb_title_t *t, int64_t v) {
                                             return (int64_t)t->start_time < v;
                                           }) -
                          titles.begin());
      if (k == 0 || slots[k - 1].end_max <= start) continue;
      run->replaced++;
      auto same = std::lower_bound(titles.begin(), titles.begin() + k, start,
                                   [](const epgdb_title_t *t, int64_t v) {
                                     return (int64_t)t->start_time < v;
                                   });
      if (same != titles.begin() + k && (int64_t)(*same)->start_time == start) {
        EpgdbSaveSlot *slot = &slots[same - titles.begin()];
        if (EpgdbSameTitle(read, *same, slot)) {
          slot->kept = 1;
          continue;
        }
      }
      starts[n++] = start;
    }
    more = ok && n == EPGDB_DELETE_BATCH;
    if (ok && !more && rc != SQLITE_DONE) {
      EpgdbLog("reading the stored titles: %s (%d)", sqlite3_errmsg(EpgdbFileDb()), rc);
      ok = 0;
    }
    sqlite3_reset(read);
    ok = ok && EpgdbDeleteTitles(run, channel_id, starts, n);
  }
  return ok;
}

/* Writes the titles of "channel" ("titles", in start order) over what
 * earlier runs stored: the channel row, the stored titles that they
 * overlap replaced, all before the first insert so that titles of this run
 * never delete each other, then the rows of the titles that are not stored
 * as they are already, with their texts. Counts written titles in
 * run->done and reports them to run->progress. Returns 1, or 0 after
 * logging. */
static int EpgdbSaveChannel(EpgdbSaveRun *run, const epgdb_channel_t *channel,
                            const std::vector<epgdb_title_t *> &titles) {
  sqlite3 *db = EpgdbFileDb();
  std::vector<EpgdbSaveSlot> &slots = *run->slots;
  int64_t channel_id = 0, end_max = INT64_MIN;
  int ok = EpgdbChannelId(run, channel, &channel_id);
  for (size_t i = 0; ok && i < titles.size(); i++) {
    epgdb_title_t *t = titles[i];
    EpgdbSaveSlot *slot = &slots[i];
    end_max = std::max(end_max, EpgdbSpanEnd(t->start_time, t->length));
    *slot = {0, 0, end_max, 0};
    ok = EpgdbTextSaveId(db, &run->s.texts, t->description, 0, &slot->description_id) &&
         EpgdbTextSaveId(db, &run->s.texts, t->long_description, 0, &slot->long_description_id);
  }
  ok = ok && EpgdbMergeStored(run, channel_id, titles);
  for (size_t i = 0; ok && i < titles.size(); i++) {
    const epgdb_title_t *t = titles[i];
    EpgdbSaveSlot *slot = &slots[i];
    sqlite3_stmt *ins = run->s.title_insert;
    ok = slot->kept ||
         ((slot->description_id ||
           EpgdbTextSaveId(db, &run->s.texts, t->description, 1, &slot->description_id)) &&
          (slot->long_description_id ||
           EpgdbTextSaveId(db, &run->s.texts, t->long_description, 1,
                           &slot->long_description_id)) &&
          sqlite3_bind_int64(ins, 1, channel_id) == SQLITE_OK &&
          sqlite3_bind_int64(ins, 2, t->start_time) == SQLITE_OK &&
          sqlite3_bind_int(ins, 3, t->length) == SQLITE_OK &&
          sqlite3_bind_int(ins, 4, t->event_id) == SQLITE_OK &&
          sqlite3_bind_int(ins, 5, t->mjd) == SQLITE_OK &&
          sqlite3_bind_int(ins, 6, t->flags) == SQLITE_OK &&
          sqlite3_bind_text(ins, 7, t->language, (int)strnlen(t->language, sizeof t->language),
                            SQLITE_STATIC) == SQLITE_OK &&
          sqlite3_bind_int64(ins, 8, slot->description_id) == SQLITE_OK &&
          sqlite3_bind_int64(ins, 9, slot->long_description_id) == SQLITE_OK &&
          EpgdbStep(ins, SQLITE_DONE, "adding title"));
    if (!ok) {
      EpgdbLog("title at %lld of channel %u:%u:%u not written", (long long)t->start_time,
               channel->nid, channel->tsid, channel->sid);
      break;
    }
    ++run->done;
    if (run->progress && run->done % EPGDB_PROGRESS_STEP == 0) run->progress(run->done, run->total);
  }
  return ok;
}

/* One attempt at writing the run: expiry of earlier runs' titles, then
 * every channel, in one transaction; "slots" has room for the titles of the
 * largest channel. A save that changes nothing commits nothing. Returns 1,
 * or 0 after logging and rolling back, with "*failed" set to
 * EPGDB_FAILED_BUSY or EPGDB_FAILED_NOMEM when that was the cause. Counts
 * go to "*replaced", "*expired" and "*done". */
static int EpgdbSaveOnce(std::vector<epgdb_title_t *> &titles, std::vector<EpgdbSaveSlot> &slots,
                         int total, epgdb_progress_t progress, int *replaced, int *expired,
                         int *done, int *failed) {
  sqlite3 *db = EpgdbFileDb();
  EpgdbSaveRun run = {};
  run.slots = &slots;
  run.progress = progress;
  run.total = total;
  EpgdbSaveStatements &s = run.s;
  EpgdbTextForgetIds(); /* text ids remembered by an earlier attempt are void */
  if (progress) progress(0, total);
  /* A page cache that keeps most pages a save changes in memory until its
   * commit: fewer journal syncs before pages spill to the file. */
  int cache_kib = total / EPGDB_SAVE_TITLES_PER_KIB;
  if (cache_kib < EPGDB_SAVE_CACHE_MIN_KIB) cache_kib = EPGDB_SAVE_CACHE_MIN_KIB;
  if (cache_kib > EPGDB_SAVE_CACHE_MAX_KIB) cache_kib = EPGDB_SAVE_CACHE_MAX_KIB;
  char cache[64];
  snprintf(cache, sizeof cache, "PRAGMA cache_size=-%d", cache_kib);
  int ok = EpgdbExec(db, cache, "sizing the cache") &&
           EpgdbExec(db, "BEGIN IMMEDIATE", "starting the save") &&
           EpgdbPrepare("SELECT id FROM channels", &s.channel_ids) &&
           EpgdbPrepare("SELECT id, name FROM channels WHERE nid = ?1 AND tsid = ?2 AND sid = ?3",
                        &s.channel_select) &&
           EpgdbPrepare("INSERT INTO channels(nid, tsid, sid, name) VALUES(?1, ?2, ?3, ?4)",
                        &s.channel_insert) &&
           EpgdbPrepare("UPDATE channels SET name = ?4 WHERE nid = ?1 AND tsid = ?2 AND sid = ?3",
                        &s.channel_rename) &&
           EpgdbPrepare("SELECT start_time FROM titles WHERE channel_id = ?1 AND start_time < ?2"
                        " AND start_time + length < ?2 LIMIT ?3",
                        &s.expired_select) &&
           EpgdbPrepare("SELECT start_time, length, event_id, mjd, flags, language,"
                        " description_id, long_description_id FROM titles WHERE channel_id = ?1"
                        " AND start_time >= ?2 AND start_time < ?3",
                        &s.stored_select) &&
           EpgdbPrepare("DELETE FROM titles WHERE channel_id = ?1 AND start_time = ?2",
                        &s.title_delete) &&
           EpgdbPrepare("INSERT INTO titles(channel_id, start_time, length, event_id, mjd, flags,"
                        " language, description_id, long_description_id)"
                        " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                        &s.title_insert) &&
           EpgdbTextPrepare(db, &s.texts);
  int changes = sqlite3_total_changes(db);
  /* Expiry first, while the file holds only earlier runs' titles: a title
   * handed over in this run is never expired, whatever the clock says. */
  ok = ok && EpgdbExpire(&run, (int64_t)time(nullptr) - EPGDB_EXPIRY_SECONDS);
  for (size_t i = 0; ok && i < EpgdbRunChannelCount(); i++) {
    EpgdbChannelTitles(EpgdbRunChannel(i), titles);
    if (!titles.empty()) ok = EpgdbSaveChannel(&run, EpgdbRunChannel(i), titles);
  }
  sqlite3_stmt *all[] = {s.channel_ids,   s.channel_select, s.channel_insert, s.channel_rename,
                         s.expired_select, s.stored_select, s.title_delete,  s.title_insert};
  for (sqlite3_stmt *stmt : all) sqlite3_finalize(stmt);
  EpgdbTextFinalize(&s.texts);
  /* Texts that no title refers to any more go (one pass over the titles);
   * only a deleted title can leave one behind. */
  ok = ok && (run.deleted == 0 ||
              EpgdbExec(db,
                        "DELETE FROM texts WHERE id NOT IN (SELECT description_id FROM titles"
                        " UNION SELECT long_description_id FROM titles)",
                        "dropping unused texts"));
  /* A save that found everything stored as it is writes nothing. */
  int changed = ok && sqlite3_total_changes(db) != changes;
  ok = ok && EpgdbExec(db, changed ? "COMMIT" : "ROLLBACK",
                       changed ? "committing the save" : "ending the save");
  if (!ok) {
    int rc = sqlite3_extended_errcode(db) & 0xFF;
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) *failed = EPGDB_FAILED_BUSY;
    if (rc == SQLITE_NOMEM) *failed = EPGDB_FAILED_NOMEM;
    if (!sqlite3_get_autocommit(db)) EpgdbExec(db, "ROLLBACK", "rolling back the save");
  }
  *replaced = run.replaced;
  *expired = run.expired;
  *done = run.done;
  return ok;
}

int epgdb_save(epgdb_progress_t progress) {
  EpgdbLogClear();
  if (!EpgdbFileDb()) {
    EpgdbLog("save without an open database");
    return 0;
  }
  /* How many titles this run saves, and room for the titles of the largest
   * channel and what the save learns of them: all the memory of the save
   * outside SQLite, taken before its transaction. */
  std::vector<epgdb_title_t *> titles;
  std::vector<EpgdbSaveSlot> slots;
  int total = 0, incomplete = 0;
  size_t largest = 0;
  for (size_t i = 0; i < EpgdbRunChannelCount(); i++) {
    size_t saved = EpgdbChannelSaved(EpgdbRunChannel(i), &incomplete);
    total += (int)saved;
    largest = std::max(largest, saved);
  }
  try {
    titles.reserve(largest);
    slots.resize(largest);
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
    ok = EpgdbSaveOnce(titles, slots, total, progress, &EpgdbSaves.replaced,
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
