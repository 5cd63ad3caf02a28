/* Frontend status lines on standard output (banner, LOGTEXT, PROGRESS) and
 * the activity spinner, plus the monotonic millisecond clock GetTickMs. */
#ifndef MHW2_STATUS_H
#define MHW2_STATUS_H

#include <stdint.h>

/* Monotonic clock in milliseconds, wrapping modulo 2^32; 0xFFFFFFFF when the
 * clock cannot be read. Compare only differences of two readings. */
uint32_t GetTickMs(void);
/* Replaces the clock behind GetTickMs (tests); null restores the real one. */
void StatusSetClock(uint32_t (*clock)(void));

/* printf-style status line to standard output, flushed at once. A line that
 * cannot be written is lost; the first such loss is logged. */
void StatusSend(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Sets the activity text the spinner shows (a constant text), or null to stop it. */
void StatusSetActivity(const char *text);
/* Sends one activity line "LOGTEXT <text> (<c>)" when an activity text is set
 * and more than 1000 ms passed since the last one. */
void ShowSpinner(void);
/* Back to the state at program start (tests). */
void StatusReset(void);

#endif
