/* Temporary link placeholders until the demux module lands: every device
 * is reported missing. This file is deleted when src/demux is built. */
#include "demux/demux.h"
#include "log/log.h"

static uint8_t PendingSectionBuffer[DEMUX_BUFFER_SIZE];
int DemuxInit(const char *path) {
  WriteLog("%s() - Error opening demux (%s)", "DemuxInit", path);
  return 0;
}
int DemuxClose(void) { return 1; }
int DemuxStartFilter(uint16_t, const uint8_t *, const uint8_t *, int, uint32_t) { return 0; }
int DemuxGetSection(void) { return 0; }
int DemuxStopFilter(void) { return 0; }
uint8_t *DemuxSectionBuffer(void) { return PendingSectionBuffer; }
int DemuxGetAllSections(uint16_t, const uint8_t *, const uint8_t *, int) { return -1; }
RawSection *DemuxSectionList(void) { return nullptr; }
void FreeSectionList(void) {}
int DemuxAutoDetect(char *) { return 0; }
