#include "tools/kaldorin_files.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kaldorin {

namespace {

bool SeekTo(FILE* f, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<long long>(offset), SEEK_SET) == 0;
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned lead = static_cast<unsigned char>(utf8[i]);
    const int tail = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    uint32_t c = tail == 0 ? lead : lead & (0x3Fu >> tail);
    for (int k = 1; k <= tail && i + k < utf8.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    }
    i += 1 + tail;
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& utf16) {
  std::string out;
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t c = utf16[i];
    if (c >= 0xD800 && c < 0xE000) {
      const bool paired = c < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000;
      c = paired ? 0x10000 + ((c - 0xD800) << 10) + (utf16[++i] - 0xDC00) : 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(((0xFF00u >> (tail + 1)) & 0xFFu) | (c >> (6 * tail)));
    for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80u | ((c >> (6 * k)) & 0x3Fu));
  }
  return out;
}

#ifdef _WIN32
std::wstring WidePath(const std::string& utf8) {
  std::u16string w = Utf8ToUtf16(utf8);
  return std::wstring(w.begin(), w.end());
}

std::string AnsiFileName(const std::string& utf8) {
  std::wstring w = WidePath(utf8);
  int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return utf8;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

fs::path FsPath(const std::string& utf8) { return fs::path(WidePath(utf8)); }

std::string Utf8Path(const fs::path& path) {
  const std::wstring& w = path.native();
  return Utf16ToUtf8(std::u16string(w.begin(), w.end()));
}

FILE* OpenFile(const std::string& utf8, const char* mode) {
  std::wstring wideMode(mode, mode + strlen(mode));
  return _wfopen(WidePath(utf8).c_str(), wideMode.c_str());
}
#else
fs::path FsPath(const std::string& utf8) { return fs::path(utf8); }
std::string Utf8Path(const fs::path& path) { return path.native(); }
FILE* OpenFile(const std::string& utf8, const char* mode) { return fopen(utf8.c_str(), mode); }
std::string AnsiFileName(const std::string& utf8) { return utf8; }
#endif

bool ReadFileFrom(const std::string& path, uint64_t offset, std::vector<uint8_t>* out, std::string* error) {
  out->clear();
  uint64_t size = 0;
  if (IsDirectory(path)) {
    *error = "is a folder, not a file";
    return false;
  }
  FILE* f = OpenFile(path, "rb");
  if (f == nullptr) {
    *error = strerror(errno);
    return false;
  }
  if (FileSizeOf(path, &size) && size > offset) out->reserve(static_cast<size_t>(size - offset));
  if (offset > 0 && !SeekTo(f, offset)) {
    *error = "cannot seek to byte " + std::to_string(offset);
    fclose(f);
    return false;
  }
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + n);
  bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) *error = "read error";
  return !failed;
}

bool ReadInput(const std::string& path, uint64_t offset, std::vector<uint8_t>* out, std::string* error) {
  if (path != "-") return ReadFileFrom(path, offset, out, error);
  static bool taken = false;
  out->clear();
  if (taken) {
    *error = "standard input can be read only once";
    return false;
  }
  taken = true;
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  uint8_t chunk[65536];
  size_t n;
  uint64_t skipped = 0;
  while ((n = fread(chunk, 1, sizeof chunk, stdin)) > 0) {
    size_t skip = offset - skipped < n ? static_cast<size_t>(offset - skipped) : n;
    skipped += skip;
    out->insert(out->end(), chunk + skip, chunk + n);
  }
  if (ferror(stdin)) {
    *error = "cannot read standard input";
    return false;
  }
  return true;
}

bool ReadProbe(const std::string& path, uint64_t offset, uint8_t (&probe)[2048], std::string* error) {
  memset(probe, 0, sizeof probe);
  if (IsDirectory(path)) {
    *error = "is a folder, not a file";
    return false;
  }
  FILE* f = OpenFile(path, "rb");
  if (f == nullptr) {
    *error = strerror(errno);
    return false;
  }
  bool ok = offset == 0 || SeekTo(f, offset);
  if (ok) {
    size_t got = fread(probe, 1, sizeof probe, f);
    (void)got;  // a short file probes as its bytes followed by zeros
    ok = ferror(f) == 0;
  }
  fclose(f);
  if (!ok) *error = "cannot read the start of the data";
  return ok;
}

bool FileSizeOf(const std::string& path, uint64_t* size) {
  std::error_code ec;
  uint64_t s = fs::file_size(FsPath(path), ec);
  if (ec) return false;
  *size = s;
  return true;
}

void RemoveQuietly(const std::string& path) {
  std::error_code ec;
  fs::remove(FsPath(path), ec);
}

std::string BaseName(const std::string& path) { return Utf8Path(FsPath(path).filename()); }

std::string StemOf(const std::string& name) {
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return name;
  return name.substr(0, dot);
}

std::string JoinPath(const std::string& dir, const std::string& name) { return Utf8Path(FsPath(dir) / FsPath(name)); }

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(FsPath(path), ec);
  return ec ? path : Utf8Path(p);
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(FsPath(path), ec);
}

std::string ProgramFolder() {
#ifdef _WIN32
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::string s = Utf16ToUtf8(std::u16string(path, path + n));
#else
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string s(path, n > 0 ? static_cast<size_t>(n) : 0);
#endif
  size_t slash = s.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : s.substr(0, slash);
}

namespace {

char Fold(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

// Whether `c` is in the bracket expression starting after '[' at `p`;
// `*end` is the position after its closing ']' (npos when it has none).
bool InSet(const std::string& pattern, size_t p, char c, size_t* end) {
  bool negate = p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^');
  if (negate) ++p;
  bool found = false;
  size_t i = p;
  // A ']' right after the '[' (or '[!') is a member, not the end.
  for (; i < pattern.size() && (pattern[i] != ']' || i == p); ++i) {
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      found = found || (Fold(pattern[i]) <= Fold(c) && Fold(c) <= Fold(pattern[i + 2]));
      i += 2;
    } else {
      found = found || Fold(pattern[i]) == Fold(c);
    }
  }
  *end = i < pattern.size() ? i + 1 : std::string::npos;
  return found != negate;
}

}  // namespace

bool IsPattern(const std::string& text) { return text.find_first_of("*?[") != std::string::npos; }

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  // Iterative matching with one backtrack point: the last '*'.
  size_t p = 0;
  size_t n = 0;
  size_t starP = std::string::npos;
  size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
      continue;
    }
    if (p < pattern.size()) {
      size_t end = p + 1;
      bool ok = false;
      if (pattern[p] == '?') {
        ok = true;
      } else if (pattern[p] == '[') {
        ok = InSet(pattern, p + 1, name[n], &end);
        if (end == std::string::npos) {  // no closing bracket: a plain '['
          end = p + 1;
          ok = name[n] == '[';
        }
      } else {
        ok = Fold(pattern[p]) == Fold(name[n]);
      }
      if (ok) {
        p = end;
        ++n;
        continue;
      }
    }
    if (starP == std::string::npos) return false;
    p = starP + 1;
    n = ++starN;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace kaldorin
