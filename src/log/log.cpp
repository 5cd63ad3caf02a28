/* Log files: main log and debug log with their line formats and hex dumps. */
#include "log/log.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "config/path.h"

static struct {
  FILE *main_log;
  FILE *debug_log;
  int debug;
  char debug_path[PATH_SIZE];
} Log = {nullptr, nullptr, 0, ""};

FILE *LogOpenFileSafe(const char *path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return nullptr;
  /* Only a plain regular file is a log: a FIFO or device would block or
   * swallow it (O_NONBLOCK keeps the open of a FIFO without reader from
   * hanging), and a second hard link may be another file's name. Nothing
   * is emptied before that is known. */
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    return nullptr;
  }
  /* Room for the longest line and a block of hex dump rows, so that the
   * flush after each of them is one write. */
  setvbuf(f, nullptr, _IOFBF, LOG_FILE_BUFFER_SIZE);
  return f;
}

int OpenLog(const char *path) {
  if (Log.main_log) fclose(Log.main_log);
  Log.main_log = LogOpenFileSafe(path);
  return Log.main_log ? 1 : 0;
}

void CloseLog(void) {
  if (Log.main_log) fclose(Log.main_log);
  Log.main_log = nullptr;
}

int LogSetDebugPath(const char *path) {
  /* A path that does not fit is refused, never cut: no debug log opens. */
  if (strlen(path) >= sizeof(Log.debug_path)) {
    Log.debug_path[0] = 0;
    return 0;
  }
  memcpy(Log.debug_path, path, strlen(path) + 1);
  return 1;
}

void LogSetDebug(int on) { Log.debug = on; }
int LogDebugOn(void) { return Log.debug; }

int OpenDebugLog(void) {
  if (!Log.debug) return 0;
  if (Log.debug_log) fclose(Log.debug_log);
  Log.debug_log = LogOpenFileSafe(Log.debug_path);
  return Log.debug_log ? 1 : 0;
}

void CloseDebugLog(void) {
  if (Log.debug_log) fclose(Log.debug_log);
  Log.debug_log = nullptr;
}

/* Makes sure the debug log is open while debug is on. Returns 1 when it can
 * be written, 0 when debug is off or the file cannot be created. */
static int LogDebugReady(void) {
  if (!Log.debug) return 0;
  if (!Log.debug_log) OpenDebugLog();
  return Log.debug_log ? 1 : 0;
}

static void LogDebugV(const char *format, va_list ap) {
  if (!LogDebugReady()) return;
  vfprintf(Log.debug_log, format, ap);
  fflush(Log.debug_log);
}

void WriteDebug(const char *format, ...) {
  if (!Log.debug) return;
  va_list ap;
  va_start(ap, format);
  LogDebugV(format, ap);
  va_end(ap);
}

/* True for the bytes that the main log shows as "\xNN". */
static int LogIsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

/* Writes the message "text", formatted from "format" and "args", to the main
 * log with every byte below 0x20 and 0x7F that an argument brought in as
 * "\xNN": broadcast text (channel names, titles) or a path can then neither
 * forge a log line nor send escape sequences to whoever reads the log. The
 * format's own control bytes (the line feed of "done\n") stay as they are:
 * they are found by formatting once more with each of them replaced by a
 * space, and comparing. A format too long for that has every control byte
 * escaped. */
static void LogPutMainEscaped(const char *text, const char *format, va_list args) {
  char own_format[LOG_FORMAT_SIZE];
  char own[LOG_BUFFER_SIZE];
  int compare = 0;
  size_t format_length = strlen(format);
  if (format_length < sizeof(own_format)) {
    for (size_t i = 0; i <= format_length; i++) {
      int control = format[i] != 0 && LogIsControl((unsigned char)format[i]);
      own_format[i] = control ? ' ' : format[i];
      compare |= control;
    }
  }
  if (compare) {
    vsnprintf(own, sizeof(own), own_format, args);
    own[LOG_BUFFER_SIZE - 1] = 0;
  }
  size_t length = strlen(text), run = 0;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = (unsigned char)text[i];
    if (!LogIsControl(c) || (compare && own[i] != text[i])) continue;
    fwrite(text + run, 1, i - run, Log.main_log);
    fprintf(Log.main_log, "\\x%02X", c);
    run = i + 1;
  }
  fwrite(text + run, 1, length - run, Log.main_log);
}

void WriteLog(const char *format, ...) {
  /* The timestamp waits in its own small buffer, so that each log gets the
   * whole line in one write and one flush. */
  char stamp[256];
  char buffer[LOG_BUFFER_SIZE];
  time_t now = time(nullptr);
  struct tm local;
  stamp[0] = 0;
  if (localtime_r(&now, &local)) strftime(stamp, 255, "%d/%m/%Y %H:%M:%S ", &local);

  va_list ap, again;
  va_start(ap, format);
  va_copy(again, ap);
  vsnprintf(buffer, sizeof(buffer), format, ap);
  va_end(ap);
  buffer[LOG_BUFFER_SIZE - 1] = 0;
  WriteDebug("%s%s\n", stamp, buffer);
  if (Log.main_log) {
    fputs(stamp, Log.main_log);
    LogPutMainEscaped(buffer, format, again);
    fputs("\n", Log.main_log);
    fflush(Log.main_log);
  }
  va_end(again);
}

/* Hex digits of the dump's byte column, and the longest dump row. */
static const char LOG_HEX_DIGITS[] = "0123456789ABCDEF";
static const int LOG_HEX_ROW_MAX = 76;

/* Fills "row" with the dump row of "data" ("length" bytes) at "offset":
 * offset, 16 hex entries, separator, character column, line end. Returns
 * the row's length, LOG_HEX_ROW_MAX at most; "row" is not terminated. */
static int LogHexRow(char *row, const uint8_t *data, int32_t length, int32_t offset) {
  int n = snprintf(row, 16, "%08x: ", (unsigned)offset);
  for (int32_t j = 0; j < 16; j++) {
    if (offset + j < length) {
      row[n++] = LOG_HEX_DIGITS[data[offset + j] >> 4];
      row[n++] = LOG_HEX_DIGITS[data[offset + j] & 0x0F];
    } else {
      row[n++] = ' ';
      row[n++] = ' ';
    }
    row[n++] = ' ';
  }
  row[n++] = ' ';
  for (int32_t j = 0; j < 16 && offset + j < length; j++) {
    uint8_t c = data[offset + j];
    row[n++] = (char)((c >= 0x20 && c <= 0x7E) ? c : '.');
  }
  row[n++] = '\n';
  return n;
}

void DebugHexDump(const uint8_t *data, int32_t length, const char *label) {
  if (!Log.debug) return;
  if (!LogDebugReady()) return;
  if (label) WriteDebug("%s =\n", label);
  /* Whole rows are gathered in a block and the block is written and
   * flushed once: no row is ever flushed in pieces, and every row is in
   * the file when the call returns. */
  char block[LOG_BUFFER_SIZE];
  int used = 0;
  for (int32_t offset = 0; offset < length; offset += 16) {
    if (used > LOG_BUFFER_SIZE - LOG_HEX_ROW_MAX) {
      fwrite(block, 1, (size_t)used, Log.debug_log);
      fflush(Log.debug_log);
      used = 0;
    }
    used += LogHexRow(block + used, data, length, offset);
  }
  if (used > 0) {
    fwrite(block, 1, (size_t)used, Log.debug_log);
    fflush(Log.debug_log);
  }
}
