/* Configuration file reader: sets the run settings and the alias list from
 * "<argv[0]>.conf" and asks for demux auto-detection when the demux is "auto". */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/config.h"
#include "demux/demux.h"
#include "log/log.h"

constexpr int CONFIG_LINE_SIZE = 1024;

void TrimLine(char *text) {
  char *start = text;
  while (*start == ' ' || *start == '\t') start++;
  size_t length = strlen(start);
  /* Every byte below 0x21 taken as signed goes from the end: control
   * characters, line ends, blanks and the bytes 0x80 to 0xFF. */
  while (length > 0 && (signed char)start[length - 1] < 0x21) start[--length] = 0;
  if (start != text) memmove(text, start, length + 1);
}

int AddAlias(uint32_t src_sid, uint32_t src_tsid, uint32_t src_nid, uint32_t dst_sid,
             uint32_t dst_tsid, uint32_t dst_nid) {
  AliasEntry *entry = (AliasEntry *)calloc(1, sizeof(AliasEntry));
  if (!entry) {
    WriteLog("Not enough memory for storing configuration file alias list");
    return 0;
  }
  entry->src_sid = src_sid;
  entry->src_tsid = src_tsid;
  entry->src_nid = src_nid;
  entry->dst_sid = dst_sid;
  entry->dst_tsid = dst_tsid;
  entry->dst_nid = dst_nid;
  WriteDebug("[config] alias: %X:%X:%X -> %X:%X:%X\n", src_sid, src_tsid, src_nid, dst_sid,
             dst_tsid, dst_nid);
  ConfigPushAlias(entry);
  return 1;
}

/* Reads a 0/1 flag value as "%d" reads a number: blanks, a sign, decimal
 * digits; anything after the digits is ignored. Returns 1 and sets "flag"
 * when the number is 0 or 1, 0 otherwise (the caller logs). A number that
 * does not fit 32 bits is refused, never taken by its low bits. */
static int ConfigReadFlag(const char *value, int32_t *flag) {
  char *end;
  errno = 0;
  long long number = strtoll(value, &end, 10);
  if (end == value || errno == ERANGE || (number != 0 && number != 1)) return 0;
  *flag = (int32_t)number;
  return 1;
}

/* Reads one hexadecimal number at "*text" as "%X" does (blanks, a sign, an
 * optional 0x, hex digits) and moves "*text" past it. Returns 1, or 0 when
 * there is none or it does not fit an unsigned 32-bit value (a negative one
 * but 0 never does). */
static int ConfigReadHex(const char **text, uint32_t *number) {
  char *end;
  errno = 0;
  unsigned long long v = strtoull(*text, &end, 16);
  if (end == *text || errno == ERANGE || v > 0xFFFFFFFFull) return 0;
  *number = (uint32_t)v;
  *text = end;
  return 1;
}

/* Reads an alias value "S:T:N,S:T:N", six hexadecimal numbers separated by
 * exactly ':', ':', ',', ':', ':'; anything after the sixth is ignored.
 * Returns 1 with the numbers in "v", 0 when the value is malformed. */
static int ConfigReadAlias(const char *value, uint32_t v[6]) {
  static const char CONFIG_ALIAS_SEPARATORS[] = "::,::";
  const char *p = value;
  for (int k = 0; k < 6; k++) {
    if (!ConfigReadHex(&p, &v[k])) return 0;
    if (k == 5) break;
    if (*p != CONFIG_ALIAS_SEPARATORS[k]) return 0;
    p++;
  }
  return 1;
}

