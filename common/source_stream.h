// SourceStream: the one way every export reads its input, whether the host
// named a file (with a start offset) or handed over a memory image.
#ifndef KALDORIN_COMMON_SOURCE_STREAM_H
#define KALDORIN_COMMON_SOURCE_STREAM_H

#include <stddef.h>
#include <stdint.h>

#include "common/plugin_api.h"

struct SourceStream {
  HMMIO mmio;  // null when nothing is open
};

// Size of the probe that IsSupported sees.
constexpr LONG kProbeSize = 2048;

// Opens the source selected by flag & 7: 0 = the file named `buf`,
// positioned at byte `len`; 1 = the `len` bytes at `buf`, read in place (a
// stream-owned buffer of `len` bytes when `buf` is null). Results: 0; 5 when
// a memory source cannot be opened; 6 when a file cannot be opened or
// positioned; 8 for any other input type, with `*stream` left unwritten.
// `buf` is an ANSI or a UTF-16 file name as the export that received it
// takes them; a memory image is the same for both.
ResultCode OpenSource(SpiName buf, SpiLong len, unsigned int flag, SourceStream* stream);
inline ResultCode OpenSource(LPCSTR buf, SpiLong len, unsigned int flag, SourceStream* stream) {
  return OpenSource(AnsiName(buf), len, flag, stream);
}

// Opens the named file for mmio, as `name` is ANSI (mmioOpenA) or UTF-16
// (on Windows CreateFileW under an mmio procedure, natively mmioOpenW):
// every file the plug-ins read or write is opened here. Null when it cannot
// be opened.
HMMIO OpenNamedFile(SpiName name, DWORD flags);

// Opens the 2048-byte probe of IsSupported. A `dw` with any bit above the
// low 16 set is the address of a 2048-byte buffer, read in place; otherwise
// it is a host file handle whose next 2048 bytes (zero-padded) are copied,
// and whose position is then restored. Results: 0; 5 when the memory file
// cannot be opened; 6 when the handle cannot be read or repositioned.
ResultCode OpenProbe(SpiDword dw, SourceStream* stream);

// Reads exactly `n` bytes at the current position: 0, or 6 for a short
// read, the end of data or an error.
ResultCode ReadExact(SourceStream* stream, void* dst, LONG n);

// Reads up to `n` bytes: `*got` is the count delivered (0 at the end of
// data). Result 6 on a read error, with `*got` = 0.
ResultCode ReadSome(SourceStream* stream, void* dst, LONG n, LONG* got);

// ReadSome in the form of a read-ahead's reader (common/read_ahead.h), with
// the SourceStream as `source`.
bool ReadSourceBytes(void* source, uint8_t* dst, size_t space, size_t* got);

// The bytes from the current position to the end of the data (0 past the
// end), the position left as it was: 0, or 6.
ResultCode SourceBytesLeft(SourceStream* stream, int64_t* left);

// Sets the position to `pos` bytes from the start: 0, or 6.
ResultCode SeekSource(SourceStream* stream, LONG pos);

// Reports the current position: 0, or 6.
ResultCode TellSource(SourceStream* stream, LONG* pos);

// Closes the stream (a null stream counts as a failed close). A failed close
// turns a `*result` of 0 into 6 and leaves any other value alone.
void CloseSource(SourceStream* stream, ResultCode* result);

#endif
