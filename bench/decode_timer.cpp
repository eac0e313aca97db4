// Times glimmet's GetPicture on one I24B file decoded from memory, N times,
// with the platform's own clock, and prints the median speed. Plain C++ with
// no benchmark library, so that the same program runs natively and as a
// Windows build under Wine.
//
//   decode_timer [--small-pages] FILE.i24 [DECODES] [PLUGIN_FOLDER]
//
// --small-pages (Linux): no transparent huge pages for this process, so
// that the pixel block is paged as Windows pages it (4 KiB), for comparing
// with a Windows build under Wine.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "common/plugin_api.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#endif

namespace {

using bench::NowSeconds;
using bench::ProcessorSeconds;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string ProgramFolder(const char* argv0) {
#ifdef _WIN32
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s = n > 0 && n < MAX_PATH ? std::string(path, n) : std::string(argv0);
#else
  std::string s = argv0;
#endif
  size_t slash = s.find_last_of("\\/");
  return slash == std::string::npos ? "." : s.substr(0, slash);
}

GetPictureFn LoadGetPicture(const std::string& folder) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA((folder + "\\glimmet" SPI_PLUGIN_EXTENSION).c_str());
  if (module == nullptr) return nullptr;
  return reinterpret_cast<GetPictureFn>(reinterpret_cast<void*>(GetProcAddress(module, "GetPicture")));
#else
  void* module = dlopen((folder + "/glimmet" SPI_PLUGIN_EXTENSION).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<GetPictureFn>(dlsym(module, "GetPicture"));
#endif
}

bool ReadFile(const char* path, std::vector<char>* bytes) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  char chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--small-pages") {
#ifndef _WIN32
    if (prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) perror("prctl");
#endif
    argv[1] = argv[0];
    ++argv;
    --argc;
  }
  if (argc < 2) {
    fprintf(stderr, "usage: %s [--small-pages] FILE.i24 [DECODES] [PLUGIN_FOLDER]\n", argv[0]);
    return 2;
  }
  int decodes = argc > 2 ? atoi(argv[2]) : 9;
  if (decodes < 1) decodes = 1;
  std::string folder = argc > 3 ? argv[3] : ProgramFolder(argv[0]);
  GetPictureFn getPicture = LoadGetPicture(folder);
  if (getPicture == nullptr) {
    fprintf(stderr, "cannot load GetPicture from %s\n", folder.c_str());
    return 1;
  }
  std::vector<char> file;
  if (!ReadFile(argv[1], &file) || file.empty()) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }

  std::vector<double> seconds;
  std::vector<double> userSeconds;
  std::vector<double> kernelSeconds;
  std::vector<double> processorSeconds;
  double megapixels = 0;
  for (int i = 0; i < decodes; ++i) {
    HLOCAL info = nullptr;
    HLOCAL pixels = nullptr;
    double user0 = 0;
    double kernel0 = 0;
    ProcessorSeconds(&user0, &kernel0);
    double start = NowSeconds();
    int result = getPicture(file.data(), static_cast<SpiLong>(file.size()), kInputMemory, &info, &pixels, nullptr, 0);
    double took = NowSeconds() - start;
    double user1 = 0;
    double kernel1 = 0;
    ProcessorSeconds(&user1, &kernel1);
    userSeconds.push_back(user1 - user0);
    kernelSeconds.push_back(kernel1 - kernel0);
    processorSeconds.push_back(user1 - user0 + kernel1 - kernel0);
    if (result != 0) {
      fprintf(stderr, "GetPicture returned %d\n", result);
      return 1;
    }
    const int32_t* header = static_cast<const int32_t*>(LocalLock(info));
    megapixels = static_cast<double>(header[1]) * static_cast<double>(header[2]) / 1e6;
    LocalUnlock(info);
    LocalFree(info);
    LocalFree(pixels);
    seconds.push_back(took);
  }
  double median = Median(seconds);
  // Processor time comes in clock ticks on some systems (Wine: 10 ms); a
  // decode shorter than one tick has no speed by it.
  const double processor = Median(processorSeconds);
  char processorSpeed[40] = "no processor time measured";
  if (processor > 0) snprintf(processorSpeed, sizeof processorSpeed, "%.1f MP/s", megapixels / processor);
  double fastest = *std::min_element(seconds.begin(), seconds.end());
  printf("%s: %.1f MP, %d decodes, median %.1f ms, %.1f MP/s (fastest %.1f MP/s); processor time: user %.1f ms, "
         "kernel %.1f ms (%s)\n",
         argv[1], megapixels, decodes, median * 1e3, megapixels / median, megapixels / fastest,
         Median(userSeconds) * 1e3, Median(kernelSeconds) * 1e3, processorSpeed);
  return 0;
}
