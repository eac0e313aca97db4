// glimmet's load and unload hook: builds the decoder's tables on process
// attach (the code tables they come from live only while they are derived)
// and releases them on detach.
#include "common/plugin_api.h"
#include "image_i24b/glimmet_tables.h"

namespace {
// Written only by the load and unload hooks.
i24b::FastTables* gFastTables = nullptr;

BOOL GlimmetLoadHook(DWORD reason) {
  if (reason == DLL_PROCESS_ATTACH) {
    gFastTables = i24b::BuildDecodeTables();
    return gFastTables != nullptr ? TRUE : FALSE;
  }
  if (reason == DLL_PROCESS_DETACH) {
    i24b::ReleaseFastTables(gFastTables);
    gFastTables = nullptr;
  }
  return TRUE;
}
}  // namespace

const i24b::FastTables* LoadedFastTables() { return gFastTables; }

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) { return GlimmetLoadHook(reason); }
#else
__attribute__((constructor)) static void GlimmetAttach() { GlimmetLoadHook(DLL_PROCESS_ATTACH); }
__attribute__((destructor)) static void GlimmetDetach() { GlimmetLoadHook(DLL_PROCESS_DETACH); }
#endif
