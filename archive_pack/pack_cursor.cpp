#include "archive_pack/pack_cursor.h"

namespace pack {

namespace {

// The next `n` bytes, as one read of them would answer at the same
// position: the bytes, or 6 when fewer remain (end of data or a read
// error). Read-ahead fills the buffer; exact reads stop at `n`.
inline ResultCode Take(Directory* d, size_t n, const unsigned char** out) {
  if (d->ahead.filled - d->next < n) {
    const bool enough = RefillReadAhead(&d->ahead, d->next, n, d->exact ? n : kDirectoryBuffer);
    d->next = 0;
    if (!enough) {
      d->fault = d->ahead.failed ? kArchiveReadFailed : kArchiveDirectoryPastEnd;
      return kResultReadError;
    }
  }
  *out = d->bytes + d->next;
  d->next += n;
  return kResultOk;
}

}  // namespace

int ArchiveFaultResult(ArchiveFault fault) {
  switch (fault) {
    case kArchiveFine:
      return kResultOk;
    case kArchiveNotPack:
    case kArchiveInvalidName:
      return kResultUnknownFormat;
    default:
      return kResultReadError;
  }
}

ResultCode OpenDirectory(ReadSomeBytes read, void* source, const uint8_t* data, size_t size, DirectoryReads reads,
                         Directory* dir) {
  OpenReadAhead(&dir->ahead, read, source, data, size, dir->bytes, 0);
  dir->directoryEnd = 0;
  dir->exact = reads == kReadExactly;
  dir->entries = 0;
  dir->next = 0;
  // One read, as the header was always read: a short one is a cut header.
  size_t got = 0;
  if (!ReadAheadOnce(&dir->ahead, dir->bytes, kHeaderSize, &got) || got > kHeaderSize) {
    dir->fault = kArchiveReadFailed;
  } else if (got < kHeaderSize) {
    dir->fault = kArchiveHeaderCut;
  } else if (memcmp(dir->bytes, kMagic, kMagicSize) != 0) {
    dir->fault = kArchiveNotPack;
  } else {
    dir->fault = kArchiveFine;
    dir->directoryEnd = DirectoryEnd(dir->bytes);
    dir->ahead.base = kHeaderSize;
  }
  return static_cast<ResultCode>(ArchiveFaultResult(dir->fault));
}

// The first 8 bytes and the name field are taken as two reads would see
// them, so that a directory whose terminator ends the file still reads, and
// put together in `split`: taking the name field may move the buffer's
// bytes. At the terminator `next` goes back to its first byte.
const unsigned char* NextEntryInParts(Directory* dir, ResultCode* result) {
  const unsigned char* part = nullptr;
  if ((*result = Take(dir, kTerminatorSize, &part)) != kResultOk) return nullptr;
  memcpy(dir->split, part, kTerminatorSize);
  const uint32_t offset = EntryOffset(dir->split);
  const uint32_t size = EntrySize(dir->split);
  if (IsTerminator(offset, size)) {
    dir->next -= kTerminatorSize;
    dir->fault = kArchiveFine;
    *result = kResultOk;
    return nullptr;
  }
  if ((*result = Take(dir, kNameFieldSize, &part)) != kResultOk) return nullptr;
  memcpy(dir->split + kNameFieldAt, part, kNameFieldSize);
  return CheckEntry(dir, dir->split, offset, size, result);
}

ArchiveFault ListingFault(const Directory& dir, ResultCode result, uint64_t used, uint64_t capacity) {
  if (result != kResultOk) return dir.fault;
  if (used >= capacity || EntryAt(dir) != dir.directoryEnd) return kArchiveNoTerminator;
  if (used == 0) return kArchiveNoMembers;
  return kArchiveFine;
}

}  // namespace pack
