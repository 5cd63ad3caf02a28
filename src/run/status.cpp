/* Frontend status lines and the activity spinner. */
#include "run/status.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "log/log.h"

static uint32_t StatusRealClock(void) {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0xFFFFFFFFu;
  double ms = (double)ts.tv_sec * 1000.0 + (double)ts.tv_nsec / 1000000.0;
  /* Truncate toward zero, then wrap modulo 2^32. */
  unsigned long long whole = (unsigned long long)ms;
  return (uint32_t)(whole & 0xFFFFFFFFull);
}

static struct {
  uint32_t (*clock)(void);
  const char *activity;
  uint32_t last_tick;
  int index;
  int undelivered; /* a status line could not be written (logged once) */
} Status = {StatusRealClock, nullptr, 0, 0, 0};

static const char STATUS_SPINNER[] = "|/-\\";

uint32_t GetTickMs(void) { return Status.clock(); }

void StatusSetClock(uint32_t (*clock)(void)) { Status.clock = clock ? clock : StatusRealClock; }

void StatusSend(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int written = vprintf(format, ap);
  va_end(ap);
  /* A frontend that has gone (its end of the pipe closed) must not end the
   * run: the line is lost, the run goes on, and the main log says so once. */
  if (fflush(stdout) != 0 || written < 0) {
    if (!Status.undelivered)
      WriteLog("Status lines could not be delivered to the frontend (%s). Going on without them",
               strerror(errno));
    Status.undelivered = 1;
    clearerr(stdout);
  }
}

void StatusSetActivity(const char *text) { Status.activity = text; }

void ShowSpinner(void) {
  if (!Status.activity) return;
  uint32_t now = GetTickMs();
  if ((uint32_t)(now - Status.last_tick) <= 1000) return;
  Status.last_tick = now;
  StatusSend("LOGTEXT %s (%c)\n", Status.activity, STATUS_SPINNER[Status.index]);
  Status.index = (Status.index + 1) % 4;
}

void StatusReset(void) {
  Status.activity = nullptr;
  Status.last_tick = 0;
  Status.index = 0;
  Status.undelivered = 0;
}
