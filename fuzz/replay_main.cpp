// A stand-in for libFuzzer's driver, so that the fuzz targets run in the
// ordinary test builds: calls the target's initialisation, then the target
// once for each file of the folders (or each file) named on the command
// line, in name order. Each input is a heap block of exactly its size, so
// that the sanitizers see a read past it. A target aborts on a failed
// check; the program exits non-zero when an input cannot be read.
//
//   TARGET_replay FOLDER_OR_FILE...
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// The files to run for one argument; hidden files (.gitkeep) are skipped.
bool CollectInputs(const std::string& path, std::vector<std::string>* files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    files->push_back(path);
    return true;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> names;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) files->push_back(path + "/" + name);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FOLDER_OR_FILE...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  int status = 0;
  size_t total = 0;
  for (int a = 1; a < argc; ++a) {
    std::vector<std::string> files;
    if (!CollectInputs(argv[a], &files)) {
      fprintf(stderr, "cannot read %s\n", argv[a]);
      status = 1;
      continue;
    }
    for (const std::string& file : files) {
      std::string bytes;
      if (!ReadFileBytes(file, &bytes)) {
        fprintf(stderr, "cannot read %s\n", file.c_str());
        status = 1;
        continue;
      }
      fprintf(stderr, "running %s (%zu bytes)\n", file.c_str(), bytes.size());
      std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
      memcpy(input.get(), bytes.data(), bytes.size());
      LLVMFuzzerTestOneInput(input.get(), bytes.size());
      ++total;
    }
  }
  printf("%zu inputs ran\n", total);
  return status;
}
