/* Table download passes: each collects one whole MHW2 table from the demux
 * and feeds its sections to the table's decoder, with progress lines. */
#include "demux/concurrent.h"
#include "demux/wire.h"
#include "log/log.h"
#include "mhw2/mhw2.h"
#include "run/status.h"

/* What sets the four passes apart. */
struct PassValues {
  uint16_t pid;
  uint8_t table_id;
  const char *activity;        /* spinner text, also logged first */
  const char *processing_log;  /* with tot_sections */
  const char *processing_text; /* status line */
  Mhw2Decoder decoder;
  /* Event passes only: at most how many records a section decodes into,
   * to make room for the table's records at once; null for summaries. */
  int32_t (*at_most)(const uint8_t *data, int32_t length);
  int32_t GuideCounters::*count; /* reset at the start, reported and returned */
  /* Summary passes only: the pass's own result, set from "count" at the
   * end (reset at the start with the summaries without event); null for
   * the event passes. */
  int32_t GuideCounters::*summary_result;
  const char *final_message;
};

static const PassValues PASS_EVENTS_3DAYS = {
    WIRE_PID_EVENTS_3DAYS, WIRE_TABLE_EVENTS_3DAYS, "Downloading 3 days events", "Processing 3 days events (tot_sections=%d)",
    "Processing 3 days events\n", ProcessMHW2Events3days, Mhw2EventsAtMost3days, &GuideCounters::new_3day_events,
    nullptr, "Received %d NEW unique 3 days events"};

static const PassValues PASS_EVENTS_7DAYS = {
    WIRE_PID_EVENTS_7DAYS, WIRE_TABLE_EVENTS_7DAYS, "Downloading 7 days events", "Processing 7 days events (tot_sections=%d)",
    "Processing 7 days events\n", ProcessMHW2Events, Mhw2EventsAtMost7days, &GuideCounters::new_7day_events, nullptr,
    "Received %d NEW unique 7 days events"};

static const PassValues PASS_SUMMARIES_3DAYS = {
    WIRE_PID_SUMMARIES_3DAYS, WIRE_TABLE_SUMMARIES, "Downloading 3 days summaries", "Processing 3 days summaries (tot_sections=%d)",
    "Processing 3 days summaries\n", ProcessMHW2Summaries3days, nullptr,
    &GuideCounters::summaries_attached, &GuideCounters::summaries_3days,
    "Received %d NEW 3 days summaries"};

static const PassValues PASS_SUMMARIES_7DAYS = {
    WIRE_PID_SUMMARIES_7DAYS, WIRE_TABLE_SUMMARIES, "Downloading 7 days summaries", "Processing 7 days summaries (tot_sections=%d)",
    "Processing 7 days summaries\n", ProcessMHW2Summaries7days, nullptr,
    &GuideCounters::summaries_attached, &GuideCounters::summaries_7days,
    "Received %d NEW 7 days summaries"};

/* Mhw2PassDecodeSections; with "owned" each section is freed as soon as it
 * is decoded (the rest after a decoder failure), so that a table's bytes go
 * while what they decode into grows. */
static int32_t PassDecode(RawSection *list, int32_t tot_sections, Mhw2Decoder decoder, int owned) {
  if (tot_sections > 0) StatusSend("PROGRESS %s\n", "ON");
  int32_t i = 0;
  int failed = 0;
  for (RawSection *section = list, *next; section; section = next) {
    next = section->next;
    if (!failed) {
      int32_t percent = tot_sections > 0 ? (int32_t)((int64_t)i * 100 / tot_sections) : 100;
      StatusSend("PROGRESS %d\n", percent > 100 ? 100 : percent);
      i++;
      failed = section->length != 0 && decoder(DemuxSectionBytes(section), section->length) < 0;
    }
    if (owned) DemuxSectionFree(section);
    else if (failed) break;
  }
  if (tot_sections > 0) StatusSend("PROGRESS %s\n", "OFF");
  return i;
}

int32_t Mhw2PassDecodeSections(RawSection *list, int32_t tot_sections, Mhw2Decoder decoder) {
  return PassDecode(list, tot_sections, decoder, 0);
}

/* Runs one table download pass with "values". Returns the pass's count. */
static int32_t PassRun(const PassValues *values) {
  GuideCounters *counters = GuideGetCounters();
  counters->*values->count = 0;
  if (values->summary_result) {
    counters->*values->summary_result = 0;
    counters->summaries_without_event = 0;
  }
  WriteLog("%s", values->activity);
  StatusSetActivity(values->activity);
  const uint8_t filter[1] = {values->table_id};
  const uint8_t mask[1] = {0xFF};
  /* A table collected at once with the others is waiting for its pass. */
  int32_t tot_sections = DemuxCollectHolds(values->pid)
                             ? DemuxCollectTake(values->pid)
                             : DemuxGetAllSections(values->pid, filter, mask, 1);
  StatusSetActivity(nullptr);

  /* A filter that could not be set holds no section: the count is 0. */
  WriteLog(values->processing_log, tot_sections < 0 ? 0 : tot_sections);
  StatusSend("LOGTEXT %s", values->processing_text);
  RawSection *list = DemuxSectionListTake();
  if (values->at_most) {
    uint64_t records = 0;
    for (RawSection *section = list; section; section = section->next)
      records += (uint64_t)values->at_most(DemuxSectionBytes(section), section->length);
    GuideReserveEvents(records < UINT32_MAX ? (uint32_t)records : UINT32_MAX);
  }
  PassDecode(list, tot_sections, values->decoder, 1);
  WriteLog(values->final_message, counters->*values->count);

  if (values->summary_result) {
    counters->*values->summary_result = counters->*values->count;
    DemuxStopFilter();
  }
  return counters->*values->count;
}

int DownloadTablesAtOnce(int three_days, int seven_days) {
  const PassValues *passes[DEMUX_TABLES_MAX] = {&PASS_EVENTS_3DAYS, &PASS_EVENTS_7DAYS,
                                                &PASS_SUMMARIES_3DAYS, &PASS_SUMMARIES_7DAYS};
  const int enabled[DEMUX_TABLES_MAX] = {three_days, seven_days, three_days, seven_days};
  DemuxTable tables[DEMUX_TABLES_MAX] = {};
  int count = 0;
  for (int i = 0; i < DEMUX_TABLES_MAX; i++) {
    if (!enabled[i]) continue;
    tables[count].pid = passes[i]->pid;
    tables[count].filter[0] = passes[i]->table_id;
    tables[count].mask[0] = 0xFF;
    tables[count].length = 1;
    count++;
  }
  return count > 0 && DemuxCollectStart(tables, count);
}

int32_t DownloadEvents3days(void) { return PassRun(&PASS_EVENTS_3DAYS); }
int32_t DownloadEvents7days(void) { return PassRun(&PASS_EVENTS_7DAYS); }
int32_t DownloadSummaries3days(void) { return PassRun(&PASS_SUMMARIES_3DAYS); }
int32_t DownloadSummaries7days(void) { return PassRun(&PASS_SUMMARIES_7DAYS); }