/* Applies one "key=value" line. "auto_detect" is the auto-detection request. */
static void ConfigApply(const char *key, const char *value, int line, int *auto_detect) {
  RunSettings *settings = ConfigSettings();
  int32_t flag = 0;
  if (strcmp(key, "debug") == 0) {
    if (!ConfigReadFlag(value, &flag)) {
      WriteLog("Error in config file, line %d. Using default value", line);
    } else if (flag == 1) {
      LogSetDebug(1);
      WriteLog("Enabling FULL debug log");
    }
  } else if (strcmp(key, "demux") == 0) {
    if (strcmp(value, "auto") == 0) {
      *auto_detect = 1;
    } else if (strlen(value) >= sizeof(settings->demux_path)) {
      /* The demux path holds 255 characters; a longer one is never cut. */
      WriteLog("Error in config file line %d. Demux path longer than %d characters. Ignoring line!!!!!",
               line, (int)sizeof(settings->demux_path) - 1);
    } else {
      strcpy(settings->demux_path, value);
      *auto_detect = 0;
      WriteLog("Changing demux to: %s", settings->demux_path);
    }
  } else if (strcmp(key, "alias") == 0) {
    uint32_t v[6];
    if (ConfigReadAlias(value, v))
      AddAlias(v[0], v[1], v[2], v[3], v[4], v[5]);
    else
      WriteLog("Error in config file alias data. line %d. Ignoring line!!!!!", line);
  } else if (strcmp(key, "Download_7_Days") == 0) {
    if (!ConfigReadFlag(value, &settings->download_7_days))
      WriteLog("Error in config file, line %d. Using default value", line);
  } else if (strcmp(key, "Download_3_Days") == 0) {
    if (!ConfigReadFlag(value, &settings->download_3_days))
      WriteLog("Error in config file, line %d. Using default value", line);
  } else if (strcmp(key, "ConvertToUTF8") == 0) {
    if (!ConfigReadFlag(value, &settings->convert_to_utf8))
      WriteLog("Error in config file, line %d. Using default value", line);
    else if (settings->convert_to_utf8 == 1)
      WriteLog("Text will be converted to UTF-8");
  } else if (strcmp(key, "ParallelDownload") == 0) {
    if (!ConfigReadFlag(value, &settings->parallel_download))
      WriteLog("Error in config file, line %d. Using default value", line);
  } else {
    WriteLog("Error in config file. Unknown line %d. Ignoring!!!!!", line);
  }
}

/* What a file of mode "mode" is, for the message about a configuration
 * path that is not a regular file. */
static const char *ConfigFileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

/* Opens the configuration file at "path" for reading, only when it is a
 * regular file: a FIFO would block the run for ever (it is opened without
 * waiting for a writer), a directory or device is no configuration. Returns
 * the stream, or null after logging why. */
static FILE *ConfigOpen(const char *path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    WriteLog("Error opening config file: %s", path);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    WriteLog("Error opening config file: %s", path);
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    WriteLog("Config file is not a regular file (%s): %s", ConfigFileKind(st.st_mode), path);
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *file = fdopen(fd, "r");
  if (!file) {
    WriteLog("Error opening config file: %s", path);
    close(fd);
  }
  return file;
}

int32_t ReadConfig(const char *path) {
  ConfigFreeAliases();
  int auto_detect = 1;
  WriteLog("Config file: %s", path);
  FILE *file = ConfigOpen(path);
  if (!file) {
    WriteLog("Using default config values");
    return 0;
  }
  char line[CONFIG_LINE_SIZE];
  int32_t number = 0;
  /* Each read takes at most 1023 characters: a longer physical line comes
   * in pieces, and each piece counts as a line of its own. */
  while (fgets(line, sizeof(line), file)) {
    number++;
    TrimLine(line);
    if (line[0] == 0 || line[0] == '#') continue;
    char *equals = strchr(line, '=');
    if (!equals) {
      WriteLog("Error in config file line %d. Ignoring line!!!!!", number);
      continue;
    }
    *equals = 0;
    char *value = equals + 1;
    TrimLine(line);
    TrimLine(value);
    ConfigApply(line, value, number, &auto_detect);
  }
  fclose(file);
  if (ConfigAliasList()) WriteLog("%d alias readed from config file", ConfigAliasCount());
  if (!auto_detect) return 0;
  char *demux_path = ConfigSettings()->demux_path;
  if (DemuxAutoDetect(demux_path)) {
    WriteLog("Detected demux: %s", demux_path);
    return 0;
  }
  WriteLog("Error detecting demux. Try to enter manually");
  return 1;
}
