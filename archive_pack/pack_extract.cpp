#include "archive_pack/pack_extract.h"

#include <string.h>

#include "common/movable_block.h"

namespace pack {

namespace {

int SPI_CALL NoProgress(int, int, SpiLong) { return 0; }

// Length of `s`, or `bound` when it has no NUL in its first `bound` units;
// never reads past those.
template <class Char>
size_t BoundedLength(const Char* s, size_t bound) {
  size_t n = 0;
  while (n < bound && s[n] != 0) ++n;
  return n;
}

// Builds `dest` + separator + `name` (or `name` alone for an empty `dest`)
// into `path`, each byte of `name` one unit; false when it does not fit.
template <class Char>
bool JoinOutputPath(const Char* dest, const char* name, Char (&path)[kOutputPathSize]) {
  const size_t destLength = BoundedLength(dest, kOutputPathSize);
  const size_t nameLength = BoundedLength(name, kOutputPathSize);
  const size_t separator = destLength != 0 ? 1 : 0;
  if (destLength + separator + nameLength >= kOutputPathSize) return false;
  memcpy(path, dest, destLength * sizeof(Char));
  if (separator != 0) path[destLength] = kPathSeparator;
  Char* tail = path + destLength + separator;
  for (size_t i = 0; i < nameLength; ++i) tail[i] = static_cast<unsigned char>(name[i]);
  tail[nameLength] = 0;
  return true;
}

// The output file's path in either form: `text` or `wide` holds it.
struct OutputPath {
  char text[kOutputPathSize];
  WCHAR wide[kOutputPathSize];
};

// Joins the path in the form of `dest`; false when it does not fit.
bool JoinOutputPath(SpiName dest, const char* name, OutputPath* path, SpiName* joined) {
  if (dest.wide) {
    *joined = WideName(path->wide);
    return JoinOutputPath(static_cast<LPCWSTR>(dest.text), name, path->wide);
  }
  *joined = AnsiName(path->text);
  return JoinOutputPath(static_cast<LPCSTR>(dest.text), name, path->text);
}

}  // namespace

ResultCode ReadMember(SourceStream* stream, uint64_t size, bool allowEmpty, ProgressCallback progress, SpiLong lData,
                      MemberData* member) {
  member->handle = nullptr;
  member->data = nullptr;
  member->size = size;
  if (size > kLargestMemberEnd) return kResultReadError;
  if (size != 0 || !allowEmpty) {
    ResultCode result = AllocBlock(static_cast<SIZE_T>(size), &member->handle, &member->data);
    if (result != kResultOk) return result;
  }
  if (progress == nullptr) progress = NoProgress;

  char* bytes = static_cast<char*>(member->data);
  const LONG chunk = static_cast<LONG>(size / kExtractChunks);
  for (int i = 0; i < kExtractChunks; ++i) {
    if (progress(i, kExtractChunks, lData) != 0) return kResultCancelled;
    if (chunk == 0) continue;
    ResultCode result = ReadExact(stream, bytes + static_cast<size_t>(i) * chunk, chunk);
    if (result != kResultOk) return result;
  }
  const LONG rest = static_cast<LONG>(size - static_cast<uint64_t>(chunk) * kExtractChunks);
  if (rest != 0) {
    ResultCode result = ReadExact(stream, bytes + static_cast<size_t>(chunk) * kExtractChunks, rest);
    if (result != kResultOk) return result;
  }
  if (progress(kExtractChunks, kExtractChunks, lData) != 0) return kResultCancelled;
  return kResultOk;
}

ResultCode WriteMemberFile(SpiName dest, const char* name, const void* data, uint64_t size) {
  OutputPath path;
  SpiName joined;
  if (size > kLargestMemberEnd || !JoinOutputPath(dest, name, &path, &joined)) return kResultInternalError;
  HMMIO file = OpenNamedFile(joined, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
  if (file == nullptr) return kResultInternalError;
  ResultCode result = kResultOk;
  if (size != 0) {
    const LONG length = static_cast<LONG>(size);
    // -1 reports an error; fewer bytes than asked is a truncated file.
    if (mmioWrite(file, static_cast<const char*>(data), length) != length) result = kResultInternalError;
  }
  // Closing flushes the buffer: if it fails the bytes may not be on disk.
  if (mmioClose(file, 0) != MMSYSERR_NOERROR) result = kResultInternalError;
  return result;
}

}  // namespace pack
