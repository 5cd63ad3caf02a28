/* Configuration: the run settings and the channel alias list, filled from
 * the configuration file "<argv[0]>.conf" by ReadConfig. */
#ifndef MHW2_CONFIG_H
#define MHW2_CONFIG_H

#include <stdint.h>

#include "config/path.h"

/* Run settings, global for the run. The debug setting lives in the log module. */
struct RunSettings {
  char demux_path[PATH_SIZE]; /* "/dev/dvb/adapter0/demux0" */
  int32_t download_7_days;           /* 1 */
  int32_t download_3_days;           /* 1 */
  int32_t convert_to_utf8;           /* 0 */
  int32_t parallel_download;         /* 1: every table collected at once */
};

/* One channel alias: events of the source triple are stored again under the
 * target triple. The list is newest first. */
struct AliasEntry {
  AliasEntry *next;
  uint32_t src_sid, src_tsid, src_nid;
  uint32_t dst_sid, dst_tsid, dst_nid;
};

/* The run settings (never null). */
RunSettings *ConfigSettings(void);
/* Restores every setting to its initial value and empties the alias list (tests). */
void ConfigReset(void);

/* The alias list, newest first, and its count. */
AliasEntry *ConfigAliasList(void);
int32_t ConfigAliasCount(void);
/* Pushes "entry" (heap, owned by the list from now on) at the head. */
void ConfigPushAlias(AliasEntry *entry);
/* Frees every alias entry; the count becomes 0. */
void ConfigFreeAliases(void);

/* Reads the configuration file at "path". Returns 0 to go on with the run,
 * 1 when auto-detection was requested and found no demux. */
int32_t ReadConfig(const char *path);
/* Trims blanks in front and blanks/control bytes at the end, in place. */
void TrimLine(char *text);
/* Stores one alias. Returns 1 when stored, 0 when memory ran out (logged). */
int AddAlias(uint32_t src_sid, uint32_t src_tsid, uint32_t src_nid,
             uint32_t dst_sid, uint32_t dst_tsid, uint32_t dst_nid);

#endif
