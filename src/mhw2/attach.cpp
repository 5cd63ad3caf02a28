/* Summary attachment: a decoded summary marks every event that refers to
 * it and stores that event in the guide database at once. */
#include "export/export.h"
#include "log/log.h"
#include "mhw2/mhw2.h"

struct AttachWalk {
  const char *title;
  const char *text;
  int32_t found;
  int32_t repeated;
};

/* Attaches the walk's summary to "record", which has none yet. Returns 0
 * when storing the event failed. */
static int AttachVisit(EventRecord *record, void *context) {
  AttachWalk *walk = (AttachWalk *)context;
  record->flags |= EVENT_HAS_SUMMARY;
  walk->found++;
  GuideGetCounters()->summaries_attached++;
  return StoreEventWithAliases(record, walk->title, walk->text) ? 1 : 0;
}

int AddSummary(uint32_t summary_id, const char *title, const char *text) {
  AttachWalk walk = {title, text, 0, 0};
  /* The store visits only the events still without a summary; the others
   * it matches are the repeated ones. */
  int32_t matches = GuideSummaryMatchCount(summary_id);
  if (!GuideVisitSummaryMatches(summary_id, AttachVisit, &walk)) return 0;
  walk.repeated = matches - walk.found;
  if (walk.found || walk.repeated) {
    WriteDebug("%s() - summary_id: %04X - found %d time(s) - repeated %d times\n", "AddSummary",
               summary_id, walk.found, walk.repeated);
  } else {
    WriteDebug("%s() - summary_id: %04X - not found\n", "AddSummary", summary_id);
    GuideGetCounters()->summaries_without_event++;
  }
  return 1;
}
