/* libFuzzer driver for one fuzz entry point, chosen at build time. */
#include <stdlib.h>

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const FuzzTarget *target = FuzzFindTarget(FUZZ_TARGET_NAME);
  if (!target) abort();
  return target->run(data, size);
}
