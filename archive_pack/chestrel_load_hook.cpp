// chestrel's load and unload hook: the directory index's lock is made on
// process attach, and the index released on detach (directory_index.h).
#include "archive_pack/directory_index.h"
#include "common/plugin_api.h"

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) return pack::AttachDirectoryIndex() ? TRUE : FALSE;
  if (reason == DLL_PROCESS_DETACH) pack::DetachDirectoryIndex();
  return TRUE;
}
#else
__attribute__((constructor)) static void ChestrelAttach() { pack::AttachDirectoryIndex(); }
__attribute__((destructor)) static void ChestrelDetach() { pack::DetachDirectoryIndex(); }
#endif
