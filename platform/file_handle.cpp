// Host file handles: natively a handle is a file descriptor cast to HANDLE.
#include <errno.h>
#include <unistd.h>

#include "platform/fault_state.h"

namespace {
int Descriptor(HANDLE file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)); }
}  // namespace

extern "C" {

BOOL ReadFile(HANDLE file, LPVOID buf, DWORD n, LPDWORD read, LPOVERLAPPED) {
  if (read != nullptr) *read = 0;
  int fault = ShouldFail(kCallReadFile);
  if (fault == kFaultError) return FALSE;
  if (fault == kFaultShort) n /= 2;
  DWORD done = 0;
  while (done < n) {
    ssize_t r = ::read(Descriptor(file), static_cast<char*>(buf) + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return FALSE;
    if (r == 0) break;
    done += static_cast<DWORD>(r);
  }
  if (read != nullptr) *read = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  if (ShouldFail(kCallSetFilePointer) >= 0) return INVALID_SET_FILE_POINTER;
  int64_t move = distance;
  if (distanceHigh != nullptr) move = (static_cast<int64_t>(*distanceHigh) << 32) | static_cast<uint32_t>(distance);
  int whence = method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : SEEK_SET;
  off_t pos = lseek(Descriptor(file), move, whence);
  if (pos < 0) return INVALID_SET_FILE_POINTER;
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<int64_t>(pos) >> 32);
  return static_cast<DWORD>(pos);
}

}  // extern "C"
