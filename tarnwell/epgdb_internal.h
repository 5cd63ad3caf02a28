/* Guide database library, private to it: what its files share and the calls
 * between its modules. Never included outside this folder. */
#ifndef EPGDB_INTERNAL_H
#define EPGDB_INTERNAL_H

#include "epgdb.h"

/* Messages (epgdb_log.cpp). */

/* Writes one "epgdb: " line to standard error (the library has no log of its
 * own) and keeps it as the reason that epgdb_error() gives. */
void EpgdbLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Writes one "epgdb: " line to standard error that is news, not a failure. */
void EpgdbNote(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Forgets the reason of the last failure: a public call that can fail
 * starts with it, so that the first line it logs is its reason. */
void EpgdbLogClear(void);

#endif
