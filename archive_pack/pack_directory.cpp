#include "archive_pack/pack_directory.h"

#include <string.h>
#if defined(__SSE2__) && !defined(KALDORIN_PORTABLE_NAME_CHECK)
#include <emmintrin.h>
#endif

#include "common/movable_block.h"

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "name fields are tested as little-endian words");
static_assert(kPackHeaderSize + kPackEntrySize <= kProbeSize, "a probe holds at least one entry");
static_assert(8 + kPackNameFieldSize == kPackEntrySize, "an entry is offset, size and the name field");
static_assert(kPackNameMaxLength + 2 == kPackNameFieldSize, "a valid name leaves room for its NUL");
static_assert(sizeof(fileInfo::filename) > kPackNameMaxLength, "a member name fits the record");
static_assert(sizeof(fileInfo) < 512, "a listing's byte size fits 64 bits for any DirectoryEnd");

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Every directory lookup checks the name of every entry before the one it
// wants, so the name check is the scanner's inner loop.
#if defined(__SSE2__) && !defined(KALDORIN_PORTABLE_NAME_CHECK)
// The whole field in one vector: a bit per byte for "letter or digit",
// "full stop" and "zero". Bytes of 0x80 and more compare as negative and so
// fall outside every range.
inline bool NameIsValid(const unsigned char* field) {
  const int length = field[0];
  if (length < 1 || length > kPackNameMaxLength) return false;
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field));
  const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));  // upper case to lower, digits unchanged
  const __m128i letters =
      _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
  const __m128i digits =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
  const __m128i dots = _mm_cmpeq_epi8(v, _mm_set1_epi8('.'));
  const unsigned allowed = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letters, digits), dots)));
  const unsigned dotBits = static_cast<unsigned>(_mm_movemask_epi8(dots));
  const unsigned zeroBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
  // The characters are bytes 1 .. length, the padding length+1 .. 15.
  const unsigned upToText = (2u << length) - 1;
  const unsigned text = upToText & ~1u;
  const unsigned padding = 0xFFFFu & ~upToText;
  const unsigned textDots = dotBits & text;
  return (allowed & text) == text && textDots != 0 && (textDots & (textDots - 1)) == 0 &&
         (zeroBits & padding) == padding;
}
#else
// Without SSE2, names are checked eight bytes at a time. Each helper sets
// 0x80 in the bytes of a word that qualify; the arithmetic never carries or
// borrows from one byte into the next.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Bytes strictly between m and n (0 <= m <= 127, n <= 128).
constexpr uint64_t BytesBetween(uint64_t x, unsigned m, unsigned n) {
  return (kOnes * (127 + n) - (x & kOnes * 127)) & ~x & ((x & kOnes * 127) + kOnes * (127 - m)) & kHighBits;
}
constexpr uint64_t BytesEqual(uint64_t x, unsigned char c) {
  const uint64_t y = x ^ (kOnes * c);
  return ~(((y & kOnes * 127) + kOnes * 127) | y | kOnes * 127);
}
constexpr uint64_t LettersAndDigits(uint64_t x) {
  return BytesBetween(x, '0' - 1, '9' + 1) | BytesBetween(x, 'A' - 1, 'Z' + 1) | BytesBetween(x, 'a' - 1, 'z' + 1);
}
// High bits of bytes [from, to) of a word (none when to <= from).
constexpr uint64_t ByteRange(int from, int to) {
  if (to <= from) return 0;
  const uint64_t upTo = to >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * to)) - 1;
  const uint64_t below = from >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * from)) - 1;
  return upTo & ~below & kHighBits;
}
int PopCount(uint64_t x) {
  int n = 0;
  for (; x != 0; x &= x - 1) ++n;
  return n;
}

inline bool NameIsValid(const unsigned char* field) {
  const int length = field[0];
  if (length < 1 || length > kPackNameMaxLength) return false;
  uint64_t low;
  uint64_t high;
  memcpy(&low, field, 8);
  memcpy(&high, field + 8, 8);
  // The characters are bytes 1 .. length, the padding length+1 .. 15.
  const uint64_t lowText = ByteRange(1, length + 1);
  const uint64_t highText = ByteRange(0, length + 1 - 8);
  const uint64_t lowDots = BytesEqual(low, '.') & lowText;
  const uint64_t highDots = BytesEqual(high, '.') & highText;
  const uint64_t lowPadding = ~((lowText >> 7) * 0xFF) & ~uint64_t{0xFF};  // byte 0 is the length
  const uint64_t highPadding = ~((highText >> 7) * 0xFF);
  return ((LettersAndDigits(low) | lowDots) & lowText) == lowText &&
         ((LettersAndDigits(high) | highDots) & highText) == highText && PopCount(lowDots) + PopCount(highDots) == 1 &&
         (low & lowPadding) == 0 && (high & highPadding) == 0;
}
#endif

