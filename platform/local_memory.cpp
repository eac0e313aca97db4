// Local memory as Windows gives it: fixed blocks are known by their address,
// movable ones by a handle that must be locked to reach the bytes. Handles
// are checked against a registry, so that a double or foreign free is
// refused (LocalFree returns the handle) rather than corrupting the heap.
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

#include <mutex>
#include <unordered_map>

#include "platform/fault_state.h"

namespace {

// Windows refuses a block beyond its commit limit (memory plus page file).
// Refuse the same here, rather than let the allocator (or a sanitizer's,
// which aborts the process) try to map it.
uint64_t CommitLimit() {
  static const uint64_t limit = [] {
    constexpr uint64_t kUnknown = uint64_t{1} << 40;
#if defined(__linux__)
    struct sysinfo info;
    if (sysinfo(&info) != 0) return kUnknown;
    return (uint64_t{info.totalram} + info.totalswap) * info.mem_unit;
#else
    // Other hosts (emscripten, BSDs) tell the memory, not the swap.
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : kUnknown;
#endif
  }();
  return limit;
}

struct Block {
  void* data;
  SIZE_T size;
  unsigned locks;
  bool movable;
  size_t mapped;  // length of the mapping that holds `data`, 0 for the heap
};

// Large blocks are mapped directly, aligned for transparent huge pages, so
// that filling a picture or a member costs a few hundred page faults rather
// than tens of thousands. (Sanitized builds keep the heap, whose blocks the
// sanitizer checks for stray accesses, up to blocks of a gigabyte, which
// only hostile sizes ask for: the sanitizer would write and clear their
// shadow, seconds per block, where a mapping costs nothing until touched.)
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kMapFrom = size_t{1} << 30;
#else
constexpr size_t kMapFrom = size_t{4} << 20;
#endif
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kPage = 4096;

// Fresh anonymous pages are zero, which LMEM_ZEROINIT asks for.
void* MapBlock(size_t bytes, size_t* mapped) {
  size_t length = (bytes + kPage - 1) / kPage * kPage;
  size_t reserve = length + kHugePage;
  void* raw = mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  char* base = static_cast<char*>(raw);
  char* aligned = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(base) + kHugePage - 1) & ~(kHugePage - 1));
  if (aligned != base) munmap(base, aligned - base);
  char* end = base + reserve;
  if (aligned + length != end) munmap(aligned + length, end - (aligned + length));
#if defined(MADV_HUGEPAGE)
  madvise(aligned, length, MADV_HUGEPAGE);
#endif
  *mapped = length;
  return aligned;
}

void ReleaseData(const Block& b) {
  if (b.mapped != 0) {
    munmap(b.data, b.mapped);
  } else {
    free(b.data);
  }
}

std::mutex gLock;
std::unordered_map<HLOCAL, Block>& Blocks() {
  static auto* blocks = new std::unordered_map<HLOCAL, Block>();  // outlives every static destructor
  return *blocks;
}

}  // namespace

extern "C" {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (ShouldFail(kCallLocalAlloc) >= 0 || static_cast<uint64_t>(bytes) > CommitLimit()) return nullptr;
  size_t mapped = 0;
  void* data = nullptr;
  if (bytes >= kMapFrom) {
    data = MapBlock(bytes, &mapped);
  } else {
    // malloc(0) may return null; keep one byte so the block has an address.
    data = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  }
  if (data == nullptr) return nullptr;
  bool movable = (flags & LMEM_MOVEABLE) != 0;
  HLOCAL handle = data;
  if (movable) {
    handle = malloc(1);  // a distinct address serves as the handle
    if (handle == nullptr) {
      ReleaseData(Block{data, bytes, 0, movable, mapped});
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> hold(gLock);
  Blocks()[handle] = Block{data, bytes, 0, movable, mapped};
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
  ReleaseData(b);
  if (b.movable) free(mem);
  return nullptr;
}

SIZE_T LocalSize(HLOCAL mem) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = Blocks().find(mem);
  return it == Blocks().end() ? 0 : it->second.size;
}

}  // extern "C"
