// Read-ahead over a source of bytes: a buffer the owner provides, filled by
// large reads from a reader function or from a block in memory. The I24B
// bit reader and the PACK directory cursor both read through it; it uses no
// platform call of its own, so hosts and the platform-free decoder can use
// it too.
#ifndef KALDORIN_COMMON_READ_AHEAD_H
#define KALDORIN_COMMON_READ_AHEAD_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Reads up to `space` bytes into `dst` and sets `*got` (0: the end of the
// data); false on a read error.
typedef bool (*ReadSomeBytes)(void* source, uint8_t* dst, size_t space, size_t* got);

struct ReadAhead {
  ReadSomeBytes read;   // null: the input is the `size` bytes at `data`
  void* source;         // handed to `read`
  const uint8_t* data;  // memory input: what is left of it
  size_t size;
  uint8_t* buffer;      // the owner's buffer
  size_t filled;        // bytes held at `buffer`
  uint64_t base;        // position in the stream of buffer[0]
  uint64_t delivered;   // bytes the source has delivered so far
  bool ended;           // the source has no more bytes (end of data or a read error)
  bool failed;          // a read reported an error
};

// Starts reading `read` with `source` (or, for a null `read`, the `size`
// bytes at `data`) into `buffer`, whose byte 0 is at stream position
// `base`. Reads nothing yet.
inline void OpenReadAhead(ReadAhead* r, ReadSomeBytes read, void* source, const uint8_t* data, size_t size,
                          uint8_t* buffer, uint64_t base) {
  *r = ReadAhead{read, source, data, size, buffer, 0, base, 0, false, false};
}

// One read of up to `space` bytes into `dst`: false on a read error.
inline bool ReadAheadOnce(ReadAhead* r, uint8_t* dst, size_t space, size_t* got) {
  if (r->read != nullptr) return r->read(r->source, dst, space, got);
  const size_t n = r->size < space ? r->size : space;
  if (n != 0) memcpy(dst, r->data, n);
  r->data += n;
  r->size -= n;
  *got = n;
  return true;
}

// Drops the bytes before buffer[from], moves the rest to the front and
// reads until `need` bytes are held or the source has ended, each read
// asking for the room up to `upTo` (need <= upTo <= the buffer's size). A
// short read is not the end; only a read that delivers nothing, or fails,
// is. Whether `need` bytes are held.
inline bool RefillReadAhead(ReadAhead* r, size_t from, size_t need, size_t upTo) {
  const size_t kept = r->filled - from;
  if (from != 0) memmove(r->buffer, r->buffer + from, kept);
  r->base += from;
  r->filled = kept;
  while (!r->ended && r->filled < need) {
    size_t got = 0;
    if (!ReadAheadOnce(r, r->buffer + r->filled, upTo - r->filled, &got)) {
      r->failed = true;
      r->ended = true;
    } else if (got == 0) {
      r->ended = true;
    } else {
      r->filled += got;
      r->delivered += got;
    }
  }
  return r->filled >= need;
}

#endif
