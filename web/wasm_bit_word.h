// Force-included into the decoder's sources for WebAssembly (scripts/
// build-web.sh): the bit buffer is chosen by uintptr_t, which wasm32 makes
// a 32-bit `unsigned long` that none of the buffer's routines take. Its
// registers are 64 bits wide, so the buffer here is WEB_BIT_WORD (uint64_t).
#ifndef KALDORIN_WEB_WASM_BIT_WORD_H
#define KALDORIN_WEB_WASM_BIT_WORD_H
#include <stdint.h>

#include "image_i24b/code_tables.h"
#define uintptr_t WEB_BIT_WORD
#include "image_i24b/bit_reader.h"
#undef uintptr_t
#endif
