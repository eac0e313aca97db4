// chestrel's exports.
#include "common/plugin_api.h"
#include "common/plugin_info.h"

namespace {

const char* const kChestrelInfo[] = {
    "00AM",
    "Chestrel - KALDORIN Archive extract library ver0.03  by the Kaldorin tools team",
    "*.PAK",
    "KALDORIN Archive (*.PAK)",
    "*.DAT",
    "KALDORIN Archive (*.DAT)",
    nullptr,
};

}  // namespace

SPI_EXPORT int SPI_CALL GetPluginInfo(int infono, LPSTR buf, int buflen) {
  return CopyPluginInfo(kChestrelInfo, infono, buf, buflen);
}
