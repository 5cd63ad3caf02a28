/* Temporary link placeholder until the configuration reader lands: no
 * configuration file is read. This file is deleted when it is built. */
#include "config/config.h"
#include "log/log.h"

int32_t ReadConfig(const char *path) {
  WriteLog("Config file: %s", path);
  return 0;
}
