// Extracting one member: reading it into a movable block in 32 chunks with
// progress reports, and writing it to a file.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_EXTRACT_H
#define KALDORIN_ARCHIVE_PACK_PACK_EXTRACT_H

#include <stdint.h>

#include "archive_pack/pack_format.h"
#include "common/plugin_api.h"
#include "common/source_stream.h"

namespace pack {

// Progress reports of an extraction: (i, 32) before chunk i, then (32, 32).
constexpr int kExtractChunks = 32;

// The output path is `dest` + separator + name, or the name alone for an
// empty `dest`, in a buffer of this many units, bytes or WCHARs (NUL
// included).
constexpr size_t kOutputPathSize = 272;
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// A member read into memory. `handle` is null when nothing was allocated
// (also for an empty member read for a file); `data` is the locked bytes.
struct MemberData {
  HLOCAL handle;
  void* data;
  uint64_t size;
};

// Reads `size` bytes at the stream's position into a new block (none for an
// empty member when `allowEmpty`), calling `progress` (null: none) with
// (i, 32, lData) before each chunk i and (32, 32, lData) at the end; a
// non-zero answer stops with 1. Results: 0, 1, 4 or 5 (allocation, also a
// 0-byte block), 6 (read). Whatever the result, `*member` holds what was
// allocated and the caller releases it.
ResultCode ReadMember(SourceStream* stream, uint64_t size, bool allowEmpty, ProgressCallback progress, SpiLong lData,
                      MemberData* member);

// Creates (or truncates) the file `dest`\`name` and writes `size` bytes of
// `data` to it. `dest` is an ANSI or a UTF-16 folder name; the (ASCII)
// member name is appended to it in the same form, kOutputPathSize units at
// most. Results: 0, or 8 when the path does not fit, the file cannot be
// created, the write stores fewer bytes, or closing fails. A file that was
// created stays even when writing it failed.
ResultCode WriteMemberFile(SpiName dest, const char* name, const void* data, uint64_t size);

}  // namespace pack

#endif
