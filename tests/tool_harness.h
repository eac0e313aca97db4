// What the kaldorin tool's tests share: running the tool as a separate
// process (natively, and under Wine with the Windows builds) with its output
// captured, a fixture with a scratch folder, and pictures and PNG files made
// to order.
#ifndef KALDORIN_TESTS_TOOL_HARNESS_H
#define KALDORIN_TESTS_TOOL_HARNESS_H

#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "archive_pack/pack_format.h"
#include "archive_pack/pack_writer.h"
#include "tests/pack_model.h"
#include "tests/i24b_samples.h"
#include "tests/plugin_host.h"
#include "tests/test_files.h"
#include "tools/kaldorin_image_io.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

using namespace kaldorin;  // the tool's picture files and helpers under test


struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string ToolPath() {
#ifdef _WIN32
  return BuildDir() + "\\kaldorin.exe";
#else
  return BuildDir() + "/kaldorin";
#endif
}

inline std::string Slurp(const std::string& path) {
  Bytes b;
  ReadWholeFile(path, &b);
  return std::string(b.begin(), b.end());
}

#ifdef _WIN32
struct Child {
  HANDLE process = nullptr;
};

// `inFile` (empty: the test's own) becomes the tool's standard input.
inline Child Start(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile,
            const std::string& inFile = "") {
  std::string cmd = "\"" + ToolPath() + "\"";
  for (const std::string& a : args) cmd += " \"" + a + "\"";
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileA(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  HANDLE in = inFile.empty() ? nullptr
                            : CreateFileA(inFile.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0, nullptr);
  si.hStdInput = in != nullptr ? in : GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  // The arguments are UTF-8 here and reach the tool as UTF-16, whatever the
  // ANSI code page.
  const std::u16string wide = Utf16(cmd);
  std::vector<wchar_t> line(wide.begin(), wide.end());
  line.push_back(0);
  Child c;
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    c.process = pi.hProcess;
  }
  CloseHandle(out);
  CloseHandle(err);
  if (in != nullptr) CloseHandle(in);
  return c;
}

