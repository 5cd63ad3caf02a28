/* Temporary link placeholders until the MHW2 decoders and export land: no
 * channel table is ever obtained. This file is deleted when they are built. */
#include "config/config.h"
#include "export/export.h"
#include "mhw2/mhw2.h"

static GuideCounters PendingCounters;
GuideCounters *StoreCounters(void) { return &PendingCounters; }
EventRecord *StoreEventList(void) { return nullptr; }
void FreeGuide(void) { ConfigFreeAliases(); }
int32_t DownloadChannelList(void) { return 0; }
int32_t DownloadEvents3days(void) { return 0; }
int32_t DownloadEvents7days(void) { return 0; }
int32_t DownloadSummaries3days(void) { return 0; }
int32_t DownloadSummaries7days(void) { return 0; }
int StoreEventWithAliases(const EventRecord *, const char *, const char *) { return 1; }
