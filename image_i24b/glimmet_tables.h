// The decoder's tables of glimmet: built when the library is loaded,
// released when it is unloaded, read-only in between.
#ifndef KALDORIN_IMAGE_I24B_GLIMMET_TABLES_H
#define KALDORIN_IMAGE_I24B_GLIMMET_TABLES_H

#include "image_i24b/fast_tables.h"

// The loaded tables, or null when the load-time build failed (natively a
// library constructor cannot fail the load, so the decoder checks this).
const i24b::FastTables* LoadedFastTables();

#endif
