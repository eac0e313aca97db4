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

 private:
  std::string path_;
};

bool ReadWholeFile(const std::string& path, Bytes* out);
bool FileExists(const std::string& path);

void PutLe16(Bytes* b, uint16_t v);
void PutLe32(Bytes* b, uint32_t v);

#endif
