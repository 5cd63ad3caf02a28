/* Guide database library: placeholder until the SQLite store lands; no
 * database can be opened. This file is replaced by the real library. */
#include "epgdb.h"

int epgdb_open(const char *) { return 0; }
int epgdb_save(epgdb_progress_t) { return 0; }
int epgdb_close(void) { return 1; }
void epgdb_clean(void) {}
epgdb_channel_t *epgdb_channels_add(uint16_t, uint16_t, uint16_t) { return nullptr; }
epgdb_title_t *epgdb_title_alloc(void) { return nullptr; }
uint32_t epgdb_calculate_mjd(uint32_t t) { return t / 86400 + 40587; }
epgdb_title_t *epgdb_titles_add(epgdb_channel_t *, epgdb_title_t *) { return nullptr; }
int epgdb_titles_set_description(epgdb_title_t *, const char *) { return 0; }
int epgdb_titles_set_long_description(epgdb_title_t *, const char *) { return 0; }
