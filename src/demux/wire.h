/* What the broadcast fixes on the wire: the PIDs and table ids of the PAT and
 * the MHW2 tables, the section header's length field, and the day number of 1970. */
#ifndef MHW2_DEMUX_WIRE_H
#define MHW2_DEMUX_WIRE_H

#include <stdint.h>

constexpr uint16_t WIRE_PID_PAT = 0x0000;
constexpr uint16_t WIRE_PID_CHANNELS = 0x231;
constexpr uint16_t WIRE_PID_EVENTS_3DAYS = 0x234;
constexpr uint16_t WIRE_PID_EVENTS_7DAYS = 0x284;
constexpr uint16_t WIRE_PID_SUMMARIES_3DAYS = 0x236;
constexpr uint16_t WIRE_PID_SUMMARIES_7DAYS = 0x282;

constexpr uint8_t WIRE_TABLE_PAT = 0x00;
constexpr uint8_t WIRE_TABLE_CHANNELS = 0xC8;
constexpr uint8_t WIRE_TABLE_EVENTS_3DAYS = 0xE6;
constexpr uint8_t WIRE_TABLE_EVENTS_7DAYS = 0xDC;
constexpr uint8_t WIRE_TABLE_SUMMARIES = 0x96;

/* The day number (MJD) of 1970-01-01, the first day of Unix time. */
constexpr uint32_t WIRE_MJD_1970 = 40587;

/* The bytes of a whole section: the 3 header bytes and the section_length
 * bytes its header announces. "section" holds at least 3 bytes. */
inline int WireSectionTotal(const uint8_t *section) {
  return 3 + (((section[1] & 0x0F) << 8) | section[2]);
}

#endif
