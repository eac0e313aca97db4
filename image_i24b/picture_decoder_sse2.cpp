// On 32-bit x86 builds this file is compiled with SSE2 (image_i24b's
// CMakeLists.txt), and nothing else is: its code runs only where
// FastTables::sse2 says the processor has SSE2. It calls only routines of
// decode_rows.h and the headers it includes, which have internal linkage or
// are always inlined, so no routine compiled here can stand in for one
// compiled without SSE2.
#include "image_i24b/decode_rows.h"

#if defined(__i386__) && defined(__SSE2__)
namespace i24b {

ResultCode DecodePixelsSse2(const FastTables& fast, const CodedInput& input, const PixelBlock& block,
                            ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow) {
  return DecodeRows<true, uint32_t>(fast, input, block, callback, lData, firstGuessedRow);
}

}  // namespace i24b
#endif
