/* Guide database library, texts: every distinct text of the run is held once
 * however many titles carry it, and stored once in the texts table. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "epgdb_internal.h"

/* A text held once for every title that carries it, in an allocation of
 * its own: a grab frees its own records as it hands titles over, and texts
 * of their size take that memory again. The header is packed into 20
 * bytes (4-byte aligned). */
struct __attribute__((packed, aligned(4))) EpgdbTextEntry {
  uint32_t refs;  /* titles that hold it */
  uint32_t size;  /* bytes, without the terminator */
  uint32_t hash;  /* low 32 bits of the FNV-1a hash of the bytes: its home slot */
  int64_t db_id;  /* its row in the texts table during a save, 0: not stored,
                     EPGDB_TEXT_ID_UNKNOWN: not looked up yet */
  char bytes[1];  /* "size" bytes and a terminator */
};

/* A text's row not looked up yet in this save. A row stored under this id
 * (only a hand edit makes one) is looked up again each time: still found. */
#define EPGDB_TEXT_ID_UNKNOWN INT64_MIN
static_assert(offsetof(EpgdbTextEntry, bytes) == 20, "a text's header takes 20 bytes");

/* The texts the run's titles hold: an open-addressing table of entries by
 * their hash (linear probing, at most three quarters full), so that a text
 * costs one pointer slot beside its entry. */
static struct {
  EpgdbTextEntry **slots; /* null: free */
  size_t slot_count;      /* a power of two, or 0 */
  size_t count;
} EpgdbTexts;

int EpgdbTextPrepare(sqlite3 *db, EpgdbTextStatements *s) {
  const char *find = "SELECT id, body FROM texts WHERE hash = ?1";
  const char *insert = "INSERT INTO texts(hash, body) VALUES(?1, ?2)";
  if (sqlite3_prepare_v2(db, find, -1, &s->find, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, insert, -1, &s->insert, nullptr) == SQLITE_OK)
    return 1;
  EpgdbLog("preparing the text statements: %s", sqlite3_errmsg(db));
  return 0;
}

void EpgdbTextFinalize(EpgdbTextStatements *s) {
  sqlite3_finalize(s->find);
  sqlite3_finalize(s->insert);
  s->find = s->insert = nullptr;
}

/* The 64-bit FNV-1a hash, as the texts table's hash column holds it. */
constexpr uint64_t EPGDB_HASH_START = 14695981039346656037ull;
constexpr uint64_t EPGDB_HASH_PRIME = 1099511628211ull;

/* The hash of "size" bytes at "bytes". */
static int64_t EpgdbTextHash(const char *bytes, size_t size) {
  uint64_t h = EPGDB_HASH_START;
  for (size_t i = 0; i < size; i++) h = (h ^ (unsigned char)bytes[i]) * EPGDB_HASH_PRIME;
  return (int64_t)h;
}

/* The same hash of the terminated "text", with its length in "*size". */
static uint64_t EpgdbTextHashTerminated(const char *text, size_t *size) {
  uint64_t h = EPGDB_HASH_START;
  const unsigned char *p = (const unsigned char *)text;
  for (; *p; p++) h = (h ^ *p) * EPGDB_HASH_PRIME;
  *size = (size_t)((const char *)p - text);
  return h;
}

/* The slot of the held text of "size" bytes at "bytes" with "hash", or of
 * the free slot where it would go. The table has room. */
static size_t EpgdbTextSlot(const char *bytes, size_t size, uint32_t hash) {
  size_t mask = EpgdbTexts.slot_count - 1, i = hash & mask;
  for (EpgdbTextEntry *e; (e = EpgdbTexts.slots[i]) != nullptr; i = (i + 1) & mask)
    if (e->hash == hash && e->size == size && memcmp(e->bytes, bytes, size) == 0) break;
  return i;
}

/* Makes room in the table for one more text. Returns 1, or 0 when memory
 * runs out (the table then stays as it was). */