// Host blocks are 32-bit quantities on every build, as on the 32-bit one:
// a larger listing is refused as an allocation failure without asking the
// platform. A lying DirectoryEnd would otherwise make a 64-bit build ask
// for up to 80 GB, and a refused request that size costs Wine 20 MB of
// memory it never gives back.
constexpr uint64_t kLargestListing = 0xFFFFFFFFu;
static_assert(kLargestListing <= SIZE_MAX, "a listing the check lets through has a size_t size");

// The listing block: room for DirectoryEnd / 24 records and the end record.
// Its byte size is computed in 64 bits (at most 2^28 records of under 2^9
// bytes); a size beyond kLargestListing is an allocation failure.
ResultCode AllocListing(uint32_t directoryEnd, HLOCAL* handle, fileInfo** records, uint64_t* capacity) {
  uint64_t count = static_cast<uint64_t>(directoryEnd) / kPackEntrySize + 1;
  if (count * sizeof(fileInfo) > kLargestListing) {
    *handle = nullptr;
    return kResultOutOfMemory;
  }
  void* ptr = nullptr;
  ResultCode result = AllocBlock(static_cast<SIZE_T>(count * sizeof(fileInfo)), handle, &ptr);
  if (result != kResultOk) {
    *handle = nullptr;
    return result;
  }
  *records = static_cast<fileInfo*>(ptr);
  *capacity = count;
  return kResultOk;
}

// The directory is read through a buffer: one stream read brings in many
// entries, instead of two reads an entry. Take() answers exactly as
// ReadExact would at the same position: the bytes, or 6 when fewer remain
// (end of data or a read error). A by-position lookup reads the directory
// up to its member on every call, so the buffer is large: fewer, longer
// reads. A probe reads only the bytes it takes: a host may hand over a
// whole archive shorter than the probe, straight from its memory.
constexpr LONG kDirectoryBuffer = kPackEntrySize * 1344;  // 31.5 KiB

struct DirectoryReader {
  SourceStream* stream;
  LONG next;    // first unread byte in `bytes`
  LONG filled;  // bytes held in `bytes`
  bool ended;   // the stream has nothing more to give
  bool exact;   // never read ahead of what is taken
  unsigned char bytes[kDirectoryBuffer];
};

// Moves the unread bytes to the front and reads until `n` are held or the
// stream has nothing more.
ResultCode Refill(DirectoryReader* r, LONG n) {
  LONG kept = r->filled - r->next;
  memmove(r->bytes, r->bytes + r->next, static_cast<size_t>(kept));
  r->next = 0;
  r->filled = kept;
  while (!r->ended && r->filled < n) {
    const LONG want = r->exact ? n - r->filled : kDirectoryBuffer - r->filled;
    LONG got = 0;
    if (ReadSome(r->stream, r->bytes + r->filled, want, &got) != kResultOk || got == 0) {
      r->ended = true;
    }
    r->filled += got;
  }
  return r->filled < n ? kResultReadError : kResultOk;
}

inline ResultCode Take(DirectoryReader* r, LONG n, const unsigned char** out) {
  if (r->filled - r->next < n) {
    ResultCode result = Refill(r, n);
    if (result != kResultOk) return result;
  }
  *out = r->bytes + r->next;
  r->next += n;
  return kResultOk;
}

// The next entry's offset and size and, unless they end the directory, its
// name field at `*name`. Whole entries come straight from the buffer;
// otherwise the two parts are taken as two reads would see them, so that a
// directory whose last 8 bytes end the file still scans. The numbers are
// decoded before the name is taken, which may move the buffer's bytes.
inline ResultCode NextEntry(DirectoryReader* r, uint32_t* offset, uint32_t* size, const unsigned char** name) {
  const unsigned char* head = r->bytes + r->next;
  const bool whole = r->filled - r->next >= kPackEntrySize;
  if (whole) {
    r->next += kPackEntrySize;
  } else {
    ResultCode result = Take(r, 8, &head);
    if (result != kResultOk) return result;
  }
  *offset = Le32(head);
  *size = Le32(head + 4);
  *name = head + 8;
  if (whole || (*offset == 0 && *size == 0)) return kResultOk;
  return Take(r, kPackNameFieldSize, name);
}

