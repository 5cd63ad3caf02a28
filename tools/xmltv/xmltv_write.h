/* XMLTV documents of the guide database: the channels and titles a reader
 * sees, written as one XMLTV document in UTF-8. Shared by `epgdb xmltv` and
 * the XMLTV grabber tv_grab_zz_mhw2. */
#ifndef XMLTV_WRITE_H
#define XMLTV_WRITE_H

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "epgdb.h"

/* Which part of the guide a document holds. Zero-filled: every channel that
 * has titles, and every title. */
struct XmltvSelection {
  int channels_only; /* every stored channel and no programme (a channel list) */
  int has_window;    /* only titles that start at or after "from" and before "to" */
  int64_t from;
  int64_t to;
};

/* What a written document holds. */
struct XmltvCounts {
  long channels;
  long programmes;
};

/* Writes the guide "reader" sees, as far as "selection" keeps it, as one
 * XMLTV document to "out" with "generator" as its generator-info-name. A
 * channel is written only with at least one programme in the document
 * (except for a channel list), its id made from its triple alone and its
 * display names the broadcast name (when stored) and "NID:TSID:SID". Counts
 * go to "counts" when not null. A null "reader" (nothing stored) gives an
 * empty document. Returns 1, or 0 with the reason in "why" when the guide
 * cannot be read or the output not written. */
int XmltvWriteGuide(FILE *out, epgdb_reader_t *reader, const char *generator,
                    const XmltvSelection *selection, XmltvCounts *counts, std::string *why);

#endif
