// Host file handles: natively a handle is a file descriptor cast to HANDLE.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_state.h"

namespace {
int Descriptor(HANDLE file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)); }

// A time stamp as a FILETIME: 100 ns units since 1601.
FILETIME FileTimeOf(const struct timespec& t) {
  constexpr int64_t kUnixEpochIn1601 = 116444736000000000;
  const uint64_t ticks = static_cast<uint64_t>(static_cast<int64_t>(t.tv_sec) * 10000000 + t.tv_nsec / 100 +
                                               kUnixEpochIn1601);
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}
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

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  struct stat st;
  if (ShouldFail(kCallGetFileInformation) >= 0 || info == nullptr || fstat(Descriptor(file), &st) != 0) return FALSE;
  const uint64_t index = static_cast<uint64_t>(st.st_ino);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  info->dwFileAttributes = 0x80;  // FILE_ATTRIBUTE_NORMAL
  info->ftCreationTime = FileTimeOf(st.st_ctim);
  info->ftLastAccessTime = FileTimeOf(st.st_atim);
  info->ftLastWriteTime = FileTimeOf(st.st_mtim);
  info->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  info->nFileIndexLow = static_cast<DWORD>(index);
  return TRUE;
}

}  // extern "C"
