// glimmet's exports that need no more than the header: plug-in information,
// probing, picture information and the (unsupported) preview.
#include "common/plugin_info.h"
#include "common/source_stream.h"
#include "image_i24b/i24b_header.h"

namespace {

const char* const kGlimmetInfo[] = {
    "00IN",
    "KALDORIN I24B to DIB filter ver0.03  by the Kaldorin tools team",
    "*",
    "KALDORIN CG (*.I24)",
    nullptr,
};

}  // namespace

SPI_EXPORT int SPI_CALL GetPluginInfo(int infono, LPSTR buf, int buflen) {
  return CopyPluginInfo(kGlimmetInfo, infono, buf, buflen);
}

SPI_EXPORT int SPI_CALL IsSupported(LPCSTR /*filename*/, SpiDword dw) {
  SourceStream stream;
  if (OpenProbe(dw, &stream) != kResultOk) return 0;
  I24BHeader header;
  int answer = CheckI24BHeader(&stream, &header) == kResultOk ? 1 : 0;
  ResultCode ignored = kResultOk;
  CloseSource(&stream, &ignored);  // the answer does not depend on the close
  return answer;
}

SPI_EXPORT int SPI_CALL GetPictureInfo(LPCSTR buf, SpiLong len, unsigned int flag, PictureInfo* lpInfo) {
  if (lpInfo == nullptr) return kResultInternalError;
  SourceStream stream;
  ResultCode result = OpenSource(buf, len, flag, &stream);
  if (result != kResultOk) return result;
  I24BHeader header;
  result = CheckI24BHeader(&stream, &header);
  if (result == kResultOk) FillPictureInfo(header, lpInfo);
  CloseSource(&stream, &result);
  return result;
}

SPI_EXPORT int SPI_CALL GetPreview(LPCSTR, SpiLong, unsigned int, HLOCAL*, HLOCAL*, ProgressCallback, SpiLong) {
  return kResultNotImplemented;
}
