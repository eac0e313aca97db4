// End-to-end tests of the kaldorin tool: every subcommand run as a separate
// process against the built plug-ins (natively, and under Wine with the
// Windows builds), bad input with its message and exit status, and
// cancellation leaving no output and no live plug-in blocks.
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

namespace {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ToolPath() {
#ifdef _WIN32
  return BuildDir() + "\\kaldorin.exe";
#else
  return BuildDir() + "/kaldorin";
#endif
}

std::string Slurp(const std::string& path) {
  Bytes b;
  ReadWholeFile(path, &b);
  return std::string(b.begin(), b.end());
}

#ifdef _WIN32
struct Child {
  HANDLE process = nullptr;
};

// `inFile` (empty: the test's own) becomes the tool's standard input.
Child Start(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile,
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

int Wait(Child c) {
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

Child Start(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile,
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

int Wait(Child c) {
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
RgbImage MakePicture(uint32_t width, uint32_t height, uint32_t seed) {
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

void WritePicture(const std::string& path, const RgbImage& img) {
  std::string error;
  ASSERT_TRUE(WriteImageFile(path, FormatFromName(path), img, &error)) << error;
}

void ExpectSamePicture(const std::string& path, const RgbImage& expected) {
  RgbImage got;
  std::string error;
  ASSERT_TRUE(ReadImageFile(path, &got, &error)) << path << ": " << error;
  EXPECT_EQ(got.width, expected.width);
  EXPECT_EQ(got.height, expected.height);
  EXPECT_TRUE(got.rgb == expected.rgb) << path << " differs from the encoded picture";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A 32-bit BMP of one row of pixels, each given as its four bytes in file
// order (blue, green, red, fourth). With `alphaMask` the header is a
// BITMAPV5HEADER with bit fields that name the fourth byte alpha; without,
// a BITMAPINFOHEADER, whose fourth byte is padding.
Bytes Bmp32(const std::vector<uint8_t>& pixelBytes, bool alphaMask) {
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

void PutBe32(Bytes* b, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b->push_back(static_cast<uint8_t>(v >> shift));
}

void PutPngChunk(Bytes* file, const char* type, const Bytes& data) {
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
void PackPngRow(const TestPng& t, int channels, uint32_t y, uint32_t x0, uint32_t dx, Bytes* raw) {
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

void WriteTestPng(const std::string& path, const TestPng& t) {
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

TEST_F(ToolTest, PluginsListsBothPlugInsAndTheirStrings) {
  RunResult r = Run({"plugins"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, PluginFile("glimmet") + "  API 00IN, picture plug-in")) << r.out;
  EXPECT_TRUE(Contains(r.out, PluginFile("chestrel") + "  API 00AM, archive plug-in, ANSI and wide exports")) << r.out;
  EXPECT_TRUE(Contains(r.out, "KALDORIN Archive (*.DAT)")) << r.out;
  r = Run({"plugins", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "{\"file\": \"" + PluginFile("glimmet") + "\", \"api\": \"00IN\", \"kind\": \"picture\", \"exports\": \"ANSI and wide\"")) << r.out;

  r = Run({"plugins", "--plugins", dir_.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "no plug-ins found")) << r.err;
}

#ifdef KALDORIN_INSTALLED_PLUGIN_DIR
// Where a copy of the tool looks for plug-ins: --plugins first, then its own
// folder when that holds a plug-in, then the installed plug-in folder beside
// it (bin/../lib/<multiarch>/kaldorin, as the Debian package lays it out).
TEST_F(ToolTest, PluginFolderOwnThenInstalled) {
  struct Case {
    const char* name;
    bool installed;      // the plug-ins in the installed folder
    bool glimmetBeside;  // glimmet alone beside the tool
    std::vector<std::string> args;
    int status;
    std::vector<std::string> printed;
    const char* absent;
  };
  RgbImage img = MakePicture(9, 4, 1);
  WritePicture(In("src.bmp"), img);
  ASSERT_EQ(Run({"encode", In("src.bmp"), "-o", In("PIC.I24")}).status, 0);
  const std::string empty = In("empty");
  fs::create_directory(empty);
  const Case cases[] = {
      {"installed folder", true, false, {"plugins"}, 0, {PluginFile("glimmet"), PluginFile("chestrel")}, nullptr},
      {"own folder first", true, true, {"plugins"}, 0, {PluginFile("glimmet")}, "chestrel"},
      {"--plugins wins", true, false, {"plugins", "--plugins", empty}, 1, {"no plug-ins found"}, nullptr},
      {"no installed folder", false, false, {"plugins"}, 1, {"/bin: no plug-ins found"}, nullptr},
      {"decode", true, false, {"decode", In("PIC.I24"), "-o", "OUT"}, 0, {}, nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = In("root" + std::to_string(n++));
    const std::string bin = root + "/bin";
    const std::string lib = bin + "/" + KALDORIN_INSTALLED_PLUGIN_DIR;
    fs::create_directories(bin);
    fs::copy_file(ToolPath(), bin + "/kaldorin");
    if (c.installed) {
      fs::create_directories(lib);
      for (const char* name : {"glimmet", "chestrel"}) {
        fs::copy_file(BuildDir() + "/" + PluginFile(name), lib + "/" + PluginFile(name));
      }
      fs::copy_file(BuildDir() + "/libkaldorin_platform.so", lib + "/libkaldorin_platform.so");
    }
    if (c.glimmetBeside) fs::copy_file(BuildDir() + "/" + PluginFile("glimmet"), bin + "/" + PluginFile("glimmet"));
    std::string command = "'" + bin + "/kaldorin'";
    for (const std::string& a : c.args) command += " '" + (a == "OUT" ? root + "/out.bmp" : a) + "'";
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buf[512];
    for (size_t got; (got = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, got);
    const int status = pclose(pipe);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << out;
    for (const std::string& part : c.printed) EXPECT_TRUE(Contains(out, part)) << out;
    if (c.absent != nullptr) {
      EXPECT_FALSE(Contains(out, c.absent)) << out;
    }
    if (c.args[0] == "decode") ExpectSamePicture(root + "/out.bmp", img);
  }
}
#endif

// --version, the overview and each command's usage: on standard output, exit
// 0, with the command's own options and none of another command's.
TEST_F(ToolTest, VersionAndHelpTexts) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> present;
    std::string absent;
  };
  const Case cases[] = {
      {{"--version"}, {"kaldorin " KALDORIN_VERSION " (", "00IN pictures", "00AM archives"}, "usage"},
      {{"--help"}, {"usage: kaldorin [options] COMMAND", "compare A B", "--skip-existing", "--version"}, "--cancel-after"},
      {{"decode", "--help"}, {"usage: kaldorin decode", "-d DIR", "--allow-truncated", "--plugins DIR"}, "--skip-existing"},
      {{"extract", "-h", "--bogus"}, {"usage: kaldorin extract", "PATTERN", "--skip-existing", "--via-memory"}, "--background"},
      {{"help", "encode"}, {"usage: kaldorin encode", "--background COLOR", "--ignore-alpha"}, "--plugins"},
      {{"pack", "x.pak", "--help"}, {"usage: kaldorin pack", "--force"}, "--offset"},
      {{"--json", "plugins", "--help"}, {"usage: kaldorin plugins", "--verbose"}, "--format"},
      {{"help"}, {"usage: kaldorin [options] COMMAND"}, "usage: kaldorin help"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    for (const std::string& text : c.present) EXPECT_TRUE(Contains(r.out, text)) << text << " in\n" << r.out;
    EXPECT_FALSE(Contains(r.out, c.absent)) << c.absent << " in\n" << r.out;
  }
}

// Encode, then info and decode through glimmet, in every way of handing
// the data over, for widths with and without row padding.
TEST_F(ToolTest, EncodeInfoDecodeRoundTrip) {
  struct Case {
    uint32_t width, height;
    std::vector<std::string> options;
    size_t prefix;  // junk bytes before the picture
  };
  const Case cases[] = {
      {1, 1, {}, 0},
      {5, 3, {}, 0},
      {203, 17, {}, 0},
      {64, 9, {"--from-memory"}, 0},
      {33, 8, {"--offset", "100"}, 100},
      {33, 8, {"--offset", "100", "--from-memory"}, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " prefix " + std::to_string(c.prefix));
    RgbImage img = MakePicture(c.width, c.height, c.width);
    std::string bmp = In("pic.bmp");
    WritePicture(bmp, img);
    RunResult r = Run({"encode", bmp, "-o", In("pic.i24"), "--force"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "bits per pixel")) << r.out;
    Bytes coded;
    ASSERT_TRUE(ReadWholeFile(In("pic.i24"), &coded));
    Bytes shifted(c.prefix, 0x5A);
    shifted.insert(shifted.end(), coded.begin(), coded.end());
    std::string input = dir_.Write("shifted.i24", shifted);

    std::vector<std::string> info = {"info", input, "--json"};
    info.insert(info.end(), c.options.begin(), c.options.end());
    r = Run(info);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "\"plugin\": \"" + PluginFile("glimmet") + "\"")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"width\": " + std::to_string(c.width) + ", \"height\": " + std::to_string(c.height)))
        << r.out;

    for (const char* ext : {".bmp", ".png"}) {
      std::string out = In(std::string("out") + ext);
      std::vector<std::string> decode = {"decode", input, "-o", out, "--check-leaks", "-f"};
      decode.insert(decode.end(), c.options.begin(), c.options.end());
      r = Run(decode);
      ASSERT_EQ(r.status, 0) << r.err;
      ExpectSamePicture(out, img);
      if (kHaveFaultInjection) {
        EXPECT_TRUE(Contains(r.err, "0 blocks, 0 streams")) << r.err;
      }
    }
  }
}

TEST_F(ToolTest, DecodeSeveralFilesIntoAFolder) {
  RgbImage a = MakePicture(7, 5, 1);
  RgbImage b = MakePicture(12, 2, 2);
  WritePicture(In("a.bmp"), a);
  WritePicture(In("b.bmp"), b);
  ASSERT_EQ(Run({"encode", In("a.bmp"), "-o", In("a.i24")}).status, 0);
  ASSERT_EQ(Run({"encode", In("b.bmp"), "-o", In("b.i24")}).status, 0);
  fs::create_directory(In("out"));
  RunResult r = Run({"decode", In("a.i24"), In("b.i24"), "-d", In("out"), "--format", "bmp"});
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectSamePicture(In("out/a.bmp"), a);
  ExpectSamePicture(In("out/b.bmp"), b);
  EXPECT_EQ(Listing(In("out")), (std::vector<std::string>{"a.bmp", "b.bmp"}));
  r = Run({"compare", In("a.bmp"), In("out/a.bmp")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "the same 7 x 5 pixels")) << r.out;
}

// pack, list and extract in each way, with the member picture decoded.
// Folders named in other scripts: the names reach the tool and the
// plug-ins whole (on Windows through wmain and the wide exports), from
// encoding through packing, listing and extracting to decoding.
TEST_F(ToolTest, NamesInAnyScript) {
  RgbImage img = MakePicture(13, 5, 4);
  WritePicture(In("src.bmp"), img);
  for (const std::string name : {"\xE7\x94\xBB\xE5\x83\x8F", "\xCE\xB5\xCE\xB9\xCE\xBA\xCF\x8C\xCE\xBD\xCE\xB1",
                                 "\xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD0\xB8\xD0\xBD\xD0\xBA\xD0\xB8",
                                 "\xF0\x9F\x8E\xA8"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(MakeFolders(dir_.WideFile(name)));
    const std::string folder = dir_.path() + "/" + name;
    const std::string archive = folder + "/" + name + ".pak";
    RunResult r = Run({"encode", In("src.bmp"), "-o", folder + "/PIC.I24"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"pack", archive, folder + "/PIC.I24"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"list", archive});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "PIC.I24")) << r.out;
    r = Run({"extract", archive, "pic.i24", "-d", folder + "/" + name});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"decode", folder + "/" + name + "/PIC.I24", "-o", folder + "/back.bmp", "-v"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "GetPictureW(file) -> 0")) << r.err;
    r = Run({"compare", In("src.bmp"), folder + "/back.bmp"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
}

TEST_F(ToolTest, PackListExtractRoundTrip) {
  RgbImage img = MakePicture(21, 6, 3);
  WritePicture(In("src.bmp"), img);
  ASSERT_EQ(Run({"encode", In("src.bmp"), "-o", In("PIC.I24")}).status, 0);
  dir_.Write("README.TXT", Bytes{'h', 'e', 'l', 'l', 'o'});
  dir_.Write("tiny.d", Bytes{1});
  RunResult r = Run({"pack", In("T.PAK"), In("README.TXT"), In("PIC.I24"), In("tiny.d")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "3 members")) << r.out;

  r = Run({"list", In("T.PAK")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "           5          104           README.TXT")) << r.out;
  EXPECT_TRUE(Contains(r.out, "PIC.I24") && Contains(r.out, "tiny.d") && Contains(r.out, "3 members")) << r.out;
  r = Run({"info", In("T.PAK"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "{\"name\": \"README.TXT\", \"path\": \"\", \"method\": \" \", \"position\": 104, "
                              "\"compsize\": 5, \"size\": 5, \"timestamp\": 0}"))
      << r.out;

  const std::vector<std::vector<std::string>> ways = {{}, {"--via-memory"}, {"--from-memory"},
                                                      {"--from-memory", "--via-memory"}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.empty() ? "to files" : way[0] + (way.size() > 1 ? " " + way[1] : ""));
    std::string out = In("x");
    fs::remove_all(out);
    std::vector<std::string> args = {"extract", In("T.PAK"), "-d", out, "--decode", "--format", "bmp", "--check-leaks"};
    args.insert(args.end(), way.begin(), way.end());
    r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Listing(out), (std::vector<std::string>{"PIC.I24", "PIC.bmp", "README.TXT", "tiny.d"}));
    for (const char* name : {"README.TXT", "PIC.I24", "tiny.d"}) {
      Bytes want, got;
      ReadWholeFile(In(name), &want);
      ReadWholeFile(out + "/" + name, &got);
      EXPECT_EQ(got, want) << name;
    }
    ExpectSamePicture(out + "/PIC.bmp", img);
    if (kHaveFaultInjection) {
      EXPECT_TRUE(Contains(r.err, "0 blocks, 0 streams")) << r.err;
    }
  }

  // Named members are found without regard to case.
  fs::remove_all(In("y"));
  r = Run({"extract", In("T.PAK"), "readme.txt", "-d", In("y")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Listing(In("y")), std::vector<std::string>{"README.TXT"});

  // An archive 37 bytes into a larger file: listed with --offset; its
  // members come out through memory, while GetFile on the file reads the
  // directory from the file's start and refuses.
  Bytes embedded(37, 0);
  Bytes pak;
  ReadWholeFile(In("T.PAK"), &pak);
  embedded.insert(embedded.end(), pak.begin(), pak.end());
  std::string emb = dir_.Write("EMB.BIN", embedded);
  r = Run({"list", emb, "--offset", "37"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "README.TXT")) << r.out;
  r = Run({"extract", emb, "--offset", "37", "--from-memory", "-d", In("z")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Listing(In("z")), (std::vector<std::string>{"PIC.I24", "README.TXT", "tiny.d"}));
  r = Run({"extract", emb, "tiny.d", "--offset", "37", "-d", In("w")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "member tiny.d: " + PluginFile("chestrel") + " GetFile: not in a format the plug-in knows")) << r.err;
  EXPECT_TRUE(Contains(r.err, "try --from-memory")) << r.err;
  EXPECT_TRUE(Listing(In("w")).empty());
}

// A PACK archive built by hand: each member's offset, size and name, the
// whole terminating entry (as the writer has it), then the data area.
Bytes HandBuiltPack(const std::vector<std::tuple<uint32_t, uint32_t, std::string>>& entries, const Bytes& data) {
  std::vector<pack::model::PackEntryBytes> stored;
  for (const auto& e : entries) stored.push_back({std::get<0>(e), std::get<1>(e), pack::model::NameField(std::get<2>(e))});
  Bytes b = pack::model::PackDirectory(stored);
  b.resize(b.size() + pack::kEntrySize - pack::kTerminatorSize, 0);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Empty members first, last, in the middle and alone, packed and extracted
// in every way, come back byte for byte; so do the members of a hand-built
// archive whose empty member shares its position with a data member.
TEST_F(ToolTest, EmptyMembersAndTheirNeighboursComeBackWhole) {
  const std::vector<std::vector<std::string>> layouts = {
      {"", "hello world 123\n"}, {"data", ""}, {"a", "", "bb"}, {"", "", ""}, {"", "x", "", "", "yz", ""}};
  std::vector<std::pair<std::string, std::vector<std::string>>> archives;  // archive, member contents
  for (size_t l = 0; l < layouts.size(); ++l) {
    std::vector<std::string> args = {"pack", In("L" + std::to_string(l) + ".PAK")};
    for (size_t i = 0; i < layouts[l].size(); ++i) {
      args.push_back(dir_.Write("M" + std::to_string(i) + ".TXT", Text(layouts[l][i])));
    }
    RunResult r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    archives.push_back({args[1], layouts[l]});
  }
  dir_.Write("SHARED.PAK", HandBuiltPack({{80, 0, "M0.TXT"}, {80, 5, "M1.TXT"}}, Text("hello")));
  archives.push_back({In("SHARED.PAK"), {"", "hello"}});

  const std::vector<std::vector<std::string>> ways = {{}, {"--via-memory"}, {"--from-memory"},
                                                      {"--from-memory", "--via-memory"}};
  for (const auto& archive : archives) {
    for (const auto& way : ways) {
      SCOPED_TRACE(archive.first + (way.empty() ? "" : " " + way[0]) + (way.size() > 1 ? " " + way[1] : ""));
      std::string out = In("out");
      fs::remove_all(out);
      std::vector<std::string> args = {"extract", archive.first, "-d", out};
      args.insert(args.end(), way.begin(), way.end());
      RunResult r = Run(args);
      ASSERT_EQ(r.status, 0) << r.err;
      for (size_t i = 0; i < archive.second.size(); ++i) {
        Bytes got;
        EXPECT_TRUE(ReadWholeFile(out + "/M" + std::to_string(i) + ".TXT", &got)) << i;
        EXPECT_EQ(got, Text(archive.second[i])) << "member " << i;
      }
      EXPECT_EQ(Listing(out).size(), archive.second.size());
    }
  }
}

// What users of unzip, tar and convert expect: wildcards, "-" for standard
// input and output, -q, -v and one JSON object per line.
TEST_F(ToolTest, WildcardsStandardStreamsAndVerbosity) {
  dir_.Write("DATA.TXT", Text("hello world 123\n"));
  dir_.Write("EMPTY.TXT", Text(""));
  RgbImage img = MakePicture(13, 7, 11);
  WritePicture(In("pic.bmp"), img);
  ASSERT_EQ(Run({"encode", In("pic.bmp"), "-o", In("PIC.I24")}).status, 0);
  ASSERT_EQ(Run({"pack", In("T.PAK"), In("EMPTY.TXT"), In("DATA.TXT"), In("PIC.I24")}).status, 0);
  struct Case {
    std::vector<std::string> args;
    std::string input;  // standard input, or empty
    int status;
    std::string out;  // standard output holds this
    std::string err;  // standard error holds this
    std::string outputFolder;
    std::vector<std::string> files;  // what the output folder then holds
  };
  const std::string pluginCall = PluginFile("chestrel") + " GetArchiveInfoW(file at byte 0) -> 0 (success)";
  const Case cases[] = {
      {{"extract", In("T.PAK"), "*.txt", "-d", In("a")}, "", 0, "extracted DATA.TXT", "", "a", {"DATA.TXT", "EMPTY.TXT"}},
      {{"extract", In("T.PAK"), "d?ta.[s-t]xt", "*.I2[0-9]", "DATA.TXT", "-d", In("b"), "-q"}, "", 0, "", "", "b",
       {"DATA.TXT", "PIC.I24"}},
      {{"extract", "-", "[!D]*", "-d", In("c"), "--json"}, In("T.PAK"), 0,
       "{\"member\": \"EMPTY.TXT\", \"action\": \"extracted\"", "", "c", {"EMPTY.TXT", "PIC.I24"}},
      {{"list", "-", "--json"}, In("T.PAK"), 0, "\"name\": \"DATA.TXT\", \"path\": \"\", \"method\": \" \", \"position\": 104", "", "", {}},
      {{"list", In("T.PAK"), "-v"}, "", 0, "3 members", pluginCall, "", {}},
      {{"info", In("T.PAK"), In("PIC.I24"), "--json"}, "", 0, "\"members\": [{\"name\": \"EMPTY.TXT\"", "", "", {}},
      {{"decode", "-", "-o", In("d/pic.bmp")}, In("PIC.I24"), 0, "", "", "d", {"pic.bmp"}},
      {{"pack", "-", In("DATA.TXT")}, "", 0, "PACK", "1 members", "", {}},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    if (!c.outputFolder.empty()) fs::create_directories(In(c.outputFolder));
    RunResult r = Run(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.out, c.out)) << r.out;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    if (Contains(trace, "-q ")) {
      EXPECT_EQ(r.out, "");
    }
    if (Contains(trace, "--json")) {
      // One object per line, whatever the number of files (Windows ends
      // lines on standard output with CR LF).
      std::string text = r.out;
      text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
      size_t lines = 0;
      for (size_t at = 0; (at = text.find("}\n", at)) != std::string::npos; ++at) ++lines;
      EXPECT_EQ(lines, static_cast<size_t>(std::count(text.begin(), text.end(), '\n'))) << r.out;
    }
    if (!c.outputFolder.empty()) {
      EXPECT_EQ(Listing(In(c.outputFolder)), c.files);
    }
  }
  ExpectSamePicture(In("d/pic.bmp"), img);

  // A picture through standard input and output both ways, in each
  // format: encode, decode, and encode what was decoded again.
  RunResult r = Run({"encode", "-", "-o", "-"}, In("pic.bmp"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::string coded = dir_.Write("piped.i24", Bytes(r.out.begin(), r.out.end()));
  for (const std::string format : {"bmp", "png"}) {
    SCOPED_TRACE(format);
    RunResult decoded = Run({"decode", "-", "-o", "-", "--format", format}, coded);
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    std::string piped = dir_.Write("piped." + format, Bytes(decoded.out.begin(), decoded.out.end()));
    ExpectSamePicture(piped, img);
    RunResult again = Run({"encode", "-", "-o", "-"}, piped);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(again.out == r.out) << "the same pixels encode to another file";
  }
}

// Every command refuses to replace an existing file unless told to, and
// never writes over its own input; a refusal names the file and writes
// nothing.
TEST_F(ToolTest, NoCommandReplacesAFileUnasked) {
  const std::string kAbsent = "(no such file)";
  const std::string png = ".png";
  auto setUp = [&]() {
    fs::remove_all(dir_.path());
    fs::create_directories(In("out"));
    fs::create_directories(In("a"));
    fs::create_directories(In("b"));
    fs::create_directories(In("x"));
    dir_.Write("DATA.TXT", Text("hello world 123\n"));
    dir_.Write("EMPTY.TXT", Text(""));
    dir_.Write("A.TXT", Text("not an archive"));
    dir_.Write("out/DATA.TXT", Text("old"));
    dir_.Write("M.PAK", Text("m"));
    dir_.Write("CASE.PAK", HandBuiltPack({{80, 1, "A.TXT"}, {81, 1, "a.txt"}}, Text("12")));
    WritePicture(In("pic.bmp"), MakePicture(6, 4, 9));
    ASSERT_EQ(Run({"pack", In("T.PAK"), In("EMPTY.TXT"), In("DATA.TXT")}).status, 0);
    ASSERT_EQ(Run({"pack", In("x/M.PAK"), In("M.PAK"), In("DATA.TXT")}).status, 0);
    ASSERT_EQ(Run({"encode", In("pic.bmp"), "-o", In("pic.i24")}).status, 0);
    fs::copy_file(In("pic.i24"), In("a/pic.i24"));
    fs::copy_file(In("pic.i24"), In("b/pic.i24"));
    dir_.Write("pic" + png, Text("old picture"));
  };
  struct Case {
    std::vector<std::string> args;  // names relative to the work folder start with @
    int status;
    const char* err;
    std::vector<std::pair<std::string, std::string>> after;  // file, content (kAbsent: none)
  };
  const std::vector<Case> cases = {
      {{"pack", "@A.TXT", "@DATA.TXT"}, 1, "A.TXT: already exists (use --force", {{"A.TXT", "not an archive"}}},
      {{"pack", "@A.TXT", "@DATA.TXT", "-f"}, 0, "", {}},
      {{"pack", "-f", "@DATA.TXT", "@DATA.TXT", "@EMPTY.TXT"}, 1, "never written over", {{"DATA.TXT", "hello world 123\n"}}},
      {{"extract", "@T.PAK", "-d", "@out"}, 1, "DATA.TXT: already exists", {{"out/DATA.TXT", "old"}, {"out/EMPTY.TXT", kAbsent}}},
      {{"extract", "@T.PAK", "-d", "@out", "--skip-existing"}, 0, "", {{"out/DATA.TXT", "old"}, {"out/EMPTY.TXT", ""}}},
      {{"extract", "@T.PAK", "-d", "@out", "--force"}, 0, "", {{"out/DATA.TXT", "hello world 123\n"}}},
      {{"extract", "@T.PAK", "-d", "@out", "--force", "--via-memory"}, 0, "", {{"out/DATA.TXT", "hello world 123\n"}}},
      {{"extract", "@x/M.PAK", "-d", "@x", "--force"}, 1, "is the archive being read", {{"x/DATA.TXT", kAbsent}}},
      {{"extract", "@CASE.PAK", "-d", "@out"}, 1, "members A.TXT and a.txt differ only in case", {{"out/A.TXT", kAbsent}, {"out/a.txt", kAbsent}}},
      {{"decode", "@pic.i24", "-o", "@pic" + png}, 1, "already exists", {{"pic" + png, "old picture"}}},
      {{"decode", "@a/pic.i24", "@b/pic.i24", "-d", "@out"}, 1, "would be written for both", {{"out/pic" + png, kAbsent}}},
      {{"encode", "@pic.bmp", "-o", "@pic.bmp", "-f"}, 1, "is the input", {}},
      {{"encode", "@pic.bmp", "-o", "@pic.i24"}, 1, "pic.i24: already exists", {}},
  };
  for (const Case& c : cases) {
    setUp();
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(a[0] == '@' ? In(a.substr(1)) : a);
    std::string trace;
    for (const std::string& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    Bytes before;
    ReadWholeFile(In("pic.bmp"), &before);
    RunResult r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    for (const auto& file : c.after) {
      Bytes got;
      bool there = ReadWholeFile(In(file.first), &got);
      if (file.second == kAbsent) {
        EXPECT_FALSE(there) << file.first;
      } else {
        EXPECT_EQ(std::string(got.begin(), got.end()), file.second) << file.first;
      }
    }
    Bytes after;
    ReadWholeFile(In("pic.bmp"), &after);
    EXPECT_EQ(after, before) << "the encoder's input changed";
    EXPECT_EQ(Run({"list", In("x/M.PAK")}).status, 0) << "the archive being read changed";
    for (const char* folder : {"", "out", "x"}) {
      for (const std::string& name : Listing(In(folder))) EXPECT_FALSE(Contains(name, "kaldorin-tmp")) << name;
    }
  }
}

// Bad input: one line naming the file and the cause, and the exit status.
TEST_F(ToolTest, BadInputGivesAClearErrorAndStatus) {
  RgbImage img = MakePicture(9, 4, 4);
  WritePicture(In("p.bmp"), img);
  ASSERT_EQ(Run({"encode", In("p.bmp"), "-o", In("P.I24")}).status, 0);
  Bytes picture;
  ReadWholeFile(In("P.I24"), &picture);
  dir_.Write("short.i24", Bytes(picture.begin(), picture.begin() + 22));
  dir_.Write("stub.i24", Bytes(picture.begin(), picture.begin() + 10));
  Bytes zero = picture;
  zero[12] = zero[13] = 0;  // width 0
  dir_.Write("zero.i24", zero);
  dir_.Write("A.TXT", Bytes(100, 'a'));
  ASSERT_EQ(Run({"pack", In("G.PAK"), In("A.TXT"), In("P.I24")}).status, 0);
  Bytes archive;
  ReadWholeFile(In("G.PAK"), &archive);
  Bytes wrongEnd = archive;
  wrongEnd[4] = 80;  // directory end past the terminating entry
  dir_.Write("end.pak", wrongEnd);
  dir_.Write("cut.pak", Bytes(archive.begin(), archive.begin() + 120));  // A.TXT cut short
  dir_.Write("noise.bin", Bytes(3000, 0x33));
  dir_.Write("a-b.txt", Bytes{1});
  dir_.Write("fourteenchars15.t", Bytes{1});
  dir_.Write("NODOT", Bytes{1});
  RgbImage changed = img;
  changed.rgb[3 * 9 + 1] ^= 0x40;  // pixel (0, 1), green
  WritePicture(In("q.bmp"), changed);
  fs::create_directory(In("sub"));
  dir_.Write("sub/a.txt", Bytes{2});

  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string archiveFull = "the data is missing, cut short or inconsistent";
  const Case cases[] = {
      {"missing file", {"decode", In("none.i24"), "-o", In("o.bmp")}, 1, In("none.i24") + ": No such file or directory"},
      {"truncated header", {"decode", In("short.i24"), "-o", In("o.bmp")}, 1,
       In("short.i24") + ": " + PluginFile("glimmet") + " GetPicture: " + archiveFull},
      {"too short to be a picture", {"decode", In("stub.i24"), "-o", In("o.bmp")}, 1,
       In("stub.i24") + ": no picture plug-in takes this file"},
      {"archive as a picture", {"decode", In("G.PAK"), "-o", In("o.bmp")}, 1,
       In("G.PAK") + ": not a picture: " + PluginFile("chestrel") + " takes it as an archive"},
      {"picture as an archive", {"list", In("P.I24")}, 1, In("P.I24") + ": not an archive: " + PluginFile("glimmet") + " takes it"},
      {"not data at all", {"info", In("noise.bin")}, 1, In("noise.bin") + ": no plug-in takes this file"},
      {"wrong directory end", {"list", In("end.pak")}, 1, In("end.pak") + ": " + PluginFile("chestrel") + " GetArchiveInfo: " + archiveFull},
      {"member cut short", {"extract", In("cut.pak"), "-d", In("o")}, 1,
       In("cut.pak") + ": member A.TXT: " + PluginFile("chestrel") + " GetFile: " + archiveFull},
      {"member not there", {"extract", In("G.PAK"), "NOPE.TXT", "-d", In("o")}, 1, In("G.PAK") + ": no member NOPE.TXT"},
      {"pattern matching nothing", {"extract", In("G.PAK"), "*.BMP", "-d", In("o")}, 1, In("G.PAK") + ": no member matches *.BMP"},
      {"empty picture", {"decode", In("zero.i24"), "-o", In("o.bmp")}, 1, "the picture has no pixels (0 x 4)"},
      {"standard output without a format", {"decode", In("P.I24"), "-o", "-"}, 2, "needs --format png or --format bmp"},
      {"standard input without a name", {"encode", "-"}, 2, "encode - needs -o OUT"},
      {"quiet and verbose", {"list", In("G.PAK"), "-q", "-v"}, 2, "-q and -v exclude each other"},
      {"name with a hyphen", {"pack", In("n.pak"), In("a-b.txt")}, 1,
       "member name \"a-b.txt\" cannot be stored: only letters, digits and one full stop are allowed"},
      {"name too long", {"pack", In("n.pak"), In("fourteenchars15.t")}, 1,
       "cannot be stored: names are limited to 14 characters, this one has 17"},
      {"name without a full stop", {"pack", In("n.pak"), In("NODOT")}, 1, "a name must hold exactly one full stop"},
      {"duplicate name", {"pack", In("n.pak"), In("A.TXT"), In("sub/a.txt")}, 1,
       "member name \"a.txt\" is already in the archive"},
      {"missing pack input", {"pack", In("n.pak"), In("none.txt")}, 1, In("none.txt") + ": no such file"},
      {"decode without output", {"decode", In("P.I24")}, 2, "decode needs either -o OUT (one file) or -d DIR"},
      {"unknown command", {"explode"}, 2, "unknown command explode"},
      {"help for an unknown command", {"explode", "--help"}, 2, "unknown command explode"},
      {"help for two commands", {"help", "list", "pack"}, 2, "help takes one command"},
      {"pictures that differ", {"compare", In("p.bmp"), In("q.bmp")}, 1,
       In("q.bmp") + ": differs from " + In("p.bmp") + " in 1 pixels, first at (0, 1)"},
      {"bad output name", {"decode", In("P.I24"), "-o", In("o.jpg")}, 2, "the output name must end in .png or .bmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    EXPECT_EQ(r.err.compare(0, 10, "kaldorin: "), 0) << r.err;
  }
  // Nothing was written by the failed commands, not even temporary files.
  for (const std::string& name : Listing(dir_.path())) {
    EXPECT_TRUE(name != "o.bmp" && name != "n.pak" && name[0] != '.') << name;
  }
  if (fs::exists(In("o"))) {
    EXPECT_TRUE(Listing(In("o")).empty());
  }
}

// Pictures whose coded data ends early: refused with the rows that would be
// guessed and nothing written, unless --allow-truncated (then a warning and
// the picture); a header that no coding could fit in the file is refused
// before the plug-in allocates anything.
TEST_F(ToolTest, TruncatedPicturesAreRefusedUnlessAllowed) {
  RgbImage img = MakePicture(40, 9, 7);
  WritePicture(In("p.bmp"), img);
  ASSERT_EQ(Run({"encode", In("p.bmp"), "-o", In("WHOLE.I24")}).status, 0);
  Bytes whole;
  ReadWholeFile(In("WHOLE.I24"), &whole);
  dir_.Write("CUT.I24", Bytes(whole.begin(), whole.begin() + 24 + (whole.size() - 24) / 2));
  ASSERT_EQ(Run({"pack", In("CUT.PAK"), In("CUT.I24")}).status, 0);
  dir_.Write("huge.i24", MakeI24B(65535, 65535, Bytes(100, 0x5A)));
  dir_.Write("big.i24", MakeI24B(20000, 20000, Bytes(100, 0x5A)));
  const std::string guessed = " to 9 of 9 are guessed";  // the first row depends on the coding
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;  // the line, up to its first row
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {{"decode", "@CUT.I24", "-o", "@out/c.bmp"}, 1, In("CUT.I24") + ": ends early: rows ", {}},
      {{"decode", "@CUT.I24", "-o", "@out/c.bmp", "--from-memory"}, 1, In("CUT.I24") + ": ends early: rows ", {}},
      {{"decode", "@CUT.I24", "-o", "@out/c.bmp", "--allow-truncated"}, 0, In("CUT.I24") + ": ends early: rows ",
       {"c.bmp"}},
      {{"extract", "@CUT.PAK", "-d", "@out", "--decode", "--format", "bmp"}, 1,
       In("CUT.PAK") + ": member CUT.I24: ends early: rows ", {"CUT.I24"}},
      {{"extract", "@CUT.PAK", "-d", "@out", "--decode", "--format", "bmp", "--allow-truncated"}, 0,
       In("CUT.PAK") + ": member CUT.I24: ends early: rows ", {"CUT.I24", "CUT.bmp"}},
      {{"decode", "@WHOLE.I24", "-o", "@out/w.bmp"}, 0, "", {"w.bmp"}},
      {{"decode", "@huge.i24", "-o", "@out/h.bmp"}, 1,
       In("huge.i24") + ": ends early: a 65535 x 65535 picture needs at least 63913009 bytes of coded data, "
                        "the file has 100",
       {}},
      {{"decode", "@big.i24", "-o", "@out/h.bmp", "--from-memory"}, 1,
       In("big.i24") + ": ends early: a 20000 x 20000 picture needs at least 5952500 bytes of coded data, "
                       "the file has 100",
       {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::string trace;
    for (const std::string& a : c.args) {
      args.push_back(a[0] == '@' ? In(a.substr(1)) : a);
      trace += a + " ";
    }
    SCOPED_TRACE(trace);
    fs::remove_all(In("out"));
    fs::create_directory(In("out"));
    auto start = std::chrono::steady_clock::now();
    RunResult r = Run(args);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.message.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.err.compare(0, 10 + c.message.size(), "kaldorin: " + c.message), 0) << r.err;
      EXPECT_TRUE(Contains(c.message, "picture needs") || Contains(r.err, guessed)) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_LT(seconds, 10.0);
    }
    EXPECT_EQ(Listing(In("out")), c.written);
    if (c.status == 0 && !c.message.empty()) {
      // What --allow-truncated writes is the plug-in's picture: the top
      // rows, whole in the data, as they were.
      RgbImage cut;
      std::string error;
      ASSERT_TRUE(ReadImageFile(In("out/" + c.written.back()), &cut, &error)) << error;
      ASSERT_EQ(cut.width, 40u);
      ASSERT_EQ(cut.height, 9u);
      EXPECT_TRUE(std::equal(img.rgb.begin(), img.rgb.begin() + 3 * 40, cut.rgb.begin()));
    }
  }
}

// Ctrl-C through the test hook: SIGINT is raised in the tool after N progress
// reports and travels the real path (handler, flag, callback, plug-in).
TEST_F(ToolTest, CancelledDecodeAndExtractLeaveNothingBehind) {
  RgbImage img = MakePicture(40, 300, 5);
  WritePicture(In("big.bmp"), img);
  ASSERT_EQ(Run({"encode", In("big.bmp"), "-o", In("BIG.I24")}).status, 0);
  ASSERT_EQ(Run({"pack", In("B.PAK"), In("BIG.I24")}).status, 0);
  fs::create_directory(In("out"));
  struct Case {
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {{"decode", In("BIG.I24"), "-o", In("out/big.png")}},
      {{"decode", In("BIG.I24"), "-o", In("out/big.bmp"), "--from-memory"}},
      {{"encode", In("big.bmp"), "-o", In("out/x.i24")}},
      {{"extract", In("B.PAK"), "-d", In("out")}},
      {{"extract", In("B.PAK"), "-d", In("out"), "--via-memory"}},
      {{"extract", In("B.PAK"), "-d", In("out"), "--from-memory"}},
  };
  for (const Case& c : cases) {
    for (const char* after : {"1", "7"}) {
      std::vector<std::string> args = c.args;
      args.insert(args.end(), {"--cancel-after", after, "--check-leaks"});
      SCOPED_TRACE(args[0] + " " + args.back() + " cancel after " + after);
      RunResult r = Run(args);
      EXPECT_EQ(r.status, 130) << r.err;
      EXPECT_TRUE(Contains(r.err, "cancelled")) << r.err;
      if (kHaveFaultInjection && args[0] != "encode") {
        EXPECT_TRUE(Contains(r.err, "0 blocks, 0 streams")) << r.err;
      }
      EXPECT_TRUE(Listing(In("out")).empty());
    }
  }
}

#ifndef _WIN32
// Whether process `pid` has `path` open: the plug-in holds the picture file
// open while it decodes.
bool HasFileOpen(pid_t pid, const std::string& path) {
  std::error_code ec;
  std::string want = fs::canonical(path, ec).string();
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code linkError;
    if (fs::read_symlink(it->path(), linkError).string() == want) return true;
  }
  return false;
}

// A real SIGINT from outside while the plug-in decodes a big picture.
TEST_F(ToolTest, InterruptFromOutsideStopsADecode) {
  RgbImage img = MakePicture(1500, 1000, 6);
  WritePicture(In("huge.bmp"), img);
  ASSERT_EQ(Run({"encode", In("huge.bmp"), "-o", In("HUGE.I24")}).status, 0);
  fs::create_directory(In("out"));
  Child c = Start({"decode", In("HUGE.I24"), "-o", In("out/huge.png"), "--check-leaks"}, logs_.File("o.txt"),
                  logs_.File("e.txt"));
  bool decoding = false;
  for (int i = 0; i < 2000 && !decoding; ++i) {
    decoding = HasFileOpen(c.pid, In("HUGE.I24"));
    if (!decoding) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(c.pid, SIGINT);
  int status = Wait(c);
  std::string err = Slurp(logs_.File("e.txt"));
  if (!decoding && status == 0) GTEST_SKIP() << "the decode finished before it was seen running";
  EXPECT_EQ(status, 130) << err;
  EXPECT_TRUE(Contains(err, "cancelled")) << err;
  EXPECT_TRUE(Contains(err, "0 blocks, 0 streams")) << err;
  EXPECT_TRUE(Listing(In("out")).empty());
}
// A small file system of its own, where the machine lets a test mount one
// (as root); unmounted when the object goes.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const char* size) : path_(path) {
    fs::create_directories(path);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// Failures while writing leave nothing partial and say what the system
// said: a full disk for real (a 256 KiB file system), a plug-in whose
// writes fail in the platform stand-in (the tool then writes the member
// itself), and a link planted at the first temporary name, which is left
// alone rather than followed.
TEST_F(ToolTest, FailedWritesLeaveNothingPartial) {
  Bytes big(400 * 1024);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  dir_.Write("BIG.BIN", big);
  dir_.Write("SMALL.TXT", Text("small"));
  ASSERT_EQ(Run({"pack", In("B.PAK"), In("SMALL.TXT"), In("BIG.BIN")}).status, 0);
  SmallFileSystem disk(In("disk"), "256k");
  dir_.Write("victim.txt", Text("keep me"));
  struct Case {
    std::vector<std::string> args;
    bool needsDisk;
    int status;
    const char* err;
    const char* plant;  // a link to victim.txt at this name in the output folder, or null
  };
  const Case cases[] = {
      {{"extract", "@B.PAK", "-d", "@disk"}, true, 1, "No space left on device", nullptr},
      {{"extract", "@B.PAK", "-d", "@disk", "--via-memory"}, true, 1, "No space left on device", nullptr},
      {{"pack", "@disk/C.PAK", "@SMALL.TXT", "@BIG.BIN"}, true, 1, "No space left on device", nullptr},
      {{"extract", "@B.PAK", "-d", "@out", "--inject-fault", "mmioWrite"}, false, 0, "", nullptr},
      {{"extract", "@B.PAK", "-d", "@out", "--inject-fault", "mmioWrite:short"}, false, 0, "", nullptr},
      {{"pack", "@out/C.PAK", "@SMALL.TXT", "@BIG.BIN", "--predictable-temp-names"}, false, 0, "",
       ".C.PAK.0000000000000000.kaldorin-tmp"},
      {{"extract", "@B.PAK", "BIG.BIN", "-d", "@out", "--via-memory", "--predictable-temp-names"}, false, 0, "",
       ".BIG.BIN.0000000000000000.kaldorin-tmp"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::string trace;
    for (const std::string& a : c.args) {
      args.push_back(a[0] == '@' ? In(a.substr(1)) : a);
      trace += a + " ";
    }
    SCOPED_TRACE(trace);
    if (c.needsDisk && !disk.mounted()) {
      printf("skipped (no small file system can be mounted here): %s\n", trace.c_str());
      continue;
    }
    if (!kHaveFaultInjection && Contains(trace, "--inject-fault")) continue;
    std::string folder = c.needsDisk ? In("disk") : In("out");
    fs::create_directories(folder);
    for (const std::string& name : Listing(folder)) fs::remove_all(folder + "/" + name);
    if (c.plant != nullptr) fs::create_symlink(In("victim.txt"), folder + "/" + c.plant);
    RunResult r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    EXPECT_FALSE(Contains(r.err, "internal error") || Contains(r.err, "[result")) << r.err;
    std::vector<std::string> left = Listing(folder);
    if (c.status != 0) {
      // A complete member may stay; nothing partial or temporary does.
      for (const std::string& name : left) EXPECT_EQ(name, "SMALL.TXT");
    } else if (args[0] == "extract") {
      Bytes got;
      EXPECT_TRUE(ReadWholeFile(folder + "/BIG.BIN", &got));
      EXPECT_TRUE(got == big) << "BIG.BIN differs";
    } else {
      EXPECT_EQ(Run({"list", args[1]}).status, 0);
    }
    Bytes victim;
    ReadWholeFile(In("victim.txt"), &victim);
    EXPECT_EQ(victim, Text("keep me"));
    if (c.plant != nullptr) {
      EXPECT_TRUE(fs::is_symlink(folder + "/" + c.plant));
    }
  }
}

// Whether process `pid` has a file open inside `folder`: the tool holds its
// temporary output open while it writes.
bool WritesInto(pid_t pid, const std::string& folder) {
  std::error_code ec;
  std::string want = fs::canonical(folder, ec).string() + "/";
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code linkError;
    if (fs::read_symlink(it->path(), linkError).string().rfind(want, 0) == 0) return true;
  }
  return false;
}

// The progress bar on a narrow terminal: every redraw fits one line.
TEST_F(ToolTest, ProgressBarFitsANarrowTerminal) {
  RgbImage img = MakePicture(600, 400, 12);
  WritePicture(In("wide.bmp"), img);
  ASSERT_EQ(Run({"encode", In("wide.bmp"), "-o", In("A_RATHER_LONG_PICTURE_NAME_INDEED.I24")}).status, 0);
  for (unsigned short columns : {30, 50, 120}) {
    SCOPED_TRACE(std::to_string(columns) + " columns");
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    int master = -1;
    std::string tool = ToolPath();
    std::string input = In("A_RATHER_LONG_PICTURE_NAME_INDEED.I24");
    std::string output = In("out" + std::to_string(columns) + ".bmp");
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl(tool.c_str(), tool.c_str(), "decode", input.c_str(), "-o", output.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::string screen;
    char buffer[4096];
    ssize_t n;
    while ((n = read(master, buffer, sizeof buffer)) > 0) screen.append(buffer, static_cast<size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_TRUE(Contains(screen, "] 100%")) << screen;
    size_t longest = 0;
    size_t start = 0;
    for (size_t i = 0; i <= screen.size(); ++i) {
      if (i == screen.size() || screen[i] == '\r' || screen[i] == '\n') {
        longest = std::max(longest, i - start);
        start = i + 1;
      }
    }
    EXPECT_LT(longest, columns) << screen;
  }
}

// Signals while a large picture is being written: the first Ctrl-C stops
// the write at the next rows; a second Ctrl-C, SIGTERM and SIGHUP end the
// tool at once. Each time the temporary file goes with it.
TEST_F(ToolTest, SignalsDuringAWriteLeaveNothingBehind) {
  RgbImage img = MakePicture(2000, 1500, 8);
  WritePicture(In("huge.bmp"), img);
  ASSERT_EQ(Run({"encode", In("huge.bmp"), "-o", In("HUGE.I24")}).status, 0);
  const struct {
    std::vector<int> signals;
    int status;
  } cases[] = {{{SIGINT}, 130}, {{SIGINT, SIGINT}, 128 + SIGINT}, {{SIGTERM}, 128 + SIGTERM}, {{SIGHUP}, 128 + SIGHUP}};
  for (const auto& c : cases) {
    SCOPED_TRACE("signal " + std::to_string(c.signals[0]) + " x" + std::to_string(c.signals.size()));
    fs::remove_all(In("out"));
    fs::create_directory(In("out"));
    Child child = Start({"decode", In("HUGE.I24"), "-o", In("out/huge.png")},
                        logs_.File("o.txt"), logs_.File("e.txt"));
    bool writing = false;
    for (int i = 0; i < 4000 && !writing; ++i) {
      writing = WritesInto(child.pid, In("out"));
      if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (int sig : c.signals) kill(child.pid, sig);
    int status = Wait(child);
    if (!writing && status == 0) {
      printf("skipped: the write finished before it was seen running\n");
      continue;
    }
    EXPECT_EQ(status, c.status) << Slurp(logs_.File("e.txt"));
    EXPECT_TRUE(Listing(In("out")).empty());
  }
}
#endif

// encode refuses transparency unless told how to drop it, reads 16-bit
// samples without gamma changes and names its output after the input;
// compare exits like cmp. The PNG rows run on every build: through libpng
// natively, through the Windows Imaging Component under Wine.
TEST_F(ToolTest, EncodeTransparencyDepthNamesAndCompareStatus) {
  // Opaque, clear, half opaque, nearly clear white.
  const std::vector<uint16_t> rgba = {10, 20, 30, 255, 200, 100, 50, 0, 200, 100, 50, 128, 255, 255, 255, 1};
  const std::vector<uint8_t> colours = {10, 20, 30, 200, 100, 50, 200, 100, 50, 255, 255, 255};
  const std::vector<uint8_t> overBackground = {10, 20, 30, 16, 32, 48, 108, 66, 49, 17, 33, 49};  // over #102030
  std::vector<uint8_t> bmpPixels;
  for (size_t i = 0; i < rgba.size(); i += 4) {
    for (int c : {2, 1, 0, 3}) bmpPixels.push_back(static_cast<uint8_t>(rgba[i + c]));
  }
  dir_.Write("clear.bmp", Bmp32(bmpPixels, true));
  std::vector<uint8_t> padded = bmpPixels;
  for (size_t i = 3; i < padded.size(); i += 4) padded[i] = static_cast<uint8_t>(i);  // not alpha
  dir_.Write("padded.bmp", Bmp32(padded, false));
  fs::create_directory(In("dir.v2"));
  WritePicture(In("dir.v2/noext.bmp"), MakePicture(3, 2, 7));
  fs::rename(In("dir.v2/noext.bmp"), In("dir.v2/noext"));
  WritePicture(In("dir.v2/h.bmp"), MakePicture(2, 2, 8));
  fs::rename(In("dir.v2/h.bmp"), In("dir.v2/.hidden"));
  WritePicture(In("a.bmp"), MakePicture(4, 3, 9));
  WritePicture(In("b.bmp"), MakePicture(4, 3, 10));
  WriteTestPng(In("clear.png"), {kPngRgba, 8, 4, rgba, {}, {}, false});
  WriteTestPng(In("opaque.png"), {kPngRgba, 8, 1, {1, 2, 3, 255}, {}, {}, false});
  WriteTestPng(In("deep.png"), {kPngRgb, 16, 2, {0x8000, 0x7FFF, 0xFFFF, 0, 0x0101, 0x8001}, {}, {}, false});
  WriteTestPng(In("dir.v2/holiday.png"), {kPngRgb, 8, 1, {7, 8, 9}, {}, {}, false});
  // The same colours as clear.png, fully opaque.
  WriteTestPng(In("colours.png"), {kPngRgb, 8, 4, {colours.begin(), colours.end()}, {}, {}, false});
  // clear.png cut inside its last chunk, and with a byte of its pixel data
  // changed (the chunk's checksum no longer matches).
  Bytes whole;
  ASSERT_TRUE(ReadWholeFile(In("clear.png"), &whole));
  dir_.Write("cut.png", Bytes(whole.begin(), whole.end() - 6));
  whole[whole.size() - 20] ^= 0xFF;
  dir_.Write("bad.png", whole);

  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string message;
    std::string output;          // written on success; absent after a failure
    std::vector<uint8_t> pixels;  // the output's pixels, decoded
  };
  const std::string refusal = "4 pixels are not fully opaque and I24B has no transparency; use --background COLOR";
  const Case cases[] = {
      {"transparent BMP refused", {"encode", In("clear.bmp")}, 1, In("clear.bmp") + ": 3 of " + refusal,
       In("clear.i24"), {}},
      {"over a background", {"encode", In("clear.bmp"), "--background", "#102030"}, 0, "", In("clear.i24"),
       overBackground},
      {"alpha ignored", {"encode", In("clear.bmp"), "--ignore-alpha", "-o", In("x.i24")}, 0, "", In("x.i24"),
       colours},
      {"both ways at once", {"encode", In("clear.bmp"), "--ignore-alpha", "--background", "102030"}, 2,
       "--background and --ignore-alpha exclude each other", In("clear.i24"), {}},
      {"bad colour", {"encode", In("clear.bmp"), "--background", "#10203"}, 2,
       "--background needs a colour as #RRGGBB", In("clear.i24"), {}},
      {"fourth byte of plain 32-bit BMP", {"encode", In("padded.bmp")}, 0, "", In("padded.i24"), colours},
      {"name without extension", {"encode", In("dir.v2/noext")}, 0, "", In("dir.v2/noext.i24"),
       MakePicture(3, 2, 7).rgb},
      {"leading-dot name", {"encode", In("dir.v2/.hidden")}, 0, "", In("dir.v2/.hidden.i24"),
       MakePicture(2, 2, 8).rgb},
      {"transparent PNG refused", {"encode", In("clear.png"), "-o", In("x.i24")}, 1, "3 of " + refusal,
       In("x.i24"), {}},
      {"PNG over a background", {"encode", In("clear.png"), "--background", "102030"}, 0, "",
       In("clear.i24"), overBackground},
      {"PNG alpha ignored", {"encode", In("clear.png"), "--ignore-alpha"}, 0, "", In("clear.i24"), colours},
      {"opaque alpha channel", {"encode", In("opaque.png")}, 0, "", In("opaque.i24"), {1, 2, 3}},
      {"16-bit samples", {"encode", In("deep.png")}, 0, "", In("deep.i24"), {128, 127, 255, 0, 1, 128}},
      {"default name", {"encode", In("dir.v2/holiday.png")}, 0, "", In("dir.v2/holiday.i24"), {7, 8, 9}},
      {"compare: same", {"compare", In("a.bmp"), In("a.bmp")}, 0, "", "", {}},
      {"compare: different", {"compare", In("a.bmp"), In("b.bmp")}, 1, "differs from", "", {}},
      {"compare: other size", {"compare", In("a.bmp"), In("padded.bmp")}, 1, "4 x 1 pixels against 4 x 3",
       "", {}},
      {"compare: missing file", {"compare", In("a.bmp"), In("none.bmp")}, 2, In("none.bmp") + ": ", "", {}},
      {"compare: not a picture", {"compare", In("dir.v2/noext.i24"), In("a.bmp")}, 2,
       In("dir.v2/noext.i24") + ": not a PNG or BMP file", "", {}},
      {"compare: alpha differs", {"compare", In("padded.bmp"), In("clear.bmp")}, 1,
       "in 3 pixels, first at (1, 0): 200,100,50,0 against 200,100,50,255", "", {}},
      {"compare: PNG alpha differs", {"compare", In("colours.png"), In("clear.png")}, 1, "in 3 pixels", "", {}},
      {"compare: opaque alpha", {"compare", In("opaque.png"), In("opaque.png")}, 0, "", "", {}},
      {"compare: truncated PNG", {"compare", In("cut.png"), In("a.bmp")}, 2, In("cut.png") + ": PNG: file is truncated",
       "", {}},
      {"compare: damaged PNG", {"compare", In("bad.png"), In("a.bmp")}, 2, In("bad.png") + ": PNG: ", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.output.empty()) fs::remove(c.output);
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    if (c.output.empty()) continue;
    if (c.status != 0) {
      EXPECT_FALSE(fs::exists(c.output));
      continue;
    }
    ASSERT_EQ(Run({"decode", c.output, "-o", In("check.bmp"), "--force"}).status, 0);
    RgbImage got;
    std::string error;
    ASSERT_TRUE(ReadImageFile(In("check.bmp"), &got, &error)) << error;
    EXPECT_EQ(got.rgb, c.pixels);
  }
  // Failed runs leave no temporary files behind.
  for (const std::string& name : Listing(dir_.path())) EXPECT_NE(name[0], '.') << name;
}

// Every PNG colour type and bit depth, with and without tRNS, expanded to
// 8-bit RGB (and alpha) without gamma changes.
TEST(ReadImageFile, PngColourTypesAndDepths) {
  const int kGrey = kPngGrey, kGreyAlpha = kPngGreyAlpha, kPalette = kPngPalette, kRgb = kPngRgb, kRgba = kPngRgba;
  const std::vector<uint8_t> pal = {1, 2, 3, 250, 251, 252, 9, 99, 199};
  struct Case {
    const char* what;
    TestPng png;
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> alpha;  // empty: the picture has no alpha
  };
  const Case cases[] = {
      {"grey 1", {kGrey, 1, 3, {0, 1, 0}, {}, {}, false}, {0, 0, 0, 255, 255, 255, 0, 0, 0}, {}},
      {"grey 2", {kGrey, 2, 4, {0, 1, 2, 3}, {}, {}, false}, {0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255}, {}},
      {"grey 4", {kGrey, 4, 3, {1, 8, 15}, {}, {}, false}, {17, 17, 17, 136, 136, 136, 255, 255, 255}, {}},
      {"grey 8", {kGrey, 8, 2, {0, 128}, {}, {}, false}, {0, 0, 0, 128, 128, 128}, {}},
      {"grey 16", {kGrey, 16, 4, {0x7FFF, 0x8000, 0x0707, 0xFFFF}, {}, {}, false},
       {127, 127, 127, 128, 128, 128, 7, 7, 7, 255, 255, 255}, {}},
      {"grey 1 tRNS", {kGrey, 1, 2, {0, 1}, {}, {1}, false}, {0, 0, 0, 255, 255, 255}, {255, 0}},
      {"grey 2 tRNS", {kGrey, 2, 2, {2, 3}, {}, {2}, false}, {170, 170, 170, 255, 255, 255}, {0, 255}},
      {"grey 4 tRNS", {kGrey, 4, 2, {5, 6}, {}, {6}, false}, {85, 85, 85, 102, 102, 102}, {255, 0}},
      {"grey 8 tRNS", {kGrey, 8, 2, {127, 128}, {}, {127}, false}, {127, 127, 127, 128, 128, 128}, {0, 255}},
      // The transparent grey is matched at 16 bits, before scaling.
      {"grey 16 tRNS", {kGrey, 16, 2, {0x8000, 0x8001}, {}, {0x8000}, false}, {128, 128, 128, 128, 128, 128},
       {0, 255}},
      {"grey alpha 8", {kGreyAlpha, 8, 2, {10, 0, 200, 128}, {}, {}, false}, {10, 10, 10, 200, 200, 200}, {0, 128}},
      {"grey alpha 16", {kGreyAlpha, 16, 2, {0x8000, 0x7FFF, 0xFFFF, 0xFFFF}, {}, {}, false},
       {128, 128, 128, 255, 255, 255}, {127, 255}},
      {"palette 1", {kPalette, 1, 3, {1, 0, 1}, {pal.begin(), pal.begin() + 6}, {}, false},
       {250, 251, 252, 1, 2, 3, 250, 251, 252}, {}},
      {"palette 2", {kPalette, 2, 3, {2, 0, 1}, pal, {}, false}, {9, 99, 199, 1, 2, 3, 250, 251, 252}, {}},
      // tRNS shorter than the palette: later entries are opaque.
      {"palette 4 tRNS", {kPalette, 4, 3, {2, 1, 0}, pal, {0, 128}, false}, {9, 99, 199, 250, 251, 252, 1, 2, 3},
       {255, 128, 0}},
      {"palette 8", {kPalette, 8, 2, {1, 2}, pal, {}, false}, {250, 251, 252, 9, 99, 199}, {}},
      {"palette 8 tRNS", {kPalette, 8, 2, {1, 2}, pal, {7, 8, 9}, false}, {250, 251, 252, 9, 99, 199}, {8, 9}},
      {"RGB 8", {kRgb, 8, 2, {1, 2, 3, 250, 128, 0}, {}, {}, false}, {1, 2, 3, 250, 128, 0}, {}},
      {"RGB 16", {kRgb, 16, 2, {0x8000, 0x7FFF, 0xFFFF, 0x0101, 0x0202, 0x0303}, {}, {}, false},
       {128, 127, 255, 1, 2, 3}, {}},
      {"RGB 8 tRNS", {kRgb, 8, 2, {1, 2, 3, 1, 2, 4}, {}, {1, 2, 3}, false}, {1, 2, 3, 1, 2, 4}, {0, 255}},
      {"RGB 16 tRNS", {kRgb, 16, 2, {0x8000, 0x8000, 0x8000, 0x8001, 0x8000, 0x8000}, {}, {0x8000, 0x8000, 0x8000},
                       false},
       {128, 128, 128, 128, 128, 128}, {0, 255}},
      {"RGBA 8", {kRgba, 8, 2, {1, 2, 3, 0, 4, 5, 6, 255}, {}, {}, false}, {1, 2, 3, 4, 5, 6}, {0, 255}},
      {"RGBA 16", {kRgba, 16, 1, {0x8000, 0, 0xFFFF, 0x7FFF}, {}, {}, false}, {128, 0, 255}, {127}},
      {"interlaced grey 8", {kGrey, 8, 3, {0, 10, 20, 30, 40, 50, 60, 70, 80}, {}, {}, true},
       {0, 0, 0, 10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40, 50, 50, 50, 60, 60, 60, 70, 70, 70, 80, 80, 80}, {}},
      {"interlaced palette 2 tRNS", {kPalette, 2, 2, {0, 1, 2, 1}, pal, {5}, true},
       {1, 2, 3, 250, 251, 252, 9, 99, 199, 250, 251, 252}, {5, 255, 255, 255}},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir.File("t.png");
    WriteTestPng(path, c.png);
    RgbImage got;
    std::string error;
    ASSERT_TRUE(ReadImageFile(path, &got, &error)) << error;
    EXPECT_EQ(got.width, c.png.width);
    EXPECT_EQ(got.rgb, c.rgb);
    EXPECT_EQ(got.alpha, c.alpha);
  }
}

TEST(PackWriter, MemberNamesAndOffsetLimits) {
  // The refusal in words: the first part of the name rule the name breaks.
  const struct {
    std::string name;
    const char* why;  // null: the name can be stored
  } names[] = {
      {"A.TXT", nullptr},
      {".", nullptr},
      {"abcdefghij.klm", nullptr},
      {"x.", nullptr},
      {"abcdefghijk.lmn", "names are limited to 14 characters, this one has 15"},
      {"A-B.C.D.E.F.G.H", "names are limited to 14 characters, this one has 15"},
      {"A.B.C", "a name must hold exactly one full stop"},
      {"ARCHIVE", "a name must hold exactly one full stop"},
      {"READ-ME.TXT", "only letters, digits and one full stop are allowed in names"},
      {"a b.c", "only letters, digits and one full stop are allowed in names"},
      {std::string("A\0.B", 4), "only letters, digits and one full stop are allowed in names"},
      {"\xC9.TXT", "only letters, digits and one full stop are allowed in names"},
      {"", "an empty name cannot be stored"},
  };
  for (const auto& n : names) {
    std::string why;
    EXPECT_EQ(pack::CheckMemberName(n.name, &why), n.why == nullptr) << n.name;
    EXPECT_EQ(why, n.why != nullptr ? n.why : "") << n.name;
  }
  // Data members follow the directory; an empty member starts at its own
  // entry, so that no two members share a position.
  const struct {
    std::vector<uint64_t> sizes;
    std::vector<uint32_t> offsets;  // empty: refused
    const char* error;
  } plans[] = {
      {{3, 0, 7}, {104, 32, 107}, ""},
      {{0, 0, 5}, {8, 32, 104}, ""},
      {{0}, {8}, ""},
      // Every member must end by byte 2^31 - 1, the reach of 32-bit signed offsets.
      {{0x7FFFFFFFull - 80 - 5, 5}, {80, 0x7FFFFFFFu - 5}, ""},
      {{0x7FFFFFFFull - 80 - 4, 5}, {}, "member 2 would end at byte 2147483648"},
      {{0x100000000ull}, {}, "past the 2 GiB - 1"},
  };
  for (const auto& plan : plans) {
    std::vector<uint32_t> offsets;
    std::string error;
    EXPECT_EQ(pack::PlanPack(plan.sizes, &offsets, &error), !plan.offsets.empty()) << error;
    if (!plan.offsets.empty()) {
      EXPECT_EQ(offsets, plan.offsets);
    }
    EXPECT_TRUE(Contains(error, plan.error)) << error;
  }
}

}  // namespace
