/* Guide database library, messages: every line goes to standard error after
 * "epgdb: ", and the first line of a failing call is kept as its reason. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "epgdb_internal.h"

static struct {
  char error[512]; /* the first line logged since the call began, its reason */
} EpgdbLogs;

void EpgdbLog(const char *format, ...) {
  char line[sizeof EpgdbLogs.error];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fprintf(stderr, "epgdb: %s\n", line);
  /* The first line of a failing call is its reason; later ones follow from it. */
  if (!EpgdbLogs.error[0]) memcpy(EpgdbLogs.error, line, sizeof line);
}

void EpgdbNote(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("epgdb: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}

void EpgdbLogAdvice(const char *advice) {
  size_t n = strlen(EpgdbLogs.error);
  if (n > 0) snprintf(EpgdbLogs.error + n, sizeof EpgdbLogs.error - n, "; %s", advice);
}

void EpgdbLogClear(void) { EpgdbLogs.error[0] = 0; }

const char *epgdb_error(void) { return EpgdbLogs.error; }
