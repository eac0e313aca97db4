// The PACK archive format, every fact of it in one place; the reader, the
// writer and the tests' model all take it from here.
//
//   header   "PACK", then DirectoryEnd (32-bit little-endian): the offset of
//            the terminating entry from the header's first byte
//   entries  24 bytes each, from byte 8: the member's offset (from the start
//            of the file) and size (32-bit little-endian), then its name
//            field: a length byte, the name's characters and zero bytes to
//            the end of the field
//   end      an entry whose offset and size are both 0; only those 8 bytes
//            of it are read
//
// The members' bytes are stored as they are, wherever the offsets say.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_FORMAT_H
#define KALDORIN_ARCHIVE_PACK_PACK_FORMAT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "common/little_endian.h"

namespace pack {

constexpr char kMagic[4] = {'P', 'A', 'C', 'K'};
constexpr int kMagicSize = 4;
constexpr int kDirectoryEndAt = 4;  // in the header
constexpr int kHeaderSize = 8;

constexpr int kEntryOffsetAt = 0;  // in an entry
constexpr int kEntrySizeAt = 4;
constexpr int kNameFieldAt = 8;
constexpr int kNameFieldSize = 16;
constexpr int kEntrySize = 24;
constexpr int kTerminatorSize = 8;  // the part of the terminating entry that is read
constexpr int kNameMaxLength = 14;

static_assert(kDirectoryEndAt == kMagicSize && kDirectoryEndAt + 4 == kHeaderSize, "the header is magic, DirectoryEnd");
static_assert(kEntrySizeAt == kEntryOffsetAt + 4 && kNameFieldAt == kEntrySizeAt + 4, "offset, size, name field");
static_assert(kNameFieldAt + kNameFieldSize == kEntrySize, "the name field ends the entry");
static_assert(kTerminatorSize == kNameFieldAt, "the terminator is told by offset and size alone");
static_assert(1 + kNameMaxLength < kNameFieldSize, "the longest name is followed by a zero byte");

// The fields, from the header's and an entry's first byte.
inline uint32_t DirectoryEnd(const unsigned char* header) { return Le32(header + kDirectoryEndAt); }
inline uint32_t EntryOffset(const unsigned char* entry) { return Le32(entry + kEntryOffsetAt); }
inline uint32_t EntrySize(const unsigned char* entry) { return Le32(entry + kEntrySizeAt); }
constexpr const unsigned char* EntryNameField(const unsigned char* entry) { return entry + kNameFieldAt; }

// Writing them: the header, and an entry with its 16-byte name field.
inline void PutHeader(unsigned char* header, uint32_t directoryEnd) {
  memcpy(header, kMagic, kMagicSize);
  PutLe32(header + kDirectoryEndAt, directoryEnd);
}
inline void PutEntry(unsigned char* entry, uint32_t offset, uint32_t size, const unsigned char* nameField) {
  PutLe32(entry + kEntryOffsetAt, offset);
  PutLe32(entry + kEntrySizeAt, size);
  memcpy(entry + kNameFieldAt, nameField, kNameFieldSize);
}

// The entry at `offset` and `size` ends the directory.
constexpr bool IsTerminator(uint32_t offset, uint32_t size) { return offset == 0 && size == 0; }

// chestrel reads through 32-bit signed file offsets (mmio): the bytes it can
// extract end by this one, and the writer lets no member end past it.
constexpr uint64_t kLargestMemberEnd = 0x7FFFFFFF;

// The member-name rule: 1 to 14 characters from 0-9, A-Z, a-z and '.', with
// exactly one '.'. CheckName says which part of it a name breaks first.
enum NameFault {
  kNameValid,
  kNameEmpty,
  kNameTooLong,
  kNameBadCharacter,  // a character other than a letter, a digit or '.'
  kNameNotOneDot,     // none, or more than one '.'
};

constexpr bool IsNameCharacter(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.';
}

// Reads no further than `length` characters, nor past the 14th.
constexpr NameFault CheckName(const unsigned char* chars, size_t length) {
  if (length == 0) return kNameEmpty;
  if (length > kNameMaxLength) return kNameTooLong;
  int dots = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!IsNameCharacter(chars[i])) return kNameBadCharacter;
    if (chars[i] == '.') ++dots;
  }
  return dots == 1 ? kNameValid : kNameNotOneDot;
}

// Whether a 16-byte name field holds a valid name: the name of its length
// byte, then zero bytes to the end of the field.
constexpr bool IsValidNameField(const unsigned char* field) {
  const size_t length = field[0];
  if (CheckName(field + 1, length) != kNameValid) return false;
  for (size_t i = 1 + length; i < kNameFieldSize; ++i) {
    if (field[i] != 0) return false;
  }
  return true;
}

}  // namespace pack

#endif
