/* Summary tables: sections of the 3-day (PID 0x236) and 7-day (PID 0x282)
 * MHW2 summary tables become summaries handed to summary attachment. */
#include "log/log.h"
#include "mhw2/bytes.h"
#include "mhw2/mhw2.h"

/* Rejects a summary section: debug line naming "function", main-log line.
 * Returns 0, the decoder's result for a skipped section. */
static int32_t SummariesReject(const char *function) {
  WriteDebug("%s() - INVALID SUMMARY TABLE (ignoring)\n", function);
  WriteLog("Received invalid section. Ignoring.");
  return 0;
}

/* Hands a decoded summary to attachment. Returns 0, or -1 when storing an
 * event failed (main-log line naming "function"). */
static int32_t SummariesHandOn(uint32_t summary_id, const char *title, const char *text,
                               const char *function) {
  if (!AddSummary(summary_id, title, text)) {
    WriteLog("%s() - Fatal Error adding summary", function);
    return -1;
  }
  DebugPrintSummary(summary_id, title, text);
  return 0;
}

int32_t ProcessMHW2Summaries3days(uint8_t *data, int32_t length) {
  static const char *const function = "ProcessMHW2Summaries3days";
  DebugHexDump(data, length, "MHW2 3 DAYS SUMMARY SECTION");
  if (length < 16) return SummariesReject(function);
  if (data[6] != 0) {
    WriteDebug("%s() - section is second part of previous summary\n", function);
    return 0;
  }
  int32_t title_length = data[14];
  if (15 + title_length >= length) return SummariesReject(function);
  int32_t lines = data[15 + title_length] & 0x0F;
  int32_t first = 16 + title_length;
  if (first >= length) return SummariesReject(function);

  /* Every line's length byte must lie inside the section, and so must the
   * byte behind the last line, where the text's terminator goes. A last
   * line that runs past the end of the section, or ends exactly on its
   * last byte, leaves no room for the terminator: the section is rejected
   * rather than cut, since such a line already covers the section's CRC. */
  int32_t end = first;
  for (int32_t k = 0; k < lines; k++) {
    if (end >= length) return SummariesReject(function);
    end += data[end] + 1;
  }
  if (lines > 0 && end >= length) return SummariesReject(function);

  uint32_t summary_id = Mhw2GetU16Unchecked(data + 3);
  data[15 + title_length] = 0;
  const char *title = (const char *)(data + 15);
  const char *text = (const char *)(data + first);
  if (lines > 0) {
    /* Join the lines in place: each length byte becomes a space, and the
     * text begins behind the first one. */
    int32_t o = first;
    for (int32_t k = 0; k < lines; k++) {
      int32_t line_length = data[o];
      data[o] = ' ';
      o += line_length + 1;
    }
    data[end] = 0;
    text = (const char *)(data + first + 1);
  } else {
    data[first] = 0; /* an empty text, inside the section */
  }
  return SummariesHandOn(summary_id, title, text, function);
}

int32_t ProcessMHW2Summaries7days(uint8_t *data, int32_t length) {
  static const char *const function = "ProcessMHW2Summaries7days";
  DebugHexDump(data, length, "MHW2 7 DAYS SUMMARY SECTION");
  if (length <= 20) return SummariesReject(function);
  int32_t title_length = data[19];
  if (22 + title_length >= length) return SummariesReject(function);
  int32_t text_length = (int32_t)(Mhw2GetU16Unchecked(data + 20 + title_length) & 0x0FFF);
  if (22 + title_length + text_length >= length) return SummariesReject(function);

  uint32_t summary_id = Mhw2GetU24Unchecked(data + 6);
  data[20 + title_length] = 0;
  data[22 + title_length + text_length] = 0;
  return SummariesHandOn(summary_id, (const char *)(data + 20),
                         (const char *)(data + 22 + title_length), function);
}

void DebugPrintSummary(uint32_t summary_id, const char *title, const char *text) {
  WriteDebug("summary_id: 0x%06X\nTitle: %s\n%s\n---------------------------------------\n",
             summary_id, title, text);
}
