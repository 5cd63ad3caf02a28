/* What a correct grab stores for a simulated broadcast, and the same view of
 * a guide database written by a real grab, in one comparable line format. */
#ifndef MHW2SIM_EXPECT_H
#define MHW2SIM_EXPECT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "guide.h"
#include "tables.h"

struct ExpectAlias {
  uint32_t src_sid, src_tsid, src_nid, dst_sid, dst_tsid, dst_nid;
};

/* The grabber's configuration as far as it changes what is stored. */
struct ExpectConfig {
  bool download_3_days = true;
  bool download_7_days = true;
  bool convert_to_utf8 = false;
  std::vector<ExpectAlias> aliases; /* in the order of the configuration file */
};

/* One title of the guide database. */
struct ExpectRow {
  uint16_t nid = 0, tsid = 0, sid = 0;
  uint32_t start_time = 0;
  uint32_t length = 0, event_id = 0, mjd = 0, flags = 0;
  std::string language, description, long_description;
};

/* The counts a run reports in its status lines and logs. */
struct ExpectStats {
  int channels = 0;
  int sections[SIM_TABLES] = {0, 0, 0, 0, 0}; /* collected per table (0 when the pass does not run) */
  int events3 = 0, events7 = 0, total_events = 0;
  int summaries3 = 0, summaries7 = 0;
  int with_summary = 0, without_summary = 0;
  int summaries_without_event = 0;
  int stores = 0;        /* titles handed to the database, aliases included */
  int continuations = 0; /* 3-day summary continuation sections decoded */
  bool ran_e3 = false, ran_e7 = false, ran_s3 = false, ran_s7 = false;
};

/* Works out what a grab of "tables" with "config" stores, decoding every
 * table's sections in reverse sending order (the collector's list is newest
 * first) or, with "forward", in sending order. */
void ExpectGrab(const SimGuide &guide, const SimTables &tables, const ExpectConfig &config,
                bool forward, std::vector<ExpectRow> *rows, ExpectStats *stats);
/* Parses an alias "%X:%X:%X,%X:%X:%X" (sid:tsid:nid of source, then target).
 * Returns 1, or 0 when it is malformed. */
int ExpectParseAlias(const std::string &text, ExpectAlias *alias);

/* Sorts rows by channel triple and start and formats one line each:
 * "NID:TSID:SID<TAB>start<TAB>length<TAB>event_id<TAB>mjd<TAB>flags<TAB>
 *  language<TAB>description<TAB>long description", texts escaped. */
std::string ExpectFormatRows(std::vector<ExpectRow> rows);
std::string ExpectFormatStats(const ExpectStats &stats);
/* Reads every title of "<root>/guide.db". Returns 1, or 0 after a message. */
int ExpectReadDatabase(const std::string &root, std::vector<ExpectRow> *rows);

#endif