static int EpgdbTextRoom(void) {
  if ((EpgdbTexts.count + 1) * 4 <= EpgdbTexts.slot_count * 3) return 1;
  size_t count = EpgdbTexts.slot_count ? EpgdbTexts.slot_count * 2 : 1024;
  EpgdbTextEntry **slots = (EpgdbTextEntry **)calloc(count, sizeof *slots);
  if (!slots) return 0;
  for (size_t i = 0; i < EpgdbTexts.slot_count; i++) {
    EpgdbTextEntry *e = EpgdbTexts.slots[i];
    if (!e) continue;
    size_t j = e->hash & (count - 1);
    while (slots[j]) j = (j + 1) & (count - 1);
    slots[j] = e;
  }
  free(EpgdbTexts.slots);
  EpgdbTexts.slots = slots;
  EpgdbTexts.slot_count = count;
  return 1;
}

/* Takes "entry" out of the table, moving later entries of its probe run
 * back so that every entry stays reachable from its home slot. */
static void EpgdbTextUnlink(const EpgdbTextEntry *entry) {
  size_t mask = EpgdbTexts.slot_count - 1, i = entry->hash & mask;
  while (EpgdbTexts.slots[i] != entry) i = (i + 1) & mask;
  for (size_t j = (i + 1) & mask; EpgdbTexts.slots[j]; j = (j + 1) & mask) {
    size_t home = EpgdbTexts.slots[j]->hash & mask;
    /* The entry at j may fill the hole at i unless its home lies in (i, j]. */
    int stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (stays) continue;
    EpgdbTexts.slots[i] = EpgdbTexts.slots[j];
    i = j;
  }
  EpgdbTexts.slots[i] = nullptr;
  EpgdbTexts.count--;
}

/* The id of the stored text of "size" bytes at "bytes" with hash "hash"
 * into "*id", 0 when none is stored. Returns 1, or 0 after logging. */
static int EpgdbTextFind(sqlite3 *db, EpgdbTextStatements *s, const char *bytes, size_t size,
                         int64_t hash, int64_t *id) {
  int rc = sqlite3_bind_int64(s->find, 1, hash);
  *id = 0;
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = sqlite3_step(s->find);
    if (rc != SQLITE_ROW) break;
    if ((size_t)sqlite3_column_bytes(s->find, 1) == size &&
        (size == 0 || memcmp(sqlite3_column_blob(s->find, 1), bytes, size) == 0)) {
      *id = sqlite3_column_int64(s->find, 0);
      break;
    }
  }
  sqlite3_reset(s->find);
  if (*id || rc == SQLITE_DONE) return 1;
  EpgdbLog("finding a text: %s (%d)", sqlite3_errmsg(db), rc);
  return 0;
}

/* Adds the text of "size" bytes at "bytes" with hash "hash" and gives its
 * id in "*id". Returns 1, or 0 after logging. */
