#include "archive_pack/pack_diagnosis.h"

#include "archive_pack/pack_member_walk.h"

namespace pack {

ArchiveDiagnosis DiagnoseArchive(const void* data, size_t size) {
  return WalkArchiveMembers(nullptr, nullptr, static_cast<const uint8_t*>(data), size, size, nullptr, nullptr);
}

ArchiveDiagnosis DiagnoseArchiveFile(FILE* file) { return WalkArchiveFile(file, nullptr, nullptr); }

void DescribeArchiveFault(const ArchiveDiagnosis& d, char* text, size_t size) {
  switch (d.fault) {
    case kArchiveFine:
      snprintf(text, size, "the archive is whole");
      break;
    case kArchiveNotPack:
      snprintf(text, size, "it is not a PACK archive");
      break;
    case kArchiveHeaderCut:
      snprintf(text, size, "the archive's header is cut off");
      break;
    case kArchiveReadFailed:
      snprintf(text, size, "the archive cannot be read");
      break;
    case kArchiveDirectoryPastEnd:
      snprintf(text, size, "the directory runs past the end of the file");
      break;
    case kArchiveNoTerminator:
      snprintf(text, size, "the directory does not end where its header says");
      break;
    case kArchiveNoMembers:
      snprintf(text, size, "the archive has no members");
      break;
    case kArchiveInvalidName:
      snprintf(text, size, "member %u's name is not valid", static_cast<unsigned>(d.member));
      break;
    case kArchiveMemberPastEnd:
      snprintf(text, size, "member %u's data runs past the end of the file", static_cast<unsigned>(d.member));
      break;
  }
}

}  // namespace pack
