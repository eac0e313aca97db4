// glimmet's load and unload hook: builds the code tables, then the tables
// derived from them, on process attach and releases them on detach.
#include "common/plugin_api.h"
#include "image_i24b/glimmet_tables.h"

namespace {
// Written only by the load and unload hooks.
CodeTableSet gTables;
FastTables* gFastTables = nullptr;
bool gTablesBuilt = false;

BOOL GlimmetLoadHook(DWORD reason) {
  if (reason == DLL_PROCESS_ATTACH) {
    gTablesBuilt = BuildCodeTableSet(&gTables);
    if (gTablesBuilt) {
      gFastTables = BuildFastTables(gTables);
      if (gFastTables == nullptr) {
        ReleaseCodeTableSet(&gTables);
        gTablesBuilt = false;
      }
    }
    return gTablesBuilt ? TRUE : FALSE;
  }
  if (reason == DLL_PROCESS_DETACH) {
    ReleaseFastTables(gFastTables);
    gFastTables = nullptr;
    ReleaseCodeTableSet(&gTables);
    gTablesBuilt = false;
  }
  return TRUE;
}
}  // namespace

const CodeTableSet* LoadedCodeTables() { return gTablesBuilt ? &gTables : nullptr; }
const FastTables* LoadedFastTables() { return gTablesBuilt ? gFastTables : nullptr; }

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) { return GlimmetLoadHook(reason); }
#else
__attribute__((constructor)) static void GlimmetAttach() { GlimmetLoadHook(DLL_PROCESS_ATTACH); }
__attribute__((destructor)) static void GlimmetDetach() { GlimmetLoadHook(DLL_PROCESS_DETACH); }
#endif
