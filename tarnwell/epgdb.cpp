/* Guide database library: the receiver's programme guide in one SQLite file,
 * "<root>/guide.db". A run's channels and titles are held in memory and
 * written by epgdb_save in one transaction that merges them with earlier runs:
 * a saved title replaces every stored title of its channel that it overlaps,
 * and titles that ended more than a day before the save are dropped. */
#include "epgdb_internal.h"

#include <errno.h>
#include <stddef.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "epgdb_schema.h"

/* Titles that ended this many seconds before a save are dropped by it. */
#define EPGDB_EXPIRY_SECONDS 86400
/* How many times a save that found the file busy, or memory short, is tried. */
#define EPGDB_SAVE_ATTEMPTS 3
/* Why a save attempt failed, when another attempt may succeed. */
#define EPGDB_FAILED_BUSY 1  /* another connection's lock */
#define EPGDB_FAILED_NOMEM 2 /* SQLite found no memory */
/* The save reports progress after every this many titles. */
#define EPGDB_PROGRESS_STEP 1024

/* A channel of this run with its titles, found by start time. */
struct epgdb_channel_s {
  uint16_t nid;
  uint16_t tsid;
  uint16_t sid;
  std::string name; /* broadcast name, UTF-8; "" keeps the stored one */
  std::unordered_map<uint32_t, epgdb_title_t *> titles;
};

/* Everything this run has added. */
static struct {
  std::unordered_map<uint64_t, epgdb_channel_t *> channel_index; /* by triple */
  std::vector<epgdb_channel_t *> channels;                        /* first added first */
  uint64_t next_order;
  uint64_t saves; /* number of the current save */
  int written, replaced, expired; /* counts of the last successful save */
} Epgdb;

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

/* Frees a title record and its hold on its texts. */
static void EpgdbTitleFree(epgdb_title_t *title) {
  EpgdbTextRelease(title->description);
  EpgdbTextRelease(title->long_description);
  free(title);
}

void epgdb_clean(void) {
  for (epgdb_channel_t *channel : Epgdb.channels) {
    for (auto &entry : channel->titles) EpgdbTitleFree(entry.second);
    delete channel;
  }
  /* Swapped with empty ones so that their memory goes too. */
  std::vector<epgdb_channel_t *>().swap(Epgdb.channels);
  std::unordered_map<uint64_t, epgdb_channel_t *>().swap(Epgdb.channel_index);
  EpgdbTextClear();
  Epgdb.next_order = 0;
}

epgdb_channel_t *epgdb_channels_add(uint16_t nid, uint16_t tsid, uint16_t sid) {
  uint64_t key = (uint64_t)nid << 32 | (uint64_t)tsid << 16 | sid;
  auto found = Epgdb.channel_index.find(key);
  if (found != Epgdb.channel_index.end()) return found->second;
  epgdb_channel_t *channel = new (std::nothrow) epgdb_channel_t;
  if (!channel) {
    EpgdbLog("out of memory for channel %u:%u:%u", nid, tsid, sid);
    return nullptr;
  }
  channel->nid = nid;
  channel->tsid = tsid;
  channel->sid = sid;
  try {
    Epgdb.channels.push_back(channel);
    try {
      Epgdb.channel_index.emplace(key, channel);
    } catch (const std::bad_alloc &) {
      Epgdb.channels.pop_back();
      throw;
    }
  } catch (const std::bad_alloc &) {
    EpgdbLog("out of memory for channel %u:%u:%u", nid, tsid, sid);
    delete channel;
    return nullptr;
  }
  return channel;
}

int epgdb_channels_set_name(epgdb_channel_t *channel, const char *name) {
  if (!channel || !name) return 0;
  if (channel->name == name) return 1;
  try {
    channel->name = name;
  } catch (const std::bad_alloc &) {
    EpgdbLog("out of memory for the name of channel %u:%u:%u", channel->nid, channel->tsid,
             channel->sid);
    return 0;
  }
  return 1;
}

epgdb_title_t *epgdb_title_alloc(void) {
  epgdb_title_t *title = (epgdb_title_t *)calloc(1, sizeof(epgdb_title_t));
  if (!title) EpgdbLog("out of memory for a title");
  return title;
}

uint32_t epgdb_calculate_mjd(uint32_t start_time) { return start_time / 86400 + 40587; }

