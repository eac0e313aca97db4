// Scratch files and byte helpers for tests.
#ifndef KALDORIN_TESTS_TEST_FILES_H
#define KALDORIN_TESTS_TEST_FILES_H

#include <stdint.h>

#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  // Full path of `name` inside the folder.
  std::string File(const std::string& name) const;
  // Writes `bytes` to `name` inside the folder and returns its full path.
  std::string Write(const std::string& name, const Bytes& bytes) const;
  // Full UTF-16 path of `utf8Name` (any language, sub-folders with '/')
  // inside the folder, for the wide exports.
  std::u16string WideFile(const std::string& utf8Name) const;

 private:
  std::string path_;
};

bool ReadWholeFile(const std::string& path, Bytes* out);
bool FileExists(const std::string& path);

// UTF-8 to UTF-16, for names in any language.
std::u16string Utf16(const std::string& utf8);
// Files and folders named in UTF-16, through the wide calls on Windows and
// as UTF-8 elsewhere.
bool WriteWholeFile(const std::u16string& path, const Bytes& bytes);
bool ReadWholeFile(const std::u16string& path, Bytes* out);
bool MakeFolders(const std::u16string& path);

// Appends `v` little-endian (common/little_endian.h stores in place).
void PutLe16(Bytes* b, uint16_t v);
void PutLe32(Bytes* b, uint32_t v);

#ifndef _WIN32
// Pages followed by one that can be neither read nor written, for buffers
// whose every read past the end must fault.
struct GuardedRegion {
  uint8_t* base = nullptr;
  size_t readable = 0;  // bytes before the guard page
};

// Copies `copied` bytes of `data`, zero-padded to `total` bytes, so that the
// copy ends right before the guard page of `region`, which is mapped (or
// mapped anew, larger) as needed. Returns the copy, valid until the next
// call with the same region, or null when the pages cannot be mapped.
uint8_t* CopyBeforeGuardPage(GuardedRegion* region, const uint8_t* data, size_t copied, size_t total);
void ReleaseGuardedRegion(GuardedRegion* region);
#endif

#endif
