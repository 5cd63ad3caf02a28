/* Big-endian field readers for the MHW2 table decoders. Each reads at
 * "p" and trusts the caller to have checked the bytes against the end of
 * the section. */
#ifndef MHW2_BYTES_H
#define MHW2_BYTES_H

#include <stdint.h>

static inline uint32_t Mhw2GetU16Unchecked(const uint8_t *p) {
  return ((uint32_t)p[0] << 8) | (uint32_t)p[1];
}

static inline uint32_t Mhw2GetU24Unchecked(const uint8_t *p) {
  return ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | (uint32_t)p[2];
}

static inline uint32_t Mhw2GetU32Unchecked(const uint8_t *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

#endif
