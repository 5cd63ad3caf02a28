/* Log files: the timestamped main log "/tmp/<name>.log" and the debug log
 * "/tmp/<name>.debug.log", written only while the debug setting is on. */
#ifndef MHW2_LOG_H
#define MHW2_LOG_H

#include <stdint.h>
#include <stdio.h>

/* Size of WriteLog's one buffer: a message holds at most LOG_BUFFER_SIZE-1 characters. */
constexpr int LOG_BUFFER_SIZE = 16384;
/* Longest format (with its NUL) whose own control bytes the main log keeps. */
constexpr int LOG_FORMAT_SIZE = 1024;

/* Opens "path" as the main log ("wt" effect: created or emptied; a symbolic
 * link is never followed). Returns 1 when open, 0 when it cannot be created. */
int OpenLog(const char *path);
void CloseLog(void);
/* printf-style message with a timestamp to the main log and, while debug is
 * on, to the debug log. In the main log every byte below 0x20 and 0x7F that
 * an argument brings into the message shows as "\xNN"; those of "format"
 * itself stay as they are. */
void WriteLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Sets the debug log path (cut to 255 characters). Called by the run driver
 * before the configuration is read. */
void LogSetDebugPath(const char *path);
/* The debug setting: 0 off, non-zero on. */
void LogSetDebug(int on);
int LogDebugOn(void);
/* Opens the debug log when debug is on. Returns 1 when open, 0 otherwise. */
int OpenDebugLog(void);
void CloseDebugLog(void);
/* printf-style text to the debug log only; nothing is added. */
void WriteDebug(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Hex dump of the first "length" bytes of "data" under an optional "label". */
void DebugHexDump(const uint8_t *data, int32_t length, const char *label);

/* Opens "path" for writing as "wt" does (create or empty), but refuses to
 * follow a symbolic link, write into a FIFO or device, or leak the
 * descriptor to children. Returns the stream or null. */
FILE *LogOpenFileSafe(const char *path);

#endif
