/* Fuzz entry points: one per way outside bytes enter the grabber. Shared by
 * the libFuzzer drivers and by the replay test that runs every kept input. */
#ifndef MHW2_FUZZ_TARGETS_H
#define MHW2_FUZZ_TARGETS_H

#include <stddef.h>
#include <stdint.h>

struct FuzzTarget {
  const char *name;
  int (*run)(const uint8_t *data, size_t size);
};

/* The targets, ended by an entry with a null name. */
extern const FuzzTarget FUZZ_TARGETS[];
/* The target called "name", or null. */
const FuzzTarget *FuzzFindTarget(const char *name);

#endif
