#include "archive_pack/pack_entries.h"

#include <memory>

#include "archive_pack/pack_cursor.h"

namespace pack {

namespace {

bool ReadFromFile(void* source, uint8_t* dst, size_t space, size_t* got) {
  FILE* file = static_cast<FILE*>(source);
  *got = fread(dst, 1, space, file);
  return *got != 0 || !ferror(file);
}

}  // namespace

ArchiveDiagnosis ReadArchiveEntries(FILE* file, std::vector<ArchiveEntry>* entries) {
  entries->clear();
  if (fseek(file, 0, SEEK_SET) != 0) return ArchiveDiagnosis{kArchiveReadFailed, 0};
  const ArchiveDiagnosis verdict = DiagnoseArchiveFile(file);
  if (fseek(file, 0, SEEK_SET) != 0) return ArchiveDiagnosis{kArchiveReadFailed, 0};
  std::unique_ptr<Directory> dir(new Directory);
  if (OpenDirectory(ReadFromFile, file, nullptr, 0, kReadAhead, dir.get()) != kResultOk) return verdict;
  // No more entries than DirectoryEnd has room for, as the diagnosis counts.
  const uint64_t room = static_cast<uint64_t>(dir->directoryEnd) / kEntrySize + 1;
  ResultCode result = kResultOk;
  while (const unsigned char* entry = NextEntry(dir.get(), &result)) {
    if (dir->entries >= room) break;
    entries->push_back(ArchiveEntry{MemberName(entry), EntryOffset(entry), EntrySize(entry)});
  }
  return verdict;
}

}  // namespace pack