inline int Wait(Child c) {
  if (c.process == nullptr) return -1;
  WaitForSingleObject(c.process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(c.process, &code);
  CloseHandle(c.process);
  return static_cast<int>(code);
}
#else
struct Child {
  pid_t pid = -1;
};

inline Child Start(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile,
            const std::string& inFile = "") {
  std::string tool = ToolPath();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    if (!inFile.empty()) dup2(open(inFile.c_str(), O_RDONLY), 0);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  return c;
}

inline int Wait(Child c) {
  int status = 0;
  if (c.pid < 0 || waitpid(c.pid, &status, 0) != c.pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
#endif

// The tool's standard output and error go to files outside the folders the
// tests look into.
class ToolTest : public ::testing::Test {
 protected:
  RunResult Run(const std::vector<std::string>& args, const std::string& inFile = "") {
    std::string outFile = logs_.File("out.txt");
    std::string errFile = logs_.File("err.txt");
    RunResult r;
    r.status = Wait(Start(args, outFile, errFile, inFile));
    r.out = Slurp(outFile);
    r.err = Slurp(errFile);
    return r;
  }
  std::string In(const std::string& name) const { return dir_.File(name); }
  // Names in the work folder, hidden ones included.
  std::vector<std::string> Listing(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchDir logs_;
  ScratchDir dir_;
};

// A picture with smooth areas, edges and noise, so that every kind of token
// shows up.
inline RgbImage MakePicture(uint32_t width, uint32_t height, uint32_t seed) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.rgb.resize(static_cast<size_t>(width) * height * 3);
  uint32_t state = seed * 2654435761u + 1;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      state = state * 1103515245u + 12345u;
      uint8_t* p = &img.rgb[(static_cast<size_t>(y) * width + x) * 3];
      bool noisy = ((x / 8) + (y / 8)) % 3 == 0;
      p[0] = static_cast<uint8_t>(noisy ? state >> 24 : x * 3);
      p[1] = static_cast<uint8_t>(noisy ? state >> 16 : y * 5);
      p[2] = static_cast<uint8_t>((x ^ y) & 0xF0);
    }
  }
  return img;
}

inline void WritePicture(const std::string& path, const RgbImage& img) {
  std::string error;
  ASSERT_TRUE(WriteImageFile(path, FormatFromName(path), img, &error)) << error;
}

inline void ExpectSamePicture(const std::string& path, const RgbImage& expected) {
  RgbImage got;
  std::string error;
  ASSERT_TRUE(ReadImageFile(path, &got, &error)) << path << ": " << error;
  EXPECT_EQ(got.width, expected.width);
  EXPECT_EQ(got.height, expected.height);
  EXPECT_TRUE(got.rgb == expected.rgb) << path << " differs from the encoded picture";
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A 32-bit BMP of one row of pixels, each given as its four bytes in file
// order (blue, green, red, fourth). With `alphaMask` the header is a
// BITMAPV5HEADER with bit fields that name the fourth byte alpha; without,
// a BITMAPINFOHEADER, whose fourth byte is padding.
inline Bytes Bmp32(const std::vector<uint8_t>& pixelBytes, bool alphaMask) {
  const uint32_t header = alphaMask ? 124 : 40;
  const uint32_t width = static_cast<uint32_t>(pixelBytes.size() / 4);
  Bytes b = {'B', 'M'};
  PutLe32(&b, 14 + header + width * 4);
  PutLe32(&b, 0);
  PutLe32(&b, 14 + header);
  for (uint32_t v : {header, width, 1u}) PutLe32(&b, v);
  PutLe16(&b, 1);
  PutLe16(&b, 32);
  PutLe32(&b, alphaMask ? 3 : 0);  // BI_BITFIELDS or BI_RGB
  PutLe32(&b, width * 4);
  for (int i = 0; i < 4; ++i) PutLe32(&b, 0);
  if (alphaMask) {
    for (uint32_t mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) PutLe32(&b, mask);
    b.resize(14 + header, 0);
  }
  b.insert(b.end(), pixelBytes.begin(), pixelBytes.end());
  return b;
}

// PNG colour types.
enum { kPngGrey = 0, kPngRgb = 2, kPngPalette = 3, kPngGreyAlpha = 4, kPngRgba = 6 };

// A PNG made from raw samples, its data in stored (uncompressed) deflate
// blocks, so that every build's reader gets the same files: `samples` holds
// each pixel's channels (a palette picture's index) in the file's bit
// depth; `trns` is the tRNS chunk: alpha per palette entry, the transparent
// grey, or the transparent red, green and blue.
struct TestPng {
  int colorType;
  int depth;
  uint32_t width;
  std::vector<uint16_t> samples;
  std::vector<uint8_t> palette;  // red, green, blue per entry
  std::vector<uint16_t> trns;
  bool interlaced;
};

inline void PutBe32(Bytes* b, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b->push_back(static_cast<uint8_t>(v >> shift));
}

inline void PutPngChunk(Bytes* file, const char* type, const Bytes& data) {
  PutBe32(file, static_cast<uint32_t>(data.size()));
  size_t start = file->size();
  file->insert(file->end(), type, type + 4);
  file->insert(file->end(), data.begin(), data.end());
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = start; i < file->size(); ++i) {
    crc ^= (*file)[i];
    for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  PutBe32(file, ~crc);
}

// Row `y` of the pixels at x0, x0 + dx, ... with its filter byte (none).
inline void PackPngRow(const TestPng& t, int channels, uint32_t y, uint32_t x0, uint32_t dx, Bytes* raw) {
  raw->push_back(0);
  size_t start = raw->size();
  size_t bit = 0;
  for (uint32_t x = x0; x < t.width; x += dx) {
    for (int c = 0; c < channels; ++c, bit += t.depth) {
      uint16_t v = t.samples[(static_cast<size_t>(y) * t.width + x) * channels + c];
      raw->resize(start + (bit + t.depth + 7) / 8, 0);
      uint8_t* at = &(*raw)[start + bit / 8];
      if (t.depth == 16) {
        at[0] = static_cast<uint8_t>(v >> 8);
        at[1] = static_cast<uint8_t>(v);
      } else {
        at[0] = static_cast<uint8_t>(at[0] | v << (8 - t.depth - bit % 8));
      }
    }
  }
}

inline void WriteTestPng(const std::string& path, const TestPng& t) {
  static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
  const int channels = kChannels[t.colorType];
  const uint32_t height = static_cast<uint32_t>(t.samples.size() / channels / t.width);
  // The seven Adam7 passes (first column and row, column and row steps), or one plain pass.
  static const uint32_t kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                        {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  static const uint32_t kPlain[1][4] = {{0, 0, 1, 1}};
  const uint32_t(*passes)[4] = t.interlaced ? kAdam7 : kPlain;
  Bytes raw;
  for (int p = 0; p < (t.interlaced ? 7 : 1); ++p) {
    const uint32_t* pass = passes[p];
    if (pass[0] >= t.width) continue;  // an empty pass has no rows at all
    for (uint32_t y = pass[1]; y < height; y += pass[3]) PackPngRow(t, channels, y, pass[0], pass[2], &raw);
  }
  Bytes zlib = {0x78, 0x01};
  for (size_t at = 0; at < raw.size(); at += 65535) {
    uint16_t n = static_cast<uint16_t>(std::min<size_t>(65535, raw.size() - at));
    zlib.push_back(at + n == raw.size() ? 1 : 0);
    PutLe16(&zlib, n);
    PutLe16(&zlib, static_cast<uint16_t>(~n));
    zlib.insert(zlib.end(), raw.begin() + at, raw.begin() + at + n);
  }
  uint32_t a = 1, b = 0;
  for (uint8_t v : raw) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  PutBe32(&zlib, b << 16 | a);
  Bytes header;
  PutBe32(&header, t.width);
  PutBe32(&header, height);
  header.insert(header.end(), {static_cast<uint8_t>(t.depth), static_cast<uint8_t>(t.colorType), 0, 0,
                               static_cast<uint8_t>(t.interlaced ? 1 : 0)});
  Bytes trns;
  for (uint16_t v : t.trns) {
    if (t.colorType != kPngPalette) trns.push_back(static_cast<uint8_t>(v >> 8));
    trns.push_back(static_cast<uint8_t>(v));
  }
  Bytes file = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  PutPngChunk(&file, "IHDR", header);
  if (!t.palette.empty()) PutPngChunk(&file, "PLTE", Bytes(t.palette.begin(), t.palette.end()));
  if (!t.trns.empty()) PutPngChunk(&file, "tRNS", trns);
  PutPngChunk(&file, "IDAT", zlib);
  PutPngChunk(&file, "IEND", {});
  ASSERT_TRUE(WriteWholeFile(Utf16(path), file)) << path;
}

// A PACK archive built by hand: each member's offset, size and name, the
// whole terminating entry (as the writer has it), then the data area.
inline Bytes HandBuiltPack(const std::vector<std::tuple<uint32_t, uint32_t, std::string>>& entries, const Bytes& data) {
  std::vector<pack::model::PackEntryBytes> stored;
  for (const auto& e : entries) stored.push_back({std::get<0>(e), std::get<1>(e), pack::model::NameField(std::get<2>(e))});
  Bytes b = pack::model::PackDirectory(stored);
  b.resize(b.size() + pack::kEntrySize - pack::kTerminatorSize, 0);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

#endif
