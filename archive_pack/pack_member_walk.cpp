#include "archive_pack/pack_member_walk.h"

#include "archive_pack/pack_cursor.h"

namespace pack {

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

}  // namespace pack
