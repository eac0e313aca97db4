// The index of the most recently scanned large directory, kept between
// calls so that extracting every member of an archive by position costs one
// directory scan, not one per member. This is chestrel's only state that
// outlives a call: one slot under a lock, released at unload.
//
// Lookups by name go through it too: the entries whose names match without
// regard to ASCII case are found by a binary search over the names, and the
// caller compares them as its scan would.
//
// The index belongs to one file, known by its volume, file index, size and
// times; a lookup in a file with another key scans as before, and a file
// seen again with the same identity but another size or time drops it. It
// records the entries up to where the scan stopped (the terminator or an
// invalid name), so that a lookup answers as that scan would: the same
// record, the same empty member giving way to a later one with data, the
// same result where no member starts there.
//
// Cost: 32 bytes per member (the 24-byte entry and its places in the order
// of positions and in the order of names), built only for directories of more than
// kSmallestIndexedDirectory members and at most kLargestIndexedDirectory
// (32 MiB). The plug-in built with KALDORIN_CHESTREL_UNINDEXED indexes
// nothing (the benchmark's baseline).
#ifndef KALDORIN_ARCHIVE_PACK_DIRECTORY_INDEX_H
#define KALDORIN_ARCHIVE_PACK_DIRECTORY_INDEX_H

#include <stdint.h>

#include "common/plugin_api.h"
#include "common/source_stream.h"

namespace pack {

// A directory that one read-ahead holds is scanned at no cost worth saving.
constexpr uint32_t kSmallestIndexedDirectory = 1344;
constexpr uint32_t kLargestIndexedDirectory = 1u << 20;

// What identifies a file's contents: its volume and file index, size, and
// last-write and creation times.
struct FileKey {
  uint32_t words[9];
};

// The key of the named file under `stream`; false when it cannot be taken
// (a memory source, or the platform call fails), and nothing is indexed.
bool ReadFileKey(SourceStream* stream, FileKey* key);

// Whether an index is held (a lookup then needs the file's key).
bool DirectoryIndexHeld();

// The member whose data starts at `position` as the held index answers for
// the file `key`: true with `*result` (and `*info` on success, every byte
// written) when the index belongs to that file; false when it does not.
bool LookUpIndexed(const FileKey& key, int64_t position, fileInfo* info, ResultCode* result);

// The entries whose names equal `query` when ASCII letters are folded, in
// directory order, as the held index answers for the file `key`: true when
// the index belongs to that file and there are at most kMostNameCandidates
// of them (`*count` copied to `entries`, kEntrySize bytes each), with
// `*stop` the result the scan ended with (0 at the terminator, 2 at an
// invalid name); false when the caller must scan.
constexpr size_t kMostNameCandidates = 8;
bool LookUpIndexedName(const FileKey& key, const char* query, unsigned char* entries, size_t* count,
                       ResultCode* stop);

// An index being built during a scan.
struct IndexBuilder {
  struct DirectoryIndex* index;  // null when nothing is being built
};

// Starts an index for a directory of at most `entries` entries: false (and
// nothing to release) when it would be too small or too large, or there is
// no memory for it.
bool StartIndex(uint64_t entries, IndexBuilder* builder);

// Adds the next entry of the directory (24 bytes, as the cursor gave it);
// false when there is no room left, and the index is dropped.
bool AddIndexEntry(IndexBuilder* builder, const unsigned char* entry);

// Keeps the index built for `key` in place of the held one; `stop` is the
// result the scan ended with (0 at the terminator, 2 at an invalid name).
void KeepIndex(IndexBuilder* builder, const FileKey& key, ResultCode stop);

// Drops an index being built.
void DiscardIndex(IndexBuilder* builder);

// The load and unload hook's part: the lock is made at load, and the held
// index released with it at unload.
bool AttachDirectoryIndex();
void DetachDirectoryIndex();

}  // namespace pack

#endif
