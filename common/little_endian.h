// Little-endian 16- and 32-bit numbers in byte buffers, as every format
// here stores them, at any alignment. On a little-endian machine each is
// one plain load or store (memcpy), which the compilers make a single move
// even where the bytes' shifts and ORs would be folded into other tests.
#ifndef KALDORIN_COMMON_LITTLE_ENDIAN_H
#define KALDORIN_COMMON_LITTLE_ENDIAN_H

#include <stdint.h>
#include <string.h>

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the little-endian helpers load and store in the machine's order"
#endif

inline uint16_t Le16(const unsigned char* p) {
  uint16_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t Le32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline void PutLe16(unsigned char* p, uint16_t v) { memcpy(p, &v, sizeof v); }

inline void PutLe32(unsigned char* p, uint32_t v) { memcpy(p, &v, sizeof v); }

#endif
