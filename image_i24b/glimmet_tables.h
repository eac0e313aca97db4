// glimmet's code tables and the decoder's tables derived from them: built
// when the library is loaded, released when it is unloaded, read-only in
// between.
#ifndef KALDORIN_IMAGE_I24B_GLIMMET_TABLES_H
#define KALDORIN_IMAGE_I24B_GLIMMET_TABLES_H

#include "image_i24b/code_tables.h"
#include "image_i24b/fast_tables.h"

// The loaded sets, or null when the load-time build failed (natively a
// library constructor cannot fail the load, so the decoder checks this).
const CodeTableSet* LoadedCodeTables();
const FastTables* LoadedFastTables();

#endif
