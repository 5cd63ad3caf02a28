/* The broadcast simulator's guide model: the channels, events and summaries
 * that one MHW2 carousel carries, read from a guide description file or
 * generated at random. Texts are ISO-8859-1 byte strings. */
#ifndef MHW2SIM_GUIDE_H
#define MHW2SIM_GUIDE_H

#include <stdint.h>

#include <string>
#include <vector>

struct SimChannel {
  uint16_t nid = 0, tsid = 0, sid = 0;
  uint16_t word4 = 0;
  std::string name; /* at most 15 bytes */
};

/* One summary. It is carried by the 3-day summary table under "id3" when
 * "has_id3", and by the 7-day summary table under "id7" when "has_id7". */
struct SimSummary {
  std::string key; /* name used by events of a description file */
  bool has_id3 = false, has_id7 = false;
  uint16_t id3 = 0;
  uint32_t id7 = 0; /* 24 bits */
  std::string title;
  std::vector<std::string> lines; /* 3-day text: each line at most 255 bytes */
  std::string text7;              /* 7-day text: at most 4095 bytes */
};

/* One event entry. "in3"/"in7" say which event tables carry it. */
struct SimEvent {
  int channel = 0;          /* index into the channel table */
  uint32_t start = 0;       /* seconds since 1970-01-01 00:00 UTC */
  uint8_t start_seconds = 0;/* seconds byte of the start (sent, not added) */
  uint16_t duration = 0;    /* minutes, 0..4095 */
  uint32_t event_id = 0;
  std::string title;        /* the 3-day entry sends at most 63 bytes */
  std::string title7;       /* 7-day entry title when it differs ("" = title) */
  uint32_t summary_id = 0;  /* 24 bits */
  uint16_t summary_id_3d = 0;
  uint16_t summary_id2 = 0;
  uint8_t newbyte = 0;
  bool in3 = true, in7 = true;
  int copies = 1;           /* times the entry is sent within one cycle */
};

struct SimGuide {
  std::vector<SimChannel> channels;
  std::vector<SimEvent> events;
  std::vector<SimSummary> summaries;
};

/* Random guide settings. */
struct SimRandomShape {
  int channels = 20;
  int days = 7;
  int events_per_day = 24;      /* per channel */
  double summary_share = 0.7;   /* events with a summary */
  double repeat_share = 0.2;    /* events with a summary that repeat an earlier one */
  double duplicate_share = 0.0; /* event entries sent twice within a cycle */
  double long_title_share = 0.05;
  bool continuations = false;   /* some 3-day summaries need a continuation section */
  bool big = false;             /* a few summaries fill a whole 4096-byte section */
  uint32_t seed = 1;
  uint32_t start_day = 0;       /* first day, seconds since 1970 at 00:00 UTC */
};

/* Reads a guide description file "path" into "guide". Returns 1 on success,
 * 0 after printing "path:line: reason" to stderr. */
int GuideReadFile(const std::string &path, SimGuide *guide);
/* Parses the text of a description file; "name" is used in messages. */
int GuideParseText(const std::string &text, const std::string &name, SimGuide *guide);
/* Writes "guide" in the description file format. */
std::string GuideFormatText(const SimGuide &guide);
/* Builds a random guide from "shape" (deterministic for one seed). Returns 1,
 * or 0 after a message on stderr when the shape cannot fit the tables. */
int GuideGenerate(const SimRandomShape &shape, SimGuide *guide);
/* Checks the limits the tables impose (name, title and text sizes, ids).
 * Returns 1, or 0 after a message on stderr. */
int GuideCheck(const SimGuide &guide);

/* Seconds since 1970 of a UTC date and time (fields already checked). */
uint32_t GuideUtcSeconds(int year, int month, int day, int hour, int minute);

/* The 3-day text as the grabber joins it: the lines with single spaces. */
std::string GuideJoinLines(const std::vector<std::string> &lines);

#endif
