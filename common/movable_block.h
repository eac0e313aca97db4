// Movable, zero-initialised local-memory blocks: the only memory that the
// plug-ins hand to a host, which frees it with LocalFree.
#ifndef KALDORIN_COMMON_MOVABLE_BLOCK_H
#define KALDORIN_COMMON_MOVABLE_BLOCK_H

#include "common/plugin_api.h"

// Allocates `size` zeroed bytes and locks them. On success `*handle` and
// `*ptr` are set and the result is 0. Allocation failure gives 4 with a
// null `*ptr`; lock failure (also every 0-byte request) frees the block and
// gives 5 with a null `*handle`.
ResultCode AllocBlock(SIZE_T size, HLOCAL* handle, void** ptr);

// Unlocks the block of `handle` (nothing for a null handle) and frees it
// when `ptr` is not null. A block handed over to the host is released with
// a null `ptr`: unlocked, not freed.
void ReleaseBlock(HLOCAL handle, const void* ptr);

#endif
