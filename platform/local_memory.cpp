// Local memory as Windows gives it: fixed blocks are known by their address,
// movable ones by a handle that must be locked to reach the bytes. Handles
// are checked against a registry, so that a double or foreign free is
// refused (LocalFree returns the handle) rather than corrupting the heap.
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <unordered_map>

#include "platform/fault_state.h"

namespace {

// No process can commit a terabyte: refuse such requests as Windows would,
// rather than let the allocator (or a sanitizer's) abort the process.
constexpr uint64_t kLargestBlock = uint64_t{1} << 40;

struct Block {
  void* data;
  SIZE_T size;
  unsigned locks;
  bool movable;
};

std::mutex gLock;
std::unordered_map<HLOCAL, Block>& Blocks() {
  static auto* blocks = new std::unordered_map<HLOCAL, Block>();  // outlives every static destructor
  return *blocks;
}

}  // namespace

extern "C" {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (ShouldFail(kCallLocalAlloc) >= 0 || static_cast<uint64_t>(bytes) >= kLargestBlock) return nullptr;
  // malloc(0) may return null; keep one byte so the block has an address.
  void* data = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  if (data == nullptr) return nullptr;
  bool movable = (flags & LMEM_MOVEABLE) != 0;
  HLOCAL handle = data;
  if (movable) {
    handle = malloc(1);  // a distinct address serves as the handle
    if (handle == nullptr) {
      free(data);
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> hold(gLock);
  Blocks()[handle] = Block{data, bytes, 0, movable};
  CountBlock(1);
  return handle;
}

LPVOID LocalLock(HLOCAL mem) {
  if (ShouldFail(kCallLocalLock) >= 0) return nullptr;
  std::lock_guard<std::mutex> hold(gLock);
  auto it = Blocks().find(mem);
  if (it == Blocks().end()) return nullptr;
  Block& b = it->second;
  if (!b.movable) return b.data;
  // A zero-byte movable block is a discarded block: it cannot be locked.
  if (b.size == 0) return nullptr;
  ++b.locks;
  return b.data;
}

BOOL LocalUnlock(HLOCAL mem) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = Blocks().find(mem);
  if (it == Blocks().end() || !it->second.movable || it->second.locks == 0) return FALSE;
  return --it->second.locks != 0 ? TRUE : FALSE;
}

HLOCAL LocalFree(HLOCAL mem) {
  if (mem == nullptr) return nullptr;
  Block b;
  {
    std::lock_guard<std::mutex> hold(gLock);
    auto it = Blocks().find(mem);
    if (it == Blocks().end()) return mem;
    b = it->second;
    Blocks().erase(it);
  }
  CountBlock(-1);
  free(b.data);
  if (b.movable) free(mem);
  return nullptr;
}

SIZE_T LocalSize(HLOCAL mem) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = Blocks().find(mem);
  return it == Blocks().end() ? 0 : it->second.size;
}

}  // extern "C"
