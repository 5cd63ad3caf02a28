/* The receiver's guide database library as the grabber may count on it:
 * exactly the ten calls, each one recorded as a line of the file named by
 * CONTRACTLIB_CALLS ("<call> <arguments>"), with plausible results. Titles
 * and texts are kept in memory until epgdb_clean; nothing is written. */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "epgdb.h"

struct epgdb_channel_s {
  uint16_t nid, tsid, sid;
  epgdb_channel_s *next;
};

namespace {

/* A title handed over, with its texts. */
struct ContractTitle {
  epgdb_title_t *record;
  char *description, *long_description;
  ContractTitle *next;
};

struct {
  epgdb_channel_s *channels;
  ContractTitle *titles;
  FILE *calls; /* the record of calls, opened at the first call */
} Contract;

/* Appends one line to the record of calls; "flush" writes it out at once. */
void ContractRecord(int flush, const char *format, ...) __attribute__((format(printf, 2, 3)));
void ContractRecord(int flush, const char *format, ...) {
  if (!Contract.calls) {
    const char *path = getenv("CONTRACTLIB_CALLS");
    if (!path || !path[0] || !(Contract.calls = fopen(path, "a"))) return;
  }
  va_list args;
  va_start(args, format);
  vfprintf(Contract.calls, format, args);
  va_end(args);
  fputc('\n', Contract.calls);
  if (flush) fflush(Contract.calls);
}

ContractTitle *ContractFind(const epgdb_title_t *record) {
  for (ContractTitle *t = Contract.titles; t; t = t->next)
    if (t->record == record) return t;
  return nullptr;
}

/* Keeps a copy of "text" in "*slot". Returns 1, or 0 for a null argument. */
int ContractSetText(char **slot, const char *text) {
  if (!slot || !text) return 0;
  free(*slot);
  *slot = strdup(text);
  return *slot != nullptr;
}

}  // namespace

/* A root that is a directory, or that can be made as one, opens. */
extern "C" int epgdb_open(const char *root) {
  struct stat st;
  int ok = root && (mkdir(root, 0755) == 0 || (errno == EEXIST && stat(root, &st) == 0 && S_ISDIR(st.st_mode)));
  ContractRecord(1, "epgdb_open %s %d", root ? root : "(null)", ok);
  return ok;
}

extern "C" int epgdb_save(epgdb_progress_t progress) {
  int titles = 0;
  for (ContractTitle *t = Contract.titles; t; t = t->next) titles++;
  ContractRecord(1, "epgdb_save %s %d", progress ? "progress" : "0", titles);
  return 1;
}

extern "C" int epgdb_close(void) {
  ContractRecord(1, "epgdb_close");
  return 1;
}

extern "C" void epgdb_clean(void) {
  ContractRecord(1, "epgdb_clean");
  if (Contract.calls) fclose(Contract.calls);
  Contract.calls = nullptr;
  while (Contract.titles) {
    ContractTitle *t = Contract.titles;
    Contract.titles = t->next;
    free(t->record);
    free(t->description);
    free(t->long_description);
    free(t);
  }
  while (Contract.channels) {
    epgdb_channel_s *c = Contract.channels;
    Contract.channels = c->next;
    free(c);
  }
}

/* The same handle for the same triple. */
extern "C" epgdb_channel_t *epgdb_channels_add(uint16_t nid, uint16_t tsid, uint16_t sid) {
  ContractRecord(0, "epgdb_channels_add %04X:%04X:%04X", nid, tsid, sid);
  for (epgdb_channel_s *c = Contract.channels; c; c = c->next)
    if (c->nid == nid && c->tsid == tsid && c->sid == sid) return c;
  epgdb_channel_s *c = (epgdb_channel_s *)calloc(1, sizeof(epgdb_channel_s));
  if (!c) return nullptr;
  *c = {nid, tsid, sid, Contract.channels};
  Contract.channels = c;
  return c;
}

/* A zero-filled record as large as the library's title record. */
extern "C" epgdb_title_t *epgdb_title_alloc(void) {
  ContractRecord(0, "epgdb_title_alloc");
  return (epgdb_title_t *)calloc(1, sizeof(epgdb_title_t));
}

extern "C" uint32_t epgdb_calculate_mjd(uint32_t start_time) {
  ContractRecord(0, "epgdb_calculate_mjd %u", start_time);
  return start_time / 86400u + 40587u;
}

/* Takes the record over; the line shows the channel and the filled fields. */
extern "C" epgdb_title_t *epgdb_titles_add(epgdb_channel_t *channel, epgdb_title_t *title) {
  if (!channel || !title) {
    ContractRecord(0, "epgdb_titles_add (null)");
    return nullptr;
  }
  ContractRecord(0, "epgdb_titles_add %04X:%04X:%04X %u %u %u %u %u %.3s", channel->nid, channel->tsid,
                 channel->sid, title->start_time, title->length, title->event_id, title->mjd,
                 title->flags, title->language);
  ContractTitle *t = (ContractTitle *)calloc(1, sizeof(ContractTitle));
  if (!t) return nullptr;
  t->record = title;
  t->next = Contract.titles;
  Contract.titles = t;
  return title;
}

extern "C" int epgdb_titles_set_description(epgdb_title_t *title, const char *text) {
  ContractRecord(0, "epgdb_titles_set_description");
  ContractTitle *t = ContractFind(title);
  return ContractSetText(t ? &t->description : nullptr, text);
}

extern "C" int epgdb_titles_set_long_description(epgdb_title_t *title, const char *text) {
  ContractRecord(0, "epgdb_titles_set_long_description");
  ContractTitle *t = ContractFind(title);
  return ContractSetText(t ? &t->long_description : nullptr, text);
}
