/* Channel table: the one section of the MHW2 channel table on PID 0x231
 * becomes the channel table of the guide store. */
#include <stdlib.h>
#include <string.h>

#include "demux/demux.h"
#include "demux/wire.h"
#include "log/log.h"
#include "mhw2/bytes.h"
#include "mhw2/mhw2.h"

static const uint16_t CHANNELS_PID = WIRE_PID_CHANNELS;
static const uint32_t CHANNELS_TIMEOUT_MS = 30000;
static const int32_t CHANNELS_COUNT_OFFSET = 120;
static const int32_t CHANNELS_ENTRY_SIZE = 8;

int32_t DownloadChannelList(void) {
  static const uint8_t filter[2] = {WIRE_TABLE_CHANNELS, 0x00};
  static const uint8_t mask[2] = {0xFF, 0xFF};
  GuideGetCounters()->channel_count = 0;
  if (!DemuxStartFilter(CHANNELS_PID, filter, mask, 2, CHANNELS_TIMEOUT_MS)) {
    WriteLog("%s() - Error calling DemuxSetFilter()", "DownloadChannelList");
    return 0;
  }
  WriteLog("Receiving channels");
  int length = DemuxGetSection();
  if (length <= 0) {
    WriteLog("ERROR: Channels not received!!");
  } else {
    WriteLog("Processing channels");
    ProcessMHW2Channels(DemuxSectionBuffer(), length);
  }
  DemuxStopFilter();
  return GuideGetCounters()->channel_count;
}

int32_t ProcessMHW2Channels(uint8_t *data, int32_t length) {
  DebugHexDump(data, length, "MHW channels section");
  GuideSetChannels(nullptr, 0);
  if (length <= CHANNELS_COUNT_OFFSET) return 0;

  int32_t count = data[CHANNELS_COUNT_OFFSET];
  int32_t names = CHANNELS_COUNT_OFFSET + 1 + CHANNELS_ENTRY_SIZE * count;
  if (names >= length) {
    WriteLog("%s() - Invalid MHW channel list (2)", "ProcessMHW2Channels");
    return 0;
  }
  /* Every name record must lie inside the section before anything is kept. */
  int32_t pos = names;
  for (int32_t k = 0; k < count; k++) {
    if (pos >= length || pos + 1 + (data[pos] & 0x0F) > length) {
      WriteLog("%s() - Invalid MHW channel list (1)", "ProcessMHW2Channels");
      return 0;
    }
    pos += 1 + (data[pos] & 0x0F);
  }
  WriteDebug("%s() - Num channels: %d\n", "ProcessMHW2Channels", count);

  /* One entry at least, so that an empty table is still a table. */
  ChannelEntry *table = (ChannelEntry *)calloc(count > 0 ? count : 1, sizeof(ChannelEntry));
  if (!table) {
    WriteLog("%s() - Error allocating memory for channel list", "ProcessMHW2Channels");
    return 0;
  }
  for (int32_t i = 0; i < count; i++) {
    const uint8_t *entry = data + CHANNELS_COUNT_OFFSET + 1 + CHANNELS_ENTRY_SIZE * i;
    table[i].nid = (uint16_t)Mhw2GetU16Unchecked(entry);
    table[i].tsid = (uint16_t)Mhw2GetU16Unchecked(entry + 2);
    table[i].sid = (uint16_t)Mhw2GetU16Unchecked(entry + 4);
    table[i].word4 = (uint16_t)Mhw2GetU16Unchecked(entry + 6);
  }
  pos = names;
  for (int32_t k = 0; k < count; k++) {
    int32_t n = data[pos] & 0x0F;
    memcpy(table[k].name, data + pos + 1, (size_t)n);
    pos += 1 + n;
    WriteLog(" MHW channel=\"%s\":%X:%X:%X", table[k].name, table[k].sid, table[k].tsid,
             table[k].nid);
  }
  WriteLog("Total received mhw channels: %d", count);
  GuideSetChannels(table, count);
  return count;
}