epgdb_title_t *epgdb_titles_add(epgdb_channel_t *channel, epgdb_title_t *title) {
  if (!channel || !title) return nullptr;
  uint64_t order = ++Epgdb.next_order;
  auto found = channel->titles.find(title->start_time);
  if (found == channel->titles.end()) {
    try {
      channel->titles.emplace(title->start_time, title);
    } catch (const std::bad_alloc &) {
      EpgdbLog("out of memory for a title of channel %u:%u:%u", channel->nid, channel->tsid,
               channel->sid);
      EpgdbTitleFree(title);
      return nullptr;
    }
    title->lib_order = order;
    return title;
  }
  epgdb_title_t *held = found->second;
  if (held == title) {
    held->lib_order = order;
    return held;
  }
  held->event_id = title->event_id;
  held->mjd = title->mjd;
  held->length = title->length;
  held->flags = title->flags;
  memcpy(held->language, title->language, sizeof held->language);
  held->lib_order = order;
  /* Texts set on the new record before it was added are taken over, with
   * the marks of texts that found no memory. */
  for (uint8_t lacks : {EPGDB_LACKS_DESCRIPTION, EPGDB_LACKS_LONG_DESCRIPTION}) {
    char **from = lacks == EPGDB_LACKS_DESCRIPTION ? &title->description : &title->long_description;
    char **to = lacks == EPGDB_LACKS_DESCRIPTION ? &held->description : &held->long_description;
    if (!*from && !(title->lib_state & lacks)) continue;
    std::swap(*to, *from);
    held->lib_state = (uint8_t)((held->lib_state & ~lacks) | (title->lib_state & lacks));
  }
  EpgdbTitleFree(title);
  return held;
}

int epgdb_titles_set_description(epgdb_title_t *title, const char *text) {
  return title ? EpgdbSetText(title, EPGDB_LACKS_DESCRIPTION, text) : 0;
}

int epgdb_titles_set_long_description(epgdb_title_t *title, const char *text) {
  return title ? EpgdbSetText(title, EPGDB_LACKS_LONG_DESCRIPTION, text) : 0;
}

/* The length a title occupies when titles are compared for overlap: its
 * length, and at least one second, so that a title of length 0 still holds
 * its start. */
static int64_t EpgdbSpan(const epgdb_title_t *title) {
  return title->length > 0 ? title->length : 1;
}

/* The titles of "channel" that this run saves, in start order. Titles of
 * one run never replace each other: only the same start time does, when the
 * title is added (epgdb_titles_add). A title whose text found no memory is
 * left out (counted in "*incomplete"). Appends them to "out". */
static void EpgdbChannelTitles(const epgdb_channel_t *channel, std::vector<epgdb_title_t *> &out,
                               int *incomplete) {
  size_t first = out.size();
  for (const auto &entry : channel->titles) {
    if (entry.second->lib_state & EPGDB_LACKS_TEXT) (*incomplete)++;
    else out.push_back(entry.second);
  }
  std::sort(out.begin() + first, out.end(), [](const epgdb_title_t *a, const epgdb_title_t *b) {
    return a->start_time < b->start_time;
  });
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
    ok = EpgdbTextSaveId(db, &s->texts, t->description, Epgdb.saves, &ids[i].first) &&
         EpgdbTextSaveId(db, &s->texts, t->long_description, Epgdb.saves, &ids[i].second);
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
  Epgdb.saves++; /* text ids remembered by an earlier attempt are void */
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
  for (size_t i = 0; ok && i < Epgdb.channels.size(); i++) {
    if (per_channel[i].empty()) continue;
    ok = EpgdbSaveChannel(&s, Epgdb.channels[i], per_channel[i], ids, max_length, progress, done,
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
    per_channel.resize(Epgdb.channels.size());
    size_t largest = 0;
    for (size_t i = 0; i < Epgdb.channels.size(); i++) {
      EpgdbChannelTitles(Epgdb.channels[i], per_channel[i], &incomplete);
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
    ok = EpgdbSaveOnce(per_channel, ids, total, progress, &Epgdb.replaced, &Epgdb.expired, &done,
                       &failed);
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
  Epgdb.written = done;
  if (incomplete)
    EpgdbNote("%d titles left out of the save: a text of theirs found no memory", incomplete);
  if (progress && done % EPGDB_PROGRESS_STEP != 0) progress(done, total);
  return 1;
}

void epgdb_save_counts(int *written, int *replaced, int *expired) {
  if (written) *written = Epgdb.written;
  if (replaced) *replaced = Epgdb.replaced;
  if (expired) *expired = Epgdb.expired;
}
