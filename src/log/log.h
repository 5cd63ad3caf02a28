/* Log files: the timestamped main log "/tmp/<name>.log" and the debug log
 * "/tmp/<name>.debug.log", written only while the debug setting is on. */
#ifndef MHW2_LOG_H
#define MHW2_LOG_H

#include <stdint.h>
#include <stdio.h>

/* Size of WriteLog's one buffer: a message holds at most LOG_BUFFER_SIZE-1 characters. */
constexpr int LOG_BUFFER_SIZE = 16384;
/* Stream buffer of each log file: a whole log line or block of hex dump
 * rows, so that each flush is one write. */
constexpr int LOG_FILE_BUFFER_SIZE = 4 * LOG_BUFFER_SIZE;
/* Longest format (with its NUL) whose own control bytes the main log keeps. */
constexpr int LOG_FORMAT_SIZE = 1024;

/* Opens "path" as the main log ("wt" effect: created or emptied) through
 * LogOpenFileSafe. Returns 1 when open; 0 when it cannot be created or is
 * refused (a symbolic link, FIFO, directory or device at the path, or a file
 * with a second hard link): the run then goes on without a main log. */
int OpenLog(const char *path);
void CloseLog(void);
/* printf-style message with a timestamp to the main log and, while debug is
 * on, to the debug log. In the main log every byte below 0x20 and 0x7F that
 * an argument brings into the message shows as "\xNN"; those of "format"
 * itself stay as they are. */
void WriteLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Sets the debug log path. Returns 1, or 0 when "path" does not fit its
 * PATH_SIZE buffer: it is refused, never cut, and no debug log opens. Called
 * by the run driver before the configuration is read. */
int LogSetDebugPath(const char *path);
/* The debug setting: 0 off, non-zero on. */
void LogSetDebug(int on);
int LogDebugOn(void);
/* Opens the debug log when debug is on. Returns 1 when open, 0 otherwise. */
int OpenDebugLog(void);
void CloseDebugLog(void);
/* Every writer below and WriteLog flush what they wrote before they
 * return, in one write per call (per block of rows for a hex dump) when it
 * holds at most LOG_FILE_BUFFER_SIZE bytes, as every line of the program
 * does: a line never reaches a file in pieces. */
/* printf-style text to the debug log only; nothing is added. */
void WriteDebug(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Hex dump of the first "length" bytes of "data" under an optional "label". */
void DebugHexDump(const uint8_t *data, int32_t length, const char *label);

/* Opens "path" for writing as "wt" does (create or empty), but refuses to
 * follow a symbolic link, open anything but a regular file (a FIFO,
 * directory or device), or take a file with a second hard link (one planted
 * at the predictable /tmp path); nothing is emptied before those checks,
 * and the descriptor is not inherited by children. Returns the stream, or
 * null when refused or not openable. */
FILE *LogOpenFileSafe(const char *path);

#endif
