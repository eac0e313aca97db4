// File and path helpers of the tool: whole-file reads, the probe, sizes and
// names. Output files are made through kaldorin_output.h.
#ifndef KALDORIN_TOOLS_KALDORIN_FILES_H
#define KALDORIN_TOOLS_KALDORIN_FILES_H

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kaldorin {

namespace fs = std::filesystem;

// Paths and names are UTF-8 inside the tool on every system. These turn
// them into file-system paths and back (on Windows through UTF-16, so that
// names outside the ANSI code page work) and open files by them.
std::filesystem::path FsPath(const std::string& utf8);
std::string Utf8Path(const std::filesystem::path& path);
FILE* OpenFile(const std::string& utf8, const char* mode);
std::u16string Utf8ToUtf16(const std::string& utf8);
// Invalid units (an unpaired surrogate) become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& utf16);
// A name as plug-ins without wide exports take it: natively the UTF-8
// name itself, on Windows its ANSI code page form (characters outside the
// code page come out as the system's replacement, so such a name cannot be
// opened by them).
std::string AnsiFileName(const std::string& utf8);
#ifdef _WIN32
std::wstring WidePath(const std::string& utf8);
#endif

// Reads `path` from byte `offset` to its end. `error` is the cause alone.
bool ReadFileFrom(const std::string& path, uint64_t offset, std::vector<uint8_t>* out, std::string* error);
// The same for a path, or standard input for "-" (readable once per run).
bool ReadInput(const std::string& path, uint64_t offset, std::vector<uint8_t>* out, std::string* error);
// The first 2048 bytes from `offset`, zero-padded. Fails only if the file
// cannot be opened or positioned (a file shorter than `offset` probes as zeros).
bool ReadProbe(const std::string& path, uint64_t offset, uint8_t (&probe)[2048], std::string* error);
// Size of a file, or false.
bool FileSizeOf(const std::string& path, uint64_t* size);

void RemoveQuietly(const std::string& path);

std::string BaseName(const std::string& path);
// The name without its last extension (the part from the last full stop).
std::string StemOf(const std::string& name);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string AbsolutePath(const std::string& path);
bool IsDirectory(const std::string& path);
// Whether `text` holds a shell wildcard (*, ? or [...]).
bool IsPattern(const std::string& text);
// Shell-style matching of a member name: * any run, ? one character,
// [abc], [a-z] and [!abc] one character of (or not of) a set; letters match
// without regard to case, as member lookups do.
bool MatchesPattern(const std::string& pattern, const std::string& name);

// The folder of the running program.
std::string ProgramFolder();

}  // namespace kaldorin

#endif