// Walks the entries after the header. `records`/`capacity` is the listing
// block (null when not listing). `*entryEnd` receives the offset of the
// entry the walk stopped at.
//
// An empty member and the member after it share a position, so a lookup by
// position that matches an empty member keeps it and goes on: a later entry
// at that position with data replaces it. The empty member stands when the
// walk ends first, at the terminator or at an entry it cannot read.
ResultCode WalkEntries(const ScanRequest& request, fileInfo* records, uint64_t capacity, uint64_t* used, bool* found,
                       int64_t* entryEnd) {
  const bool listing = records != nullptr;
  fileInfo* target = listing ? records : request.info;
  const bool byPosition = !listing && request.name == nullptr && request.position >= 0;
  DirectoryReader reader;
  reader.stream = request.stream;
  reader.next = reader.filled = 0;
  reader.ended = false;
  reader.exact = request.limit != 0;
  int64_t p = kPackHeaderSize;
  ResultCode result = kResultOk;
  // A lookup by position alone passes over most of the directory: entries
  // that are whole in the buffer, valid and not the one wanted are skipped
  // here; the loop below handles everything else as usual.
  const bool positionOnly = byPosition && request.limit == 0;
  for (;; p += kPackEntrySize) {
    if (positionOnly) {
      const uint64_t wanted = static_cast<uint64_t>(request.position);
      while (reader.filled - reader.next >= kPackEntrySize) {
        const unsigned char* entry = reader.bytes + reader.next;
        const uint64_t offset = Le32(entry);
        if (offset == wanted || (offset == 0 && Le32(entry + 4) == 0) || !NameIsValid(entry + 8)) break;
        reader.next += kPackEntrySize;
        p += kPackEntrySize;
      }
    }
    if (request.limit != 0 && p + kPackEntrySize > request.limit) break;
    uint32_t offset = 0;
    uint32_t size = 0;
    const unsigned char* name = nullptr;
    result = NextEntry(&reader, &offset, &size, &name);
    if (result != kResultOk) break;
    if (offset == 0 && size == 0) break;
    if (!NameIsValid(name)) {
      result = kResultUnknownFormat;
      break;
    }
    // A valid name is NUL-terminated inside its field.
    const char* text = reinterpret_cast<const char*>(name + 1);
    bool match = listing;
    if (!match && request.name != nullptr) {
      match = (request.ignoreCase ? lstrcmpiA(request.name, text) : lstrcmpA(request.name, text)) == 0;
    }
    if (!match && request.position >= 0) {
      // Once an empty member is found only a member with data replaces it.
      match = request.position == static_cast<int64_t>(offset) && !(*found && size == 0);
    }
    if (!match) continue;
    if (target != nullptr) {
      if (listing && *used >= capacity) {
        result = kResultReadError;
        break;
      }
      // Listing records lie in a zero-initialised block; a lookup's record
      // is the host's and is cleared first.
      FillMemberRecord(offset, size, text, !listing, listing ? &records[*used] : target);
      ++*used;
      *found = true;
    }
    if (listing) continue;
    if (!(byPosition && *found && size == 0)) break;
  }
  if (byPosition && *found) result = kResultOk;  // the empty member stands
  *entryEnd = p;
  return result;
}

}  // namespace

bool IsValidMemberName(const unsigned char field[kPackNameFieldSize]) { return NameIsValid(field); }

void FillMemberRecord(uint32_t offset, uint32_t size, const char* name, bool clearFirst, fileInfo* record) {
  if (clearFirst) memset(record, 0, sizeof *record);
  record->method[0] = ' ';
  record->method[1] = '\0';
  record->position = offset;
  record->compsize = size;
  record->filesize = size;
  record->timestamp = 0;
  record->path[0] = '\0';
  size_t length = strlen(name);
  memcpy(record->filename, name, length);
  record->filename[length] = '\0';
}

ResultCode ScanDirectory(const ScanRequest& request) {
  const bool byPosition = request.position >= 0;
  LONG resumeAt = 0;
  if (byPosition) {
    if (TellSource(request.stream, &resumeAt) != kResultOk || SeekSource(request.stream, 0) != kResultOk) {
      return kResultReadError;
    }
  }

  HLOCAL listing = nullptr;
  fileInfo* records = nullptr;
  uint64_t capacity = 0;
  uint64_t used = 0;
  bool found = false;
  unsigned char header[kPackHeaderSize] = {};
  ResultCode result = ReadExact(request.stream, header, sizeof header);
  if (result == kResultOk && memcmp(header, "PACK", 4) != 0) result = kResultUnknownFormat;
  const uint32_t directoryEnd = Le32(header + 4);
  if (result == kResultOk && request.listing != nullptr) {
    result = AllocListing(directoryEnd, &listing, &records, &capacity);
  }
  if (result == kResultOk) {
    int64_t entryEnd = 0;
    result = WalkEntries(request, records, capacity, &used, &found, &entryEnd);
    if (result == kResultOk && request.limit == 0) {
      if (!found) result = kResultReadError;
      if (records != nullptr && entryEnd != static_cast<int64_t>(directoryEnd)) result = kResultReadError;
    }
  }

  if (listing != nullptr) {
    // The terminator sits at DirectoryEnd, so the members leave room for the
    // end record; the check keeps every write inside the block regardless.
    if (result == kResultOk && used >= capacity) result = kResultReadError;
    if (result == kResultOk) {
      records[used].method[0] = '\0';
      ReleaseBlock(listing, nullptr);
    } else {
      ReleaseBlock(listing, records);
      listing = nullptr;
    }
  }
  if (request.listing != nullptr) *request.listing = listing;

  if (byPosition && SeekSource(request.stream, resumeAt) != kResultOk && result == kResultOk) {
    result = kResultReadError;
  }
  return result;
}
