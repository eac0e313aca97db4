#include "tools/member_overlaps.h"

#include <algorithm>

namespace kaldorin {

namespace {

MemberPair Ordered(size_t a, size_t b) { return a < b ? MemberPair{a, b} : MemberPair{b, a}; }

}  // namespace

MemberOverlaps FindMemberOverlaps(const std::vector<MemberSpan>& spans, size_t most) {
  MemberOverlaps found;
  std::vector<size_t> order;
  for (size_t i = 0; i < spans.size(); ++i) {
    // Saturates: sizes come from a file.
    found.totalBytes = spans[i].size > UINT64_MAX - found.totalBytes ? UINT64_MAX : found.totalBytes + spans[i].size;
    if (spans[i].size != 0) order.push_back(i);
  }
  // By position, then size, then listing order: identical members stand
  // together, and the member reaching furthest so far is kept while sweeping.
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (spans[a].position != spans[b].position) return spans[a].position < spans[b].position;
    if (spans[a].size != spans[b].size) return spans[a].size < spans[b].size;
    return a < b;
  });
  bool haveFurthest = false;
  size_t furthest = 0;  // the member whose data ends furthest among those before
  uint64_t furthestEnd = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const size_t i = order[k];
    const MemberSpan& s = spans[i];
    // Sizes come from a file: an end past 2^64 is taken as 2^64 - 1.
    const uint64_t end = s.size > UINT64_MAX - s.position ? UINT64_MAX : s.position + s.size;
    if (k > 0) {
      const size_t previous = order[k - 1];
      if (spans[previous].position == s.position && found.samePosition.size() < most) {
        found.samePosition.push_back(Ordered(previous, i));
      }
    }
    if (haveFurthest && s.position < furthestEnd && found.partial.size() < most) {
      const MemberSpan& f = spans[furthest];
      if (f.position != s.position || f.size != s.size) found.partial.push_back(Ordered(furthest, i));
    }
    if (!haveFurthest || end > furthestEnd) {
      haveFurthest = true;
      furthest = i;
      furthestEnd = end;
    }
  }
  return found;
}

}  // namespace kaldorin
