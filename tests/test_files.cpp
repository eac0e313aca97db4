#include "tests/test_files.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/little_endian.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
long ProcessId() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}
}  // namespace

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  for (int attempt = 0;; ++attempt) {
    fs::path p = base / ("kaldorin-test-" + std::to_string(static_cast<long>(ProcessId())) + "-" +
                         std::to_string(counter++) + "-" + std::to_string(attempt));
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ScratchDir::File(const std::string& name) const { return (fs::path(path_) / name).string(); }

std::string ScratchDir::Write(const std::string& name, const Bytes& bytes) const {
  std::string full = File(name);
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return full;
}

std::u16string ScratchDir::WideFile(const std::string& utf8Name) const {
  std::u16string out = Utf16(path_);
  out.push_back(static_cast<char16_t>(fs::path::preferred_separator));
  for (char16_t c : Utf16(utf8Name)) out.push_back(c == u'/' ? static_cast<char16_t>(fs::path::preferred_separator) : c);
  return out;
}

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned lead = static_cast<unsigned char>(utf8[i]);
    const int tail = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    uint32_t c = tail == 0 ? lead : lead & (0x3Fu >> tail);
    for (int k = 1; k <= tail && i + k < utf8.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
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

bool WriteWholeFile(const std::u16string& path, const Bytes& bytes) {
  std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool ReadWholeFile(const std::u16string& path, Bytes* out) {
  std::ifstream in(fs::path(path), std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool MakeFolders(const std::u16string& path) {
  std::error_code ec;
  fs::create_directories(fs::path(path), ec);
  return !ec;
}

bool ReadWholeFile(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

void PutLe16(Bytes* b, uint16_t v) {
  b->resize(b->size() + 2);
  PutLe16(b->data() + b->size() - 2, v);
}

void PutLe32(Bytes* b, uint32_t v) {
  b->resize(b->size() + 4);
  PutLe32(b->data() + b->size() - 4, v);
}

#ifndef _WIN32
uint8_t* CopyBeforeGuardPage(GuardedRegion* region, const uint8_t* data, size_t copied, size_t total) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (region->base == nullptr || region->readable < total) {
    ReleaseGuardedRegion(region);
    const size_t readable = (total + page - 1) / page * page + page;  // at least one readable page
    void* p = mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    region->base = static_cast<uint8_t*>(p);
    region->readable = readable;
    if (mprotect(region->base + readable, page, PROT_NONE) != 0) {
      ReleaseGuardedRegion(region);
      return nullptr;
    }
  }
  uint8_t* start = region->base + region->readable - total;
  if (copied > 0) memcpy(start, data, copied);
  if (total > copied) memset(start + copied, 0, total - copied);
  return start;
}

void ReleaseGuardedRegion(GuardedRegion* region) {
  if (region->base != nullptr) munmap(region->base, region->readable + static_cast<size_t>(sysconf(_SC_PAGESIZE)));
  region->base = nullptr;
  region->readable = 0;
}
#endif
