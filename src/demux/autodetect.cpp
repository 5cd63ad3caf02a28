/* Demux auto-detection: finds the demux of adapter 0 on which the PAT and
 * then the MHW2 channel table arrive. */
#include <stdio.h>

#include "demux/demux.h"
#include "demux/wire.h"

constexpr int AUTODETECT_DEVICES = 16;

/* A read passes when it delivered exactly one whole section: the 3 header
 * bytes and the section_length bytes its header announces. */
static int AutoDetectWholeSection(int n) {
  const uint8_t *section = DemuxSectionBuffer();
  return n > 0 && n == WireSectionTotal(section);
}

/* Sets a filter, reads one section and applies the whole-section test.
 * Returns 1 when it passes. */
static int AutoDetectProbe(uint16_t pid, const uint8_t *filter, const uint8_t *mask, int length,
                           uint32_t timeout) {
  if (!DemuxStartFilter(pid, filter, mask, length, timeout)) return 0;
  return AutoDetectWholeSection(DemuxGetSection());
}

int DemuxAutoDetect(char *path) {
  static const uint8_t pat_filter[] = {WIRE_TABLE_PAT}, pat_mask[] = {0xFF};
  static const uint8_t channel_filter[] = {WIRE_TABLE_CHANNELS, 0x00}, channel_mask[] = {0xFF, 0xFF};
  for (int i = 0; i < AUTODETECT_DEVICES; i++) {
    sprintf(path, "/dev/dvb/adapter0/demux%d", i);
    if (!DemuxInit(path)) continue;
    int found = 0;
    if (AutoDetectProbe(WIRE_PID_PAT, pat_filter, pat_mask, 1, 3000)) {
      DemuxStopFilter();
      found = AutoDetectProbe(WIRE_PID_CHANNELS, channel_filter, channel_mask, 2, 5000);
    }
    DemuxStopFilter();
    DemuxClose();
    if (found) return 1;
  }
  return 0;
}
