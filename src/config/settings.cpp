/* Run settings and the channel alias list. */
#include "config/config.h"

#include <stdlib.h>
#include <string.h>

static const char CONFIG_DEFAULT_DEMUX[] = "/dev/dvb/adapter0/demux0";

static struct {
  RunSettings settings;
  AliasEntry *aliases;
  int32_t alias_count;
} Config = {{"/dev/dvb/adapter0/demux0", 1, 1, 0, 1}, nullptr, 0};

RunSettings *ConfigSettings(void) { return &Config.settings; }

void ConfigReset(void) {
  ConfigFreeAliases();
  memset(&Config.settings, 0, sizeof(Config.settings));
  strcpy(Config.settings.demux_path, CONFIG_DEFAULT_DEMUX);
  Config.settings.download_7_days = 1;
  Config.settings.download_3_days = 1;
  Config.settings.convert_to_utf8 = 0;
  Config.settings.parallel_download = 1;
}

AliasEntry *ConfigAliasList(void) { return Config.aliases; }
int32_t ConfigAliasCount(void) { return Config.alias_count; }

void ConfigPushAlias(AliasEntry *entry) {
  entry->next = Config.aliases;
  Config.aliases = entry;
  Config.alias_count++;
}

void ConfigFreeAliases(void) {
  while (Config.aliases) {
    AliasEntry *next = Config.aliases->next;
    free(Config.aliases);
    Config.aliases = next;
  }
  Config.alias_count = 0;
}
