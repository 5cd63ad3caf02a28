/* Guide store tables: the open-addressing hash table behind the store's
 * channel+start and summary id indexes, for any entry type with a key. */
#ifndef MHW2_STORE_TABLE_H
#define MHW2_STORE_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include <new>
#include <vector>

/* Each entry type has GuideEntryKey(const Entry &), its key or STORE_NO_KEY
 * for an empty slot, and GuideEntrySetKey(Entry *, key), declared beside the
 * entry type; the tables find them by the entry's type.
 *
 * Open-addressing hash table from a 64-bit key to an entry: the
 * channel+start index and the summary id index, each at most three
 * quarters full. A summary id that no record carries any more (a 7-day
 * merge moved its last one) is removed, so the index holds only the ids
 * the records have. */
template <typename Entry>
struct GuideTable {
  std::vector<Entry> slots; /* key and value side by side: one cache line a probe */
  size_t used;
};

static const uint64_t STORE_NO_KEY = ~0ull; /* no channel+start or summary id is this */

static size_t GuideHash(uint64_t key, size_t mask) {
  key ^= key >> 33;
  key *= 0xFF51AFD7ED558CCDull;
  key ^= key >> 33;
  key *= 0xC4CEB9FE1A85EC53ull;
  key ^= key >> 33;
  return (size_t)key & mask;
}

/* The entry of "key", or null when the key is not in "table". */
template <typename Entry>
static Entry *GuideTableFind(GuideTable<Entry> *table, uint64_t key) {
  if (table->slots.empty()) return nullptr;
  size_t mask = table->slots.size() - 1;
  for (size_t i = GuideHash(key, mask);; i = (i + 1) & mask) {
    uint64_t at = GuideEntryKey(table->slots[i]);
    if (at == key) return &table->slots[i];
    if (at == STORE_NO_KEY) return nullptr;
  }
}

/* Places "key" in a table known to have room; its entry, zero-filled
 * behind the key when new. */
template <typename Entry>
static Entry *GuideTablePlaceUnchecked(GuideTable<Entry> *table, uint64_t key) {
  size_t mask = table->slots.size() - 1;
  size_t i = GuideHash(key, mask);
  for (uint64_t at; (at = GuideEntryKey(table->slots[i])) != STORE_NO_KEY && at != key;)
    i = (i + 1) & mask;
  if (GuideEntryKey(table->slots[i]) == STORE_NO_KEY) {
    table->slots[i] = Entry{};
    GuideEntrySetKey(&table->slots[i], key);
    table->used++;
  }
  return &table->slots[i];
}

/* Makes room for "keys" keys in all at three quarters load at most,
 * doubling the table as often as needed; entry pointers taken before are
 * invalid afterwards. Returns 1, or 0 when memory ran out (the table is then
 * unchanged). Container growth reports exhaustion by throwing; it becomes
 * the store's 0 result here. */
template <typename Entry>
static int GuideTableReserve(GuideTable<Entry> *table, size_t keys) {
  if (keys * 4 <= table->slots.size() * 3) return 1;
  GuideTable<Entry> grown;
  try {
    size_t size = table->slots.empty() ? 1024 : table->slots.size() * 2;
    while (keys * 4 > size * 3) size *= 2;
    Entry empty{};
    GuideEntrySetKey(&empty, STORE_NO_KEY);
    grown.slots.assign(size, empty);
  } catch (const std::bad_alloc &) {
    return 0;
  }
  grown.used = 0;
  for (const Entry &entry : table->slots)
    if (GuideEntryKey(entry) != STORE_NO_KEY)
      *GuideTablePlaceUnchecked(&grown, GuideEntryKey(entry)) = entry;
  table->slots.swap(grown.slots);
  table->used = grown.used;
  return 1;
}

/* Takes "key", which "table" holds, out of it; the entries behind it in its
 * probe run move up (no tombstones). Takes no memory; entry pointers taken
 * before are invalid afterwards. */
template <typename Entry>
static void GuideTableRemoveUnchecked(GuideTable<Entry> *table, uint64_t key) {
  size_t mask = table->slots.size() - 1;
  size_t hole = GuideHash(key, mask);
  while (GuideEntryKey(table->slots[hole]) != key) hole = (hole + 1) & mask;
  for (size_t j = (hole + 1) & mask; GuideEntryKey(table->slots[j]) != STORE_NO_KEY;
       j = (j + 1) & mask) {
    /* An entry may fill the hole when the hole lies between its home slot
     * and where it sits. */
    size_t home = GuideHash(GuideEntryKey(table->slots[j]), mask);
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      table->slots[hole] = table->slots[j];
      hole = j;
    }
  }
  table->slots[hole] = Entry{};
  GuideEntrySetKey(&table->slots[hole], STORE_NO_KEY);
  table->used--;
}

template <typename Entry>
static void GuideTableFree(GuideTable<Entry> *table) {
  std::vector<Entry>().swap(table->slots);
  table->used = 0;
}

#endif
