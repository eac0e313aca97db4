#include "archive_pack/pack_member_walk.h"

#include "archive_pack/pack_cursor.h"

namespace pack {

namespace {

bool ReadFileBytes(void* source, uint8_t* dst, size_t space, size_t* got) {
  FILE* file = static_cast<FILE*>(source);
  *got = fread(dst, 1, space, file);
  return *got != 0 || !ferror(file);
}

void KeepEntry(void* context, uint32_t, uint32_t offset, uint32_t size, const char* name) {
  static_cast<std::vector<ArchiveEntry>*>(context)->push_back(ArchiveEntry{name, offset, size});
}

}  // namespace

ArchiveDiagnosis WalkArchiveMembers(ReadSomeBytes read, void* source, const uint8_t* data, size_t size,
                                    uint64_t dataEnd, VisitMember visit, void* context) {
  Directory cursor;
  Directory* dir = &cursor;
  ArchiveDiagnosis verdict = {kArchiveFine, 0};
  if (OpenDirectory(read, source, data, size, kReadAhead, dir) != kResultOk) {
    verdict.fault = dir->fault;
    return verdict;
  }
  const uint64_t room = static_cast<uint64_t>(dir->directoryEnd) / kEntrySize + 1;
  uint32_t pastEnd = 0;
  bool overrun = false;  // more entries than DirectoryEnd has room for
  ResultCode result = kResultOk;
  while (const unsigned char* entry = NextEntry(dir, &result)) {
    if ((overrun = dir->entries >= room)) break;
    const uint32_t offset = EntryOffset(entry), bytes = EntrySize(entry);
    if (pastEnd == 0 && static_cast<uint64_t>(offset) + bytes > dataEnd) pastEnd = dir->entries;
    if (visit != nullptr) visit(context, dir->entries, offset, bytes, MemberName(entry));
  }
  verdict.fault = overrun ? kArchiveNoTerminator : ListingFault(*dir, result, dir->entries, room);
  if (verdict.fault == kArchiveInvalidName) verdict.member = dir->entries + 1;
  if (verdict.fault == kArchiveNoTerminator && static_cast<uint64_t>(dir->directoryEnd) + kTerminatorSize > dataEnd) {
    verdict.fault = kArchiveDirectoryPastEnd;
  }
  if (verdict.fault == kArchiveFine && pastEnd != 0) verdict = ArchiveDiagnosis{kArchiveMemberPastEnd, pastEnd};
  return verdict;
}

ArchiveDiagnosis WalkArchiveFile(FILE* file, VisitMember visit, void* context) {
  uint64_t dataEnd = UINT64_MAX;
  const long start = ftell(file);
  if (start >= 0 && fseek(file, 0, SEEK_END) == 0) {
    const long end = ftell(file);
    if (end >= 0) dataEnd = static_cast<uint64_t>(end);
    if (fseek(file, start, SEEK_SET) != 0) return ArchiveDiagnosis{kArchiveReadFailed, 0};
  }
  return WalkArchiveMembers(ReadFileBytes, file, nullptr, 0, dataEnd, visit, context);
}

ArchiveDiagnosis ReadArchiveEntries(FILE* file, std::vector<ArchiveEntry>* entries) {
  entries->clear();
  if (fseek(file, 0, SEEK_SET) != 0) return ArchiveDiagnosis{kArchiveReadFailed, 0};
  return WalkArchiveFile(file, KeepEntry, entries);
}

}  // namespace pack
