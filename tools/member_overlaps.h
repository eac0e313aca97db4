// Where an archive's members share bytes. A listing gives each member's
// position and size; nothing in an archive stops two members from pointing
// into the same bytes, so a small archive can name the same data many times
// and extract to many times its size (an archive bomb). Members with the very
// same position and size share their data legitimately (a game stores one
// picture under two names) and are not counted as overlapping.
#ifndef KALDORIN_TOOLS_MEMBER_OVERLAPS_H
#define KALDORIN_TOOLS_MEMBER_OVERLAPS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace kaldorin {

struct MemberSpan {
  uint64_t position = 0;
  uint64_t size = 0;
};

// Two members by their index in the listing, `first` < `second`.
struct MemberPair {
  size_t first = 0;
  size_t second = 0;
};

struct MemberOverlaps {
  // Members whose data overlap in part, at most `most` pairs: each pair is a
  // member and the member before it (by position) whose data reach furthest.
  // Not every overlapping pair is listed, but the list is empty only when no
  // two members overlap in part. Empty members overlap nothing.
  std::vector<MemberPair> partial;
  // Members that start at the same position with data (identical ones too):
  // a host that asks for a member by its position reaches only one of them.
  std::vector<MemberPair> samePosition;
  // The bytes an extraction of every member writes (at most 2^64 - 1).
  uint64_t totalBytes = 0;
};

// Finds the overlaps of `spans` in O(n log n). `most` bounds each list.
MemberOverlaps FindMemberOverlaps(const std::vector<MemberSpan>& spans, size_t most);

}  // namespace kaldorin

#endif
