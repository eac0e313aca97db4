// Times extracting every member of a large PACK archive through chestrel's
// GetFile by position, as a Susie host does, and looking every member up by
// name with GetFileInfo, with the directory index and without it (the plug-in's variant of PLUGIN_FOLDER/unindexed/, built
// without the index),
// in one run. Plain C++, so that the same program runs as a Windows build
// under Wine.
//
//   extract_all_timer MEMBERS BASELINE_MEMBERS SCRATCH_FOLDER [PLUGIN_FOLDER [FILE_MEMBERS]]
//
// Writes SCRATCH_FOLDER/many.pak (MEMBERS members of 1 to 40 bytes) and
// extracts every member (or the first FILE_MEMBERS: Wine creates files in a
// large folder slowly, whoever writes them) into SCRATCH_FOLDER/out, and
// writes the same files with fopen/fwrite for comparison, then times the first
// BASELINE_MEMBERS members to memory with and without the index (the
// unindexed time grows with the square of the members; it is also shown
// scaled to MEMBERS).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "common/plugin_api.h"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#endif

namespace {

using bench::NowSeconds;

// Processor time of this process so far, user and kernel together.
double ProcessorSeconds() {
  double user = 0;
  double kernel = 0;
  bench::ProcessorSeconds(&user, &kernel);
  return user + kernel;
}

void MakeFolder(const std::string& path) {
#ifdef _WIN32
  _mkdir(path.c_str());
#else
  mkdir(path.c_str(), 0755);
#endif
}

struct Chestrel {
  void* module = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileFn getFile = nullptr;
  GetFileInfoFn getFileInfo = nullptr;
};

bool Load(const std::string& folder, bool indexed, Chestrel* c) {
  const std::string path = folder + (indexed ? "" : "/unindexed") + "/chestrel" SPI_PLUGIN_EXTENSION;
#ifdef _WIN32
  HMODULE m = LoadLibraryA(path.c_str());
  c->module = m;
  if (m == nullptr) return false;
  c->getArchiveInfo = reinterpret_cast<GetArchiveInfoFn>(reinterpret_cast<void*>(GetProcAddress(m, "GetArchiveInfo")));
  c->getFile = reinterpret_cast<GetFileFn>(reinterpret_cast<void*>(GetProcAddress(m, "GetFile")));
  c->getFileInfo = reinterpret_cast<GetFileInfoFn>(reinterpret_cast<void*>(GetProcAddress(m, "GetFileInfo")));
#else
  c->module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (c->module == nullptr) return false;
  c->getArchiveInfo = reinterpret_cast<GetArchiveInfoFn>(dlsym(c->module, "GetArchiveInfo"));
  c->getFile = reinterpret_cast<GetFileFn>(dlsym(c->module, "GetFile"));
  c->getFileInfo = reinterpret_cast<GetFileInfoFn>(dlsym(c->module, "GetFileInfo"));
#endif
  return c->getArchiveInfo != nullptr && c->getFile != nullptr && c->getFileInfo != nullptr;
}

void Unload(Chestrel* c) {
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(c->module));
#else
  dlclose(c->module);
#endif
  *c = Chestrel();
}

void PutLe32(std::vector<unsigned char>* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// The archive: header, entries, terminator, then the members' bytes.
std::vector<unsigned char> MakeArchive(uint32_t n) {
  const uint32_t directoryEnd = 8 + 24 * n;
  std::vector<unsigned char> b = {'P', 'A', 'C', 'K'};
  PutLe32(&b, directoryEnd);
  uint32_t at = directoryEnd + 8;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t size = 1 + i % 40;
    PutLe32(&b, at);
    PutLe32(&b, size);
    char name[32] = {};
    snprintf(name + 1, sizeof name - 1, "M%06u.BIN", i % 1000000);
    name[0] = static_cast<char>(strlen(name + 1));
    b.insert(b.end(), name, name + 16);
    at += size;
  }
  for (int i = 0; i < 8; ++i) b.push_back(0);
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t k = 0; k < 1 + i % 40; ++k) b.push_back(static_cast<unsigned char>(i * 7 + k));
  }
  return b;
}

