/* Guide database calls beyond the receiver's ten: the executable names them
 * nowhere, so the dynamic linker never asks for them; each is looked up
 * once in the libraries the program runs with. */
#include "export/library.h"

#include <dlfcn.h>

typedef void (*ExportSaveCountsFn)(int *written, int *replaced, int *expired);
typedef const char *(*ExportErrorFn)(void);

static struct {
  int looked_up;
  ExportSetNameFn channels_set_name;
  ExportSaveCountsFn save_counts;
  ExportErrorFn error;
} ExportOptional;

/* Looks the optional calls up in every library loaded with the program, the
 * guide database's included; a missing one stays null. */
static void ExportLibraryLookUp(void) {
  if (ExportOptional.looked_up) return;
  ExportOptional.looked_up = 1;
  ExportOptional.channels_set_name = (ExportSetNameFn)dlsym(RTLD_DEFAULT, "epgdb_channels_set_name");
  ExportOptional.save_counts = (ExportSaveCountsFn)dlsym(RTLD_DEFAULT, "epgdb_save_counts");
  ExportOptional.error = (ExportErrorFn)dlsym(RTLD_DEFAULT, "epgdb_error");
}

ExportSetNameFn ExportLibraryChannelsSetName(void) {
  ExportLibraryLookUp();
  return ExportOptional.channels_set_name;
}

int ExportLibrarySaveCounts(int *written, int *replaced, int *expired) {
  ExportLibraryLookUp();
  if (!ExportOptional.save_counts) return 0;
  ExportOptional.save_counts(written, replaced, expired);
  return 1;
}

const char *ExportLibraryError(void) {
  ExportLibraryLookUp();
  return ExportOptional.error ? ExportOptional.error() : nullptr;
}
