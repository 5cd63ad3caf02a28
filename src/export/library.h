/* Guide database calls beyond the ten every receiver's library has: looked
 * up at run time, so that the grabber also runs where the library lacks them. */
#ifndef MHW2_EXPORT_LIBRARY_H
#define MHW2_EXPORT_LIBRARY_H

#include "epgdb.h"

typedef int (*ExportSetNameFn)(epgdb_channel_t *channel, const char *name);

/* The loaded library's epgdb_channels_set_name, or null when it has none. */
ExportSetNameFn ExportLibraryChannelsSetName(void);
/* Fills "written", "replaced" and "expired" with what the last save did
 * (epgdb_save_counts). Returns 1, or 0 when the library cannot tell (the
 * counts are then left as they are). */
int ExportLibrarySaveCounts(int *written, int *replaced, int *expired);
/* The library's reason for its last failed open or save (epgdb_error), or
 * null when it gives none. */
const char *ExportLibraryError(void);

#endif
