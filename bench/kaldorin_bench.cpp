// Speed of the plug-ins against baselines timed in the same run: glimmet's
// decoding against libpng, the QOI reference decoder and memcpy, and a decode
// as kaldorin does it (with its check for data that ends early on a second
// thread) against the plug-in alone; chestrel's extraction and listing
// against copying, reading and zero-filling the same bytes; with the
// gdk-pixbuf loader built, the loader (through gdk-pixbuf, from the file and
// from memory) against glimmet on the same picture. Prints
// megapixels (or MiB) per second and the ratios.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <qoi.h>

#ifdef KALDORIN_PIXBUF_MODULE
#include <gdk-pixbuf/gdk-pixbuf.h>
#endif

#include "archive_pack/pack_format.h"
#include "bench/bench_inputs.h"
#include "common/plugin_api.h"
#include "image_i24b/fast_tables.h"
#include "image_i24b/picture_decoder.h"
#include "tools/kaldorin_files.h"

namespace fs = std::filesystem;

using namespace kaldorin;  // the tool's picture files and helpers under test

namespace {

struct Plugins {
  GetPictureFn getPicture = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileFn getFile = nullptr;
};

bool LoadPlugins(const std::string& folder, Plugins* p) {
  void* glimmet = dlopen((folder + "/glimmet" SPI_PLUGIN_EXTENSION).c_str(), RTLD_NOW);
  void* chestrel = dlopen((folder + "/chestrel" SPI_PLUGIN_EXTENSION).c_str(), RTLD_NOW);
  if (glimmet == nullptr || chestrel == nullptr) {
    fprintf(stderr, "cannot load the plug-ins from %s: %s\n", folder.c_str(), dlerror());
    return false;
  }
  p->getPicture = reinterpret_cast<GetPictureFn>(dlsym(glimmet, "GetPicture"));
  p->getArchiveInfo = reinterpret_cast<GetArchiveInfoFn>(dlsym(chestrel, "GetArchiveInfo"));
  p->getFile = reinterpret_cast<GetFileFn>(dlsym(chestrel, "GetFile"));
  return p->getPicture && p->getArchiveInfo && p->getFile;
}

Plugins gPlugins;

// One GetPicture of the picture, its blocks freed: its result.
int GlimmetOnce(const BenchPicture* p, bool fromFile) {
  HLOCAL info = nullptr;
  HLOCAL bits = nullptr;
  int r = fromFile ? gPlugins.getPicture(p->i24bPath.c_str(), 0, kInputFile, &info, &bits, nullptr, 0)
                   : gPlugins.getPicture(reinterpret_cast<LPCSTR>(p->i24b.data()), static_cast<SpiLong>(p->i24b.size()),
                                         kInputMemory, &info, &bits, nullptr, 0);
  LocalFree(info);
  LocalFree(bits);
  return r;
}

void DecodeWithGlimmet(benchmark::State& state, const BenchPicture* p, bool fromFile) {
  for (auto _ : state) {
    if (GlimmetOnce(p, fromFile) != 0) state.SkipWithError("GetPicture failed");
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(p->Pixels()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

#ifdef KALDORIN_PIXBUF_MODULE
// gdk-pixbuf with a private loaders cache that names only our loader, and
// a private MIME database with our types (gdk-pixbuf picks a loader by them).
bool UsePixbufLoader(const std::string& scratch) {
  const std::string cache = scratch + "/loaders.cache";
  const std::string mime = scratch + "/share/mime";
  std::error_code ec;
  fs::create_directories(mime + "/packages", ec);
  fs::copy_file(KALDORIN_MIME_XML, mime + "/packages/kaldorin.xml", fs::copy_options::overwrite_existing, ec);
  const std::string command = std::string("'") + KALDORIN_QUERY_LOADERS + "' '" + KALDORIN_PIXBUF_MODULE + "' > '" +
                              cache + "' && update-mime-database '" + mime + "' 2>/dev/null";
  if (ec || system(command.c_str()) != 0) return false;
  setenv("GDK_PIXBUF_MODULE_FILE", cache.c_str(), 1);
  setenv("XDG_DATA_DIRS", (scratch + "/share:/usr/share").c_str(), 1);
  return true;
}

// gdk_pixbuf_new_from_file on the picture's file, as an image viewer opens it.
void DecodeWithPixbufFile(benchmark::State& state, const BenchPicture* p) {
  for (auto _ : state) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(p->i24bPath.c_str(), nullptr);
    if (pixbuf == nullptr) state.SkipWithError("gdk_pixbuf_new_from_file failed");
    else g_object_unref(pixbuf);
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(p->Pixels()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// A GdkPixbufLoader fed the picture in memory in one write.
void DecodeWithPixbufLoader(benchmark::State& state, const BenchPicture* p) {
  for (auto _ : state) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("kaldorin-i24b", nullptr);
    const bool ok = loader != nullptr && gdk_pixbuf_loader_write(loader, p->i24b.data(), p->i24b.size(), nullptr) &&
                    gdk_pixbuf_loader_close(loader, nullptr) && gdk_pixbuf_loader_get_pixbuf(loader) != nullptr;
    if (!ok) state.SkipWithError("the gdk-pixbuf loader failed");
    if (loader != nullptr) g_object_unref(loader);
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(p->Pixels()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
#endif

// The decoder's tables for kaldorin's check, built once as the tool does.
const i24b::FastTables* CheckTables() {
  static i24b::FastTables* fast = i24b::BuildDecodeTables();
  return fast;
}

// kaldorin's check alone, on this thread: the coded data decoded for its
// bits, without pixels.
void ScanOnly(benchmark::State& state, const BenchPicture* p) {
  const i24b::FastTables* fast = CheckTables();
  if (fast == nullptr) state.SkipWithError("cannot build the tables");
  for (auto _ : state) {
    uint32_t guessed = 0;
    i24b::ScanCodedRows(*fast, p->i24b.data() + i24b::kHeaderSize, p->i24b.size() - i24b::kHeaderSize, p->width, p->height, nullptr, 0, &guessed);
    if (guessed != i24b::kNoGuessedRow) state.SkipWithError("the check found guessed rows in a whole picture");
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(p->Pixels()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// A decode as kaldorin does it: GetPicture on this thread while a worker
// decodes the same bytes for their bits alone (ScanCodedRows), reading them
// itself when the plug-in reads a file. 0 when both found the picture whole.
int ToolDecodeOnce(const BenchPicture* p, bool fromFile) {
  const i24b::FastTables* fast = CheckTables();
  if (fast == nullptr) return -1;
  uint32_t guessed = 0;
  std::thread worker([&]() {
    std::vector<uint8_t> read;
    std::string error;
    if (fromFile && !ReadFileFrom(p->i24bPath, 0, &read, &error)) return;
    const std::vector<uint8_t>& bytes = fromFile ? read : p->i24b;
    i24b::ScanCodedRows(*fast, bytes.data() + i24b::kHeaderSize, bytes.size() - i24b::kHeaderSize, p->width, p->height, nullptr, 0, &guessed);
  });
  int r = GlimmetOnce(p, fromFile);
  worker.join();
  return r != 0 ? r : guessed != i24b::kNoGuessedRow ? -1 : 0;
}

void DecodeWithCheck(benchmark::State& state, const BenchPicture* p, bool fromFile) {
  for (auto _ : state) {
    if (ToolDecodeOnce(p, fromFile) != 0) state.SkipWithError("the decode failed or found guessed rows");
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(p->Pixels()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// A decode as kaldorin does it against GetPicture alone: the median of the
// time ratios of pairs run one right after the other (in turn, either
// first), so that other work on the machine weighs on both alike.
double PairedCheckRatio(const BenchPicture& p, bool fromFile) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> ratios;
  for (int i = 0; i < 21; ++i) {
    double seconds[2];
    for (int k = 0; k < 2; ++k) {
      const bool checked = (k + i) % 2 == 1;
      Clock::time_point start = Clock::now();
      if ((checked ? ToolDecodeOnce(&p, fromFile) : GlimmetOnce(&p, fromFile)) != 0) return 0;
      seconds[checked] = std::chrono::duration<double>(Clock::now() - start).count();
    }
    ratios.push_back(seconds[1] / seconds[0]);
  }
  std::sort(ratios.begin(), ratios.end());
  return ratios[ratios.size() / 2];
}

void DecodeWithLibpng(benchmark::State& state, const BenchPicture* p) {
  std::vector<uint8_t> rgb;
  for (auto _ : state) {
    if (!DecodePng(p->png, &rgb)) state.SkipWithError("libpng failed");
    benchmark::DoNotOptimize(rgb.data());
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(p->Pixels()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void DecodeWithQoi(benchmark::State& state, const BenchPicture* p) {
  for (auto _ : state) {
    qoi_desc desc;
    void* rgb = qoi_decode(p->qoi.data(), static_cast<int>(p->qoi.size()), &desc, 3);
    if (rgb == nullptr) state.SkipWithError("QOI failed");
    benchmark::DoNotOptimize(rgb);
    free(rgb);
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(p->Pixels()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// The physical limit: copying the bytes between two buffers that are
// already in memory.
void CopyBytes(benchmark::State& state, uint64_t bytes, double pixels) {
  std::vector<uint8_t> from(bytes, 1);
  std::vector<uint8_t> to(bytes, 2);
  for (auto _ : state) {
    memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
  }
  state.counters["MP/s"] = benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// --- archives -------------------------------------------------------------

// A PACK archive of `count` members of `memberSize` bytes each (bytes not
// written to the file are a hole: zeros).
std::string WriteArchive(const std::string& path, uint32_t count, uint32_t memberSize) {
  const uint32_t dirEnd = pack::kHeaderSize + pack::kEntrySize * count;
  std::vector<uint8_t> head(dirEnd + pack::kTerminatorSize, 0);
  pack::PutHeader(head.data(), dirEnd);
  uint32_t offset = static_cast<uint32_t>(head.size());
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char name[pack::kNameFieldSize] = {};
    name[0] = static_cast<unsigned char>(snprintf(reinterpret_cast<char*>(name) + 1, 15, "M%u.BIN", i));
    pack::PutEntry(head.data() + pack::kHeaderSize + pack::kEntrySize * i, offset, memberSize, name);
    offset += memberSize;
  }
  std::vector<uint8_t> member(memberSize);
  for (uint32_t i = 0; i < memberSize; ++i) member[i] = static_cast<uint8_t>(i * 31 + 7);
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(head.data(), 1, head.size(), f);
  for (uint32_t i = 0; i < count; ++i) fwrite(member.data(), 1, member.size(), f);
  fclose(f);
  return path;
}

struct Archives {
  std::string big;    // one 256 MiB member
  std::string many;   // 100 000 members of 16 bytes
  std::string tenK;   // 10 000 members of 4 KiB
  std::string tiny;   // one member of 3 bytes, and the same whose DirectoryEnd lies:
  std::string lyingLarge;  // 0x00FFFFF8
  std::string lyingMax;    // 0x7FFFFFFF
  std::string outDir;
};
Archives gArchives;
constexpr uint32_t kBigMember = 256u << 20;

void ExtractBigToMemory(benchmark::State& state) {
  for (auto _ : state) {
    HLOCAL block = nullptr;
    if (gPlugins.getFile(gArchives.big.c_str(), 8 + 24 + 8, reinterpret_cast<LPSTR>(&block), 0x100, nullptr, 0) != 0)
      state.SkipWithError("GetFile failed");
    LocalFree(block);
  }
  state.SetBytesProcessed(int64_t{kBigMember} * state.iterations());
}

void ExtractBigToFile(benchmark::State& state) {
  std::string dest = gArchives.outDir;
  for (auto _ : state) {
    if (gPlugins.getFile(gArchives.big.c_str(), 8 + 24 + 8, &dest[0], 0, nullptr, 0) != 0)
      state.SkipWithError("GetFile failed");
  }
  state.SetBytesProcessed(int64_t{kBigMember} * state.iterations());
}

// What `cp` does with the member's bytes: read them and write a new file.
void CopyBigAsCp(benchmark::State& state) {
  std::vector<char> buffer(128 << 10);
  std::string out = gArchives.outDir + "/cp.bin";
  for (auto _ : state) {
    int in = open(gArchives.big.c_str(), O_RDONLY);
    int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    lseek(in, 40, SEEK_SET);
    uint64_t left = kBigMember;
    while (left > 0) {
      ssize_t n = read(in, buffer.data(), std::min<uint64_t>(left, buffer.size()));
      if (n <= 0 || write(to, buffer.data(), n) != n) break;
      left -= n;
    }
    close(in);
    close(to);
  }
  state.SetBytesProcessed(int64_t{kBigMember} * state.iterations());
}

void ListMany(benchmark::State& state) {
  for (auto _ : state) {
    HLOCAL list = nullptr;
    if (gPlugins.getArchiveInfo(gArchives.many.c_str(), 0, kInputFile, &list) != 0)
      state.SkipWithError("GetArchiveInfo failed");
    LocalFree(list);
  }
}

// A copy of the archive at `path` whose DirectoryEnd says `directoryEnd`.
std::string WriteLyingCopy(const std::string& path, const std::string& copy, uint32_t directoryEnd) {
  std::vector<uint8_t> bytes(64);
  FILE* f = fopen(path.c_str(), "rb");
  bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
  fclose(f);
  pack::PutHeader(bytes.data(), directoryEnd);
  f = fopen(copy.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  return copy;
}

// GetArchiveInfo of `path`, which must answer `expected`.
void ListExpecting(benchmark::State& state, const std::string* path, int expected) {
  for (auto _ : state) {
    HLOCAL list = nullptr;
    if (gPlugins.getArchiveInfo(path->c_str(), 0, kInputFile, &list) != expected) {
      state.SkipWithError("GetArchiveInfo answered otherwise");
    }
    LocalFree(list);
  }
}

// The floor of a listing: a zero-filled block of the listing's size.
void ZeroFillListing(benchmark::State& state) {
  for (auto _ : state) {
    const size_t bytes = (100000 + 1) * sizeof(fileInfo);
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE, bytes);
    void* p = LocalLock(h);
    memset(p, 0, bytes);  // really touch the pages, as filling a listing does
    benchmark::DoNotOptimize(p);
    LocalUnlock(h);
    LocalFree(h);
  }
}

void ExtractEachByPosition(benchmark::State& state) {
  for (auto _ : state) {
    for (uint32_t i = 0; i < 10000; ++i) {
      HLOCAL block = nullptr;
      SpiLong position = 8 + 24 * 10000 + 8 + SpiLong{i} * 4096;
      if (gPlugins.getFile(gArchives.tenK.c_str(), position, reinterpret_cast<LPSTR>(&block), 0x100, nullptr, 0) != 0) {
        state.SkipWithError("GetFile failed");
        break;
      }
      LocalFree(block);
    }
  }
}

void ReadEachMember(benchmark::State& state) {
  std::vector<char> buffer(4096);
  for (auto _ : state) {
    int fd = open(gArchives.tenK.c_str(), O_RDONLY);
    for (uint32_t i = 0; i < 10000; ++i) {
      off_t position = 8 + 24 * 10000 + 8 + off_t{i} * 4096;
      if (pread(fd, buffer.data(), buffer.size(), position) != 4096) state.SkipWithError("read failed");
    }
    close(fd);
  }
}

// What any reader that keeps nothing between calls must do to find a
// member by position: read the directory up to its entry (one read), then
// the member (one read).
void ReadDirectoryThenMember(benchmark::State& state) {
  std::vector<char> directory(8 + 24 * 10000);
  std::vector<char> buffer(4096);
  for (auto _ : state) {
    int fd = open(gArchives.tenK.c_str(), O_RDONLY);
    for (uint32_t i = 0; i < 10000; ++i) {
      size_t prefix = 8 + 24 * size_t{i + 1};
      off_t position = 8 + 24 * 10000 + 8 + off_t{i} * 4096;
      if (pread(fd, directory.data(), prefix, 0) != static_cast<ssize_t>(prefix) ||
          pread(fd, buffer.data(), buffer.size(), position) != 4096) {
        state.SkipWithError("read failed");
      }
    }
    close(fd);
  }
}

// --- memory ---------------------------------------------------------------

// Anonymous memory of this process in KiB (stack, heap, mapped blocks),
// counted page by page from its page tables (smaps_rollup). Not VmRSS or
// VmHWM: the kernel's batched counters behind them can be a few hundred
// KiB off. Code pages are left out: they come from shared files, and a
// forked child faults them in again in 64 KiB runs, whoever touches them.
// -1 if unavailable.
long AnonymousKiB() {
  // Read with plain calls into a buffer on the stack: a stream would
  // allocate (and the first time, set itself up) while it measures.
  char text[4096];
  int fd = open("/proc/self/smaps_rollup", O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  const char* field = strstr(text, "\nAnonymous:");
  return field == nullptr ? -1 : atol(field + 11);
}

// Memory a decode from a file takes beyond the two blocks it hands over, in
// KiB: how much a fresh child process's anonymous memory grows over one
// first decode, less the blocks: the decoder's stack window, the file
// buffer and the allocator's own pages. (Nothing the decode allocates goes
// back to the system before it returns, so this is also its peak.) -1 if it
// cannot be measured.
long DecodeWorkingMemoryKiB(const BenchPicture& p) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    long extra = -1;
    long before = AnonymousKiB();
    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;
    if (before >= 0 && gPlugins.getPicture(p.i24bPath.c_str(), 0, kInputFile, &info, &bits, nullptr, 0) == 0) {
      long after = AnonymousKiB();
      const long blocks = static_cast<long>((p.DibBytes() + 4095) / 4096 * 4);
      if (after >= 0) extra = after - before - blocks;
    }
    ssize_t ignored = write(fds[1], &extra, sizeof extra);
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  long extra = -1;
  if (read(fds[0], &extra, sizeof extra) != sizeof extra) extra = -1;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return extra;
}

// --- reporting ------------------------------------------------------------

// Keeps the median time of every benchmark for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> medians;     // name -> seconds per iteration
  std::map<std::string, double> cpuMedians;  // name -> processor seconds per iteration
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      double unit = 1e9;  // default unit is ns
      if (run.time_unit == benchmark::kMillisecond) unit = 1e3;
      if (run.time_unit == benchmark::kMicrosecond) unit = 1e6;
      medians[run.run_name.function_name] = run.GetAdjustedRealTime() / unit;
      cpuMedians[run.run_name.function_name] = run.GetAdjustedCPUTime() / unit;
    }
  }
};

double Ratio(const std::map<std::string, double>& m, const std::string& slow, const std::string& fast) {
  auto a = m.find(slow);
  auto b = m.find(fast);
  return a == m.end() || b == m.end() || b->second <= 0 ? 0 : a->second / b->second;
}

void PrintTables(const std::map<std::string, double>& m, const std::map<std::string, double>& cpu,
                 const std::vector<BenchPicture>& pictures) {
  // The decoders against each other by processor time: each runs on one
  // thread, and on a busy machine processor time shows its own cost apart
  // from time spent waiting for a processor.
  printf("\nDecoding speed by median processor time:\n");
  printf("\n| picture | MP | glimmet (memory) MP/s | glimmet (file) MP/s | libpng MP/s | QOI MP/s | memcpy MP/s |"
         " vs QOI | vs libpng | file / memory |\n|---|---|---|---|---|---|---|---|---|---|\n");
  for (const BenchPicture& p : pictures) {
    std::string base = "decode/" + p.name + "/";
    double mp = static_cast<double>(p.Pixels()) / 1e6;
    auto rate = [&](const char* what) {
      auto it = cpu.find(base + what);
      return it == cpu.end() || it->second <= 0 ? 0.0 : mp / it->second;
    };
    printf("| %s | %.1f | %.0f | %.0f | %.0f | %.0f | %.0f | %.2fx | %.2fx | %.2f |\n", p.name.c_str(), mp,
           rate("glimmet-memory"), rate("glimmet-file"), rate("libpng"), rate("qoi"), rate("memcpy"),
           Ratio(cpu, base + "qoi", base + "glimmet-memory"), Ratio(cpu, base + "libpng", base + "glimmet-memory"),
           Ratio(cpu, base + "glimmet-memory", base + "glimmet-file"));
  }
  printf("\n| picture | GetPicture (memory) ms | the same as kaldorin decodes ms | kaldorin's check alone ms |"
         " kaldorin / GetPicture (memory), paired | the same (file), paired |\n|---|---|---|---|---|---|\n");
  for (const BenchPicture& p : pictures) {
    std::string base = "decode/" + p.name + "/";
    auto ms = [&](const char* what) {
      auto it = m.find(base + what);
      return it == m.end() ? 0.0 : it->second * 1e3;
    };
    printf("| %s | %.1f | %.1f | %.1f | %.3f | %.3f |\n", p.name.c_str(), ms("glimmet-memory"),
           ms("glimmet-memory-checked"), ms("check-alone"), PairedCheckRatio(p, false), PairedCheckRatio(p, true));
  }
#ifdef KALDORIN_PIXBUF_MODULE
  printf("\n| picture | GetPicture (memory) ms | gdk_pixbuf_new_from_file ms | GdkPixbufLoader (memory) ms |"
         " file / GetPicture | loader / GetPicture |\n|---|---|---|---|---|---|\n");
  for (const BenchPicture& p : pictures) {
    std::string base = "decode/" + p.name + "/";
    auto ms = [&](const char* what) {
      auto it = m.find(base + what);
      return it == m.end() ? 0.0 : it->second * 1e3;
    };
    printf("| %s | %.1f | %.1f | %.1f | %.3f | %.3f |\n", p.name.c_str(), ms("glimmet-memory"), ms("gdk-pixbuf-file"),
           ms("gdk-pixbuf-loader"), Ratio(m, base + "gdk-pixbuf-file", base + "glimmet-memory"),
           Ratio(m, base + "gdk-pixbuf-loader", base + "glimmet-memory"));
  }
#endif
  printf("\nNew anonymous memory of one decode (from a file) beyond the two handed-over blocks:\n");
  for (const BenchPicture& p : pictures) {
    // Smaller pixel blocks come from the heap, which reuses freed memory
    // without growing: the peak then says nothing.
    if (p.DibBytes() < (size_t{4} << 20)) continue;
    printf("  %s: %ld KiB\n", p.name.c_str(), DecodeWorkingMemoryKiB(p));
  }
  printf("\n| archive work | plug-in | baseline | plug-in / baseline time |\n|---|---|---|---|\n");
  printf("| 256 MiB member to memory | GetFile | memcpy | %.2f |\n",
         Ratio(m, "extract/256MiB/getfile-memory", "extract/256MiB/memcpy"));
  printf("| 256 MiB member to a file | GetFile | read + write (cp) | %.2f |\n",
         Ratio(m, "extract/256MiB/getfile-file", "extract/256MiB/cp"));
  printf("| listing 100 000 members | GetArchiveInfo | zero-filled block | %.2f |\n",
         Ratio(m, "list/100000/getarchiveinfo", "list/100000/zero-fill"));
  printf("| 43-byte archive whose DirectoryEnd is 0xFFFFF8 (answers 6 in %.0f us) | GetArchiveInfo | the honest one |"
         " %.2f |\n", m.count("list/tiny/directory-end-0xFFFFF8") ? m.at("list/tiny/directory-end-0xFFFFF8") * 1e6 : 0.0,
         Ratio(m, "list/tiny/directory-end-0xFFFFF8", "list/tiny/honest"));
  printf("| 43-byte archive whose DirectoryEnd is 0x7FFFFFFF (answers 6 in %.0f us) | GetArchiveInfo | the honest one |"
         " %.2f |\n", m.count("list/tiny/directory-end-0x7FFFFFFF") ? m.at("list/tiny/directory-end-0x7FFFFFFF") * 1e6 : 0.0,
         Ratio(m, "list/tiny/directory-end-0x7FFFFFFF", "list/tiny/honest"));
  printf("| every member of 10 000 by position | GetFile to memory | one read each | %.2f |\n",
         Ratio(m, "extract-all/10000/getfile-memory", "extract-all/10000/read-each"));
  printf("| (its floor: the directory up to the entry, then the member) | two reads each | one read each | %.2f |\n",
         Ratio(m, "extract-all/10000/read-directory-then-member", "extract-all/10000/read-each"));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string pictures = "build/sample-images";
  std::string plugins = fs::path(argv[0]).parent_path().string();
  std::string scratch = (fs::temp_directory_path() / "kaldorin-bench").string();
  bool archives = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--pictures" && i + 1 < argc) pictures = argv[++i];
    else if (a == "--plugins" && i + 1 < argc) plugins = argv[++i];
    else if (a == "--scratch" && i + 1 < argc) scratch = argv[++i];
    else if (a == "--no-archives") archives = false;
    else {
      fprintf(stderr, "usage: %s [--pictures DIR] [--plugins DIR] [--scratch DIR] [--no-archives] [benchmark flags]\n", argv[0]);
      return 2;
    }
  }
  if (!LoadPlugins(plugins, &gPlugins)) return 1;
  std::error_code ec;
  fs::create_directories(scratch, ec);
  std::vector<BenchPicture> inputs;
  std::string error;
  if (!LoadBenchPictures(pictures, scratch + "/i24b", &inputs, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
#ifdef KALDORIN_PIXBUF_MODULE
  if (!UsePixbufLoader(scratch)) {
    fprintf(stderr, "cannot make a gdk-pixbuf loaders cache for %s\n", KALDORIN_PIXBUF_MODULE);
    return 1;
  }
#endif
  for (const BenchPicture& p : inputs) {
    std::string base = "decode/" + p.name + "/";
#ifdef KALDORIN_PIXBUF_MODULE
    benchmark::RegisterBenchmark((base + "gdk-pixbuf-file").c_str(), DecodeWithPixbufFile, &p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "gdk-pixbuf-loader").c_str(), DecodeWithPixbufLoader, &p)->Unit(benchmark::kMillisecond);
#endif
    benchmark::RegisterBenchmark((base + "glimmet-memory").c_str(), DecodeWithGlimmet, &p, false)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "glimmet-file").c_str(), DecodeWithGlimmet, &p, true)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "check-alone").c_str(), ScanOnly, &p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "glimmet-memory-checked").c_str(), DecodeWithCheck, &p, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "glimmet-file-checked").c_str(), DecodeWithCheck, &p, true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "libpng").c_str(), DecodeWithLibpng, &p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "qoi").c_str(), DecodeWithQoi, &p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((base + "memcpy").c_str(), CopyBytes, p.DibBytes(), static_cast<double>(p.Pixels()))->Unit(benchmark::kMillisecond);
  }
  if (archives) {
    gArchives.big = WriteArchive(scratch + "/big.pak", 1, kBigMember);
    gArchives.many = WriteArchive(scratch + "/many.pak", 100000, 16);
    gArchives.tenK = WriteArchive(scratch + "/tenk.pak", 10000, 4096);
    gArchives.tiny = WriteArchive(scratch + "/tiny.pak", 1, 3);
    gArchives.lyingLarge = WriteLyingCopy(gArchives.tiny, scratch + "/lying-large.pak", 0x00FFFFF8u);
    gArchives.lyingMax = WriteLyingCopy(gArchives.tiny, scratch + "/lying-max.pak", 0x7FFFFFFFu);
    gArchives.outDir = scratch + "/out";
    fs::create_directories(gArchives.outDir, ec);
    benchmark::RegisterBenchmark("extract/256MiB/getfile-memory", ExtractBigToMemory)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract/256MiB/memcpy", CopyBytes, uint64_t{kBigMember}, 0.0)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract/256MiB/getfile-file", ExtractBigToFile)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract/256MiB/cp", CopyBigAsCp)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("list/100000/getarchiveinfo", ListMany)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("list/100000/zero-fill", ZeroFillListing)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("list/tiny/honest", ListExpecting, &gArchives.tiny, 0)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("list/tiny/directory-end-0xFFFFF8", ListExpecting, &gArchives.lyingLarge, 6)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("list/tiny/directory-end-0x7FFFFFFF", ListExpecting, &gArchives.lyingMax, 6)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("extract-all/10000/getfile-memory", ExtractEachByPosition)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract-all/10000/read-each", ReadEachMember)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract-all/10000/read-directory-then-member", ReadDirectoryThenMember)
        ->Unit(benchmark::kMillisecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintTables(reporter.medians, reporter.cpuMedians, inputs);
  benchmark::Shutdown();
  if (archives) fs::remove_all(scratch + "/out", ec);
  return 0;
}