// The members' positions, from the listing as a host takes them.
bool ListPositions(const Chestrel& c, const std::string& path, std::vector<SpiLong>* positions) {
  HLOCAL h = nullptr;
  if (c.getArchiveInfo(path.c_str(), 0, kInputFile, &h) != kResultOk) return false;
  const fileInfo* r = static_cast<const fileInfo*>(LocalLock(h));
  for (; r->method[0] != 0; ++r) positions->push_back(static_cast<SpiLong>(r->position));
  LocalUnlock(h);
  LocalFree(h);
  return true;
}

// Seconds to extract the first `count` members to memory; false on a failure.
bool ExtractToMemory(const Chestrel& c, const std::string& path, const std::vector<SpiLong>& positions, size_t count,
                     double* seconds, double* processor) {
  const double start = NowSeconds();
  const double processorStart = ProcessorSeconds();
  for (size_t i = 0; i < count; ++i) {
    HLOCAL h = nullptr;
    if (c.getFile(path.c_str(), positions[i], reinterpret_cast<LPSTR>(&h), 1u << kFlagOutputShift, nullptr, 0) !=
        kResultOk) {
      fprintf(stderr, "member %zu cannot be extracted\n", i);
      return false;
    }
    LocalFree(h);
  }
  *seconds = NowSeconds() - start;
  *processor = ProcessorSeconds() - processorStart;
  return true;
}

