#include "tools/kaldorin_archive_cause.h"

#include <stdio.h>
#include <string.h>

#include "archive_pack/pack_diagnosis.h"
#include "tools/kaldorin_files.h"

namespace kaldorin {

std::string PackArchiveCause(const DataSource& source) {
  if (memcmp(source.probe, "PACK", 4) != 0) return "";
  pack::ArchiveDiagnosis diagnosis = {pack::kArchiveFine, 0};
  if (source.inMemory) {
    diagnosis = pack::DiagnoseArchive(source.bytes.data(), source.bytes.size());
  } else {
    FILE* f = OpenFile(source.path, "rb");
    if (f == nullptr) return "";
    if (source.offset == 0) diagnosis = pack::DiagnoseArchiveFile(f);
    fclose(f);
  }
  if (diagnosis.fault == pack::kArchiveFine) return "";
  char text[160];
  pack::DescribeArchiveFault(diagnosis, text, sizeof text);
  return text;
}

std::string ArchiveFailureText(const HostPlugin& plugin, const CallFailure& failure, const DataSource& source) {
  const std::string cause = PackArchiveCause(source);
  return FailureText(plugin, failure) + (cause.empty() ? std::string() : " (" + cause + ")");
}

}  // namespace kaldorin
