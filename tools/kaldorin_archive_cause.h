// The cause behind a failed archive, in the tool's messages: when the file
// is a PACK archive by its first four bytes, the PACK reader says what is
// wrong with it and which member it concerns, where a plug-in can only give
// a result code or decline the file.
#ifndef KALDORIN_TOOLS_KALDORIN_ARCHIVE_CAUSE_H
#define KALDORIN_TOOLS_KALDORIN_ARCHIVE_CAUSE_H

#include <string>

#include "tools/kaldorin_host_calls.h"

namespace kaldorin {

// What is wrong with the PACK archive of `source` ("member 3's name is not
// valid"); empty when it is not a PACK archive or nothing is found wrong.
std::string PackArchiveCause(const DataSource& source);

// FailureText, followed by the PACK archive's cause when there is one.
std::string ArchiveFailureText(const HostPlugin& plugin, const CallFailure& failure, const DataSource& source);

}  // namespace kaldorin

#endif