static int EpgdbTextInsert(sqlite3 *db, EpgdbTextStatements *s, const char *bytes, size_t size,
                           int64_t hash, int64_t *id) {
  int rc = sqlite3_bind_int64(s->insert, 1, hash);
  if (rc == SQLITE_OK) rc = sqlite3_bind_blob(s->insert, 2, bytes, (int)size, SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(s->insert);
  sqlite3_reset(s->insert);
  if (rc != SQLITE_DONE) {
    EpgdbLog("adding a text: %s (%d)", sqlite3_errmsg(db), rc);
    return 0;
  }
  *id = sqlite3_last_insert_rowid(db);
  return 1;
}

int EpgdbTextId(sqlite3 *db, EpgdbTextStatements *s, const char *bytes, size_t size,
                int64_t *id) {
  /* SQLite gives an empty blob as a null pointer, which would bind as NULL. */
  if (!bytes) bytes = "";
  int64_t hash = EpgdbTextHash(bytes, size);
  if (!EpgdbTextFind(db, s, bytes, size, hash, id)) return 0;
  return *id ? 1 : EpgdbTextInsert(db, s, bytes, size, hash, id);
}

/* The entry of a held text, from the bytes a title points at. */
static EpgdbTextEntry *EpgdbTextOf(char *bytes) {
  return (EpgdbTextEntry *)(bytes - offsetof(EpgdbTextEntry, bytes));
}

void EpgdbTextRelease(char *bytes) {
  if (!bytes) return;
  EpgdbTextEntry *entry = EpgdbTextOf(bytes);
  if (--entry->refs > 0) return;
  EpgdbTextUnlink(entry);
  free(entry);
}

int EpgdbSetText(epgdb_title_t *title, uint8_t lacks, const char *text) {
  char **slot = lacks == EPGDB_LACKS_DESCRIPTION ? &title->description : &title->long_description;
  if (!text) return 0;
  size_t size;
  uint32_t hash = (uint32_t)EpgdbTextHashTerminated(text, &size);
  EpgdbTextEntry *entry = nullptr;
  /* The size fits the entry's 32 bits, and the entry's size in size_t. */
  if (size < UINT32_MAX && size < SIZE_MAX - sizeof(EpgdbTextEntry) && EpgdbTextRoom()) {
    size_t i = EpgdbTextSlot(text, size, hash);
    entry = EpgdbTexts.slots[i];
    if (!entry) {
      entry = (EpgdbTextEntry *)malloc(offsetof(EpgdbTextEntry, bytes) + size + 1);
      if (entry) {
        entry->refs = 0;
        entry->size = (uint32_t)size;
        entry->hash = hash;
        entry->db_id = EPGDB_TEXT_ID_UNKNOWN;
        memcpy(entry->bytes, text, size + 1);
        EpgdbTexts.slots[i] = entry;
        EpgdbTexts.count++;
      }
    }
  }
  if (!entry) {
    EpgdbLog("out of memory for a text of %zu bytes; its title is left out of the save", size);
    title->lib_state |= lacks;
    return 0;
  }
  entry->refs++;
  EpgdbTextRelease(*slot);
  *slot = entry->bytes;
  title->lib_state &= (uint8_t)~lacks;
  return 1;
}

void EpgdbTextForgetIds(void) {
  for (size_t i = 0; i < EpgdbTexts.slot_count; i++)
    if (EpgdbTexts.slots[i]) EpgdbTexts.slots[i]->db_id = EPGDB_TEXT_ID_UNKNOWN;
}

int EpgdbTextSaveId(sqlite3 *db, EpgdbTextStatements *ts, char *bytes, int add, int64_t *id) {
  if (!bytes) {
    if (!EpgdbTextFind(db, ts, "", 0, EpgdbTextHash("", 0), id)) return 0;
    return *id || !add ? 1 : EpgdbTextInsert(db, ts, "", 0, EpgdbTextHash("", 0), id);
  }
  EpgdbTextEntry *entry = EpgdbTextOf(bytes);
  /* Found in this save, or known to be missing from it. */
  int known = entry->db_id != EPGDB_TEXT_ID_UNKNOWN;
  if (known && (entry->db_id || !add)) {
    *id = entry->db_id;
    return 1;
  }
  int64_t hash = EpgdbTextHash(entry->bytes, entry->size);
  if (!known && !EpgdbTextFind(db, ts, entry->bytes, entry->size, hash, id)) return 0;
  if (known) *id = 0;
  if (!*id && add && !EpgdbTextInsert(db, ts, entry->bytes, entry->size, hash, id)) return 0;
  entry->db_id = *id;
  return 1;
}

void EpgdbTextClear(void) {
  for (size_t i = 0; i < EpgdbTexts.slot_count; i++) free(EpgdbTexts.slots[i]);
  free(EpgdbTexts.slots);
  EpgdbTexts = {};
}
