// chestrel keeps no state: its load and unload hook only accepts.
#include "common/plugin_api.h"

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
