/* The five MHW2 tables of a guide as section cycles, and the transport
 * stream that carries them as a carousel. The simulator is an independent
 * check of the grabber: its encoders and table layouts are its own and never
 * share the grabber's decoders or headers; only a grabbed database is read
 * back through the guide database library's read interface. */
#ifndef MHW2SIM_TABLES_H
#define MHW2SIM_TABLES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "guide.h"

constexpr uint16_t SIM_PID_CHANNELS = 0x231;
constexpr uint16_t SIM_PID_EVENTS3 = 0x234;
constexpr uint16_t SIM_PID_EVENTS7 = 0x284;
constexpr uint16_t SIM_PID_SUMMARIES3 = 0x236;
constexpr uint16_t SIM_PID_SUMMARIES7 = 0x282;
constexpr int SIM_SECTION_MAX = 4096; /* bytes of one section, header included */
constexpr int SIM_TITLE3_MAX = 63;    /* 6-bit title length of a 3-day entry */
constexpr int SIM_LINES_MAX = 15;     /* lines of one 3-day summary section */

enum SimTable { SIM_CHANNELS, SIM_EVENTS3, SIM_EVENTS7, SIM_SUMMARIES3, SIM_SUMMARIES7, SIM_TABLES };

/* One section of a cycle: its bytes and what it carries. */
struct SimSection {
  std::vector<uint8_t> bytes;
  std::vector<int> events; /* event tables: indexes into the guide's events */
  int channel = -1;        /* 7-day event sections: the channel id of every entry */
  int summary = -1;        /* summary tables: index into the guide's summaries */
  int part = 0;            /* 3-day summaries: 0 = first section, else a continuation */
  bool channel_table = false; /* channel PID: the channel table (not the themes section) */
};

struct SimTables {
  std::vector<SimSection> cycle[SIM_TABLES]; /* in sending order */
};

struct SimStreamOptions {
  int section_size = 1024;   /* largest event section, 64..4096 bytes */
  bool omit[SIM_TABLES] = {false, false, false, false, false};
  int repeats = 2;           /* times every cycle is sent */
  bool mid_cycle = false;    /* every cycle starts at a random section */
  bool pack = false;         /* several sections per TS packet */
  bool garbage = false;      /* bytes without a sync byte between some packets */
  bool noise = false;        /* null packets and packets of other PIDs */
  uint32_t seed = 1;         /* for mid_cycle, garbage and noise */
  bool events7_descending = false; /* 7-day entries of a channel latest first (hostile guides) */
  /* The multiplex's bit rate (0: the tables follow each other without
   * time); with it every table goes out at its own bit rate "rate" (the
   * channel table by default once a second) and null packets fill the rest. */
  uint64_t mux_rate = 0;
  uint64_t rate[SIM_TABLES] = {0, 0, 0, 0, 0};
};

/* The names of the tables on the command line, in SimTable order. */
extern const char *const SIM_TABLE_NAMES[SIM_TABLES];

/* With a mux rate: how the carousel is laid out in time. */
struct SimTiming {
  double length = 0;                  /* seconds of stream in the file */
  double cycle[SIM_TABLES] = {0, 0, 0, 0, 0}; /* seconds one cycle of each table lasts (0: empty) */
  size_t sends[SIM_TABLES] = {0, 0, 0, 0, 0}; /* cycles of each table in the file */
  uint64_t packets = 0;               /* TS packets in the file */
};

/* The 3-day summary sections of "s": the lines of each, the first section
 * first. Lines that do not fit one section (15 lines, 4096 bytes) go on in
 * continuation sections. */
std::vector<std::vector<std::string>> TablesSummary3Parts(const SimSummary &s);
/* The title bytes that a 3-day / 7-day entry of "e" sends. */
std::string TablesTitle3(const SimEvent &e);
std::string TablesTitle7(const SimEvent &e);

/* Builds the section cycles of the five tables. Returns 1, or 0 after a
 * message on stderr when something does not fit a section. */
int TablesBuild(const SimGuide &guide, const SimStreamOptions &opt, SimTables *tables);
/* Lays the carousel out in time for opt.mux_rate: the file lasts --cycles
 * times the longest table cycle and holds a whole number of cycles of every
 * table. Returns 1, or 0 after a message on stderr when a table has no rate
 * or the tables need more than the multiplex carries. */
int TablesTiming(const SimTables &tables, const SimStreamOptions &opt, SimTiming *timing);
/* Writes the carousel to "path". Returns 1, or 0 after a message. */
int TablesWriteStream(const SimTables &tables, const SimStreamOptions &opt, const std::string &path,
                      size_t *bytes_written);

#endif
