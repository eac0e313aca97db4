// The decoder's SSE2 build on 32-bit x86, where SSE2 is not assumed:
// picture_decoder_sse2.cpp is compiled for SSE2 and is called only when the
// processor has it (FastTables::sse2). x86-64 builds always have SSE2 and
// need no second build.
#ifndef KALDORIN_IMAGE_I24B_PICTURE_DECODER_SSE2_H
#define KALDORIN_IMAGE_I24B_PICTURE_DECODER_SSE2_H

#include "image_i24b/picture_decoder.h"

#if defined(__i386__) && !defined(__SSE2__)
#define I24B_DECODER_SSE2_BUILD 1

namespace i24b {

// DecodePixels (32-bit bit buffer) built for SSE2.
ResultCode DecodePixelsSse2(const FastTables& fast, const CodedInput& input, const PixelBlock& block,
                            ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow);

}  // namespace i24b
#endif

#endif