// Seconds to look the first `count` members up by name, in lower case
// without regard to case, as a host finding a file the user named does.
bool LookUpByName(const Chestrel& c, const std::string& path, size_t count, double* seconds, double* processor) {
  const double start = NowSeconds();
  const double processorStart = ProcessorSeconds();
  for (size_t i = 0; i < count; ++i) {
    char name[32];
    snprintf(name, sizeof name, "m%06u.bin", static_cast<unsigned>(i % 1000000));
    fileInfo info;
    if (c.getFileInfo(path.c_str(), 0, name, kFlagIgnoreCase, &info) != kResultOk) {
      fprintf(stderr, "member %s cannot be found\n", name);
      return false;
    }
  }
  *seconds = NowSeconds() - start;
  *processor = ProcessorSeconds() - processorStart;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: extract_all_timer MEMBERS BASELINE_MEMBERS SCRATCH_FOLDER [PLUGIN_FOLDER [FILE_MEMBERS]]\n");
    return 2;
  }
  const uint32_t n = static_cast<uint32_t>(strtoul(argv[1], nullptr, 10));
  const size_t m = static_cast<size_t>(strtoul(argv[2], nullptr, 10));
  const std::string scratch = argv[3];
  std::string folder = argc > 4 ? argv[4] : argv[0];
  if (argc <= 4) {
    const size_t slash = folder.find_last_of("\\/");
    folder = slash == std::string::npos ? "." : folder.substr(0, slash);
  }
  const uint32_t files = argc > 5 ? static_cast<uint32_t>(strtoul(argv[5], nullptr, 10)) : n;
  if (n == 0 || m == 0 || m > n || files == 0 || files > n) return 2;

  MakeFolder(scratch);
  const std::string path = scratch + "/many.pak";
  const std::string out = scratch + "/out";
  MakeFolder(out);
  const std::vector<unsigned char> archive = MakeArchive(n);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(archive.data(), 1, archive.size(), f) != archive.size() || fclose(f) != 0) return 1;

  Chestrel c;
  if (!Load(folder, true, &c)) {
    fprintf(stderr, "cannot load chestrel from %s\n", folder.c_str());
    return 1;
  }
  std::vector<SpiLong> positions;
  if (!ListPositions(c, path, &positions) || positions.size() != n) return 1;

  // Every member into the folder, as `kaldorin extract` or a Susie host does.
  double start = NowSeconds();
  const double processorStart = ProcessorSeconds();
  for (size_t i = 0; i < files; ++i) {
    if (c.getFile(path.c_str(), positions[i], const_cast<LPSTR>(out.c_str()), 0, nullptr, 0) != kResultOk) {
      fprintf(stderr, "member %zu cannot be written\n", i);
      return 1;
    }
  }
  const double toFiles = NowSeconds() - start;
  const double toFilesProcessor = ProcessorSeconds() - processorStart;
  // The same files written with fopen and fwrite: what creating them costs
  // any program on this system (under Wine, Wine's file calls).
  const std::string plain = scratch + "/plain";
  MakeFolder(plain);
  start = NowSeconds();
  for (uint32_t i = 0, at = 8 + 24 * n + 8; i < files; at += 1 + i % 40, ++i) {
    char name[32];
    snprintf(name, sizeof name, "/M%06u.BIN", i % 1000000);
    FILE* member = fopen((plain + name).c_str(), "wb");
    if (member == nullptr || fwrite(&archive[at], 1, 1 + i % 40, member) != 1 + i % 40 || fclose(member) != 0) return 1;
  }
  const double plainFiles = NowSeconds() - start;
  double allIndexed = 0, firstIndexed = 0, firstScanned = 0;
  double allIndexedCpu = 0, firstIndexedCpu = 0, firstScannedCpu = 0;
  Unload(&c);  // a fresh index for each timing
  if (!Load(folder, true, &c) || !ExtractToMemory(c, path, positions, n, &allIndexed, &allIndexedCpu)) return 1;
  Unload(&c);
  if (!Load(folder, true, &c) || !ExtractToMemory(c, path, positions, m, &firstIndexed, &firstIndexedCpu)) return 1;
  Unload(&c);
  if (!Load(folder, false, &c) || !ExtractToMemory(c, path, positions, m, &firstScanned, &firstScannedCpu)) return 1;
  Unload(&c);
  double allNamed = 0, firstNamedScanned = 0, allNamedCpu = 0, firstNamedScannedCpu = 0;
  if (!Load(folder, true, &c) || !LookUpByName(c, path, n, &allNamed, &allNamedCpu)) return 1;
  Unload(&c);
  if (!Load(folder, false, &c) || !LookUpByName(c, path, m, &firstNamedScanned, &firstNamedScannedCpu)) return 1;
  Unload(&c);

  const double scale = static_cast<double>(n) / static_cast<double>(m);
  printf("archive: %u members, %zu bytes\n", n, archive.size());
  printf("%u members to files (indexed):  %8.3f s (processor %.3f s); the same files by fopen/fwrite: %.3f s "
         "(%.2fx)\n",
         files, toFiles, toFilesProcessor, plainFiles, toFiles / plainFiles);
  printf("all %u members to memory (indexed): %8.3f s (processor %.3f s, %.2f us a member)\n", n, allIndexed,
         allIndexedCpu, allIndexedCpu * 1e6 / n);
  printf("first %zu members to memory: indexed %.3f s (processor %.3f s), scanning %.3f s (processor %.3f s): "
         "%.1fx by processor time\n",
         m, firstIndexed, firstIndexedCpu, firstScanned, firstScannedCpu, firstScannedCpu / firstIndexedCpu);
  printf("all %u members to memory scanning, scaled from %zu by the square: processor about %.1f s (%.0fx the "
         "indexed)\n",
         n, m, firstScannedCpu * scale * scale, firstScannedCpu * scale * scale / allIndexedCpu);
  printf("all %u members looked up by name (indexed): %8.3f s (processor %.3f s); scanning, scaled from %zu by "
         "the square: processor about %.1f s\n",
         n, allNamed, allNamedCpu, m, firstNamedScannedCpu * scale * scale);
  return 0;
}
