/* Guide database export: an event with its summary becomes a title of the
 * guide database under its channel and every alias target. */
#ifndef MHW2_EXPORT_H
#define MHW2_EXPORT_H

#include <stdint.h>

struct EventRecord;

int StoreEventWithAliases(const EventRecord *event, const char *summary_title,
                          const char *summary_text);
int StoreEvent(const EventRecord *event, const char *summary_title, const char *summary_text,
               int32_t sid, int32_t tsid, int32_t nid);

extern "C" {
/* ISO-8859-1 to UTF-8; exported by the executable. Returns bytes written or -1. */
int isolat1ToUTF8(unsigned char *out, int *out_len, const unsigned char *in, int *in_len);
}

#endif
