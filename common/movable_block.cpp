#include "common/movable_block.h"

ResultCode AllocBlock(SIZE_T size, HLOCAL* handle, void** ptr) {
  *handle = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
  if (*handle == nullptr) {
    *ptr = nullptr;
    return kResultOutOfMemory;
  }
  *ptr = LocalLock(*handle);
  if (*ptr == nullptr) {
    LocalFree(*handle);
    *handle = nullptr;
    return kResultMemoryError;
  }
  return kResultOk;
}

void ReleaseBlock(HLOCAL handle, const void* ptr) {
  if (handle == nullptr) return;
  LocalUnlock(handle);
  if (ptr != nullptr) LocalFree(handle);
}
