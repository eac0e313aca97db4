// Writes the seed corpora of the fuzz targets: small I24B pictures made by
// our encoder plus hand-made headers and streams for glimmet's targets, and
// PACK archives made by our writer plus hand-made directories for
// chestrel's. Every seed of a per-export target starts with the three
// control bytes of fuzz_support.h; the round-trip seeds are a width byte, a
// mode byte and pixel bytes (see glimmet_roundtrip_fuzzer.cpp).
//
// Usage: make_seeds OUTPUT_FOLDER   (writes OUTPUT_FOLDER/TARGET/* for
// every target; the committed corpora are `make_seeds fuzz/corpus`)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive_pack/pack_writer.h"
#include "image_i24b/i24b_encoder.h"
#include "tests/pack_model.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Control bytes: byte 0 = callback behaviour, byte 1 = file bit and fault
// selector, byte 2 = flag bits.
const Bytes kPlain = {0x00, 0x00, 0x00};
const Bytes kCancelRow1 = {0x01 | (1 << 2), 0x00, 0x00};   // cancel at the second progress call
const Bytes kCancelFinal = {0x02, 0x00, 0x00};             // cancel at the final call
const Bytes kNullCallback = {0x03, 0x00, 0x00};
const Bytes kToFiles = {0x00, 0x01, 0x00};                 // also through files
const Bytes kToFilesFromByte1 = {0x00, 0x01, 0x10};        // probe handle starts at byte 1
const Bytes kIgnoreCase = {0x00, 0x00, 0x80};
const Bytes kIgnoredBits = {0x00, 0x00, 0x7F};             // output type 7, bits 3-6 and the high half
const Bytes kFaultFirstRead = {0x00, 0xC3, 0x00};          // the first mmioRead fails
const Bytes kFaultFirstOpen = {0x00, 0xC2, 0x00};          // the first mmioOpen fails
const Bytes kFaultSecondAlloc = {0x00, 0xC0 + 10, 0x00};   // the second LocalAlloc fails

// The folders of the per-export targets.
struct Folders {
  std::string probe, pictureInfo, picture;                      // glimmet
  std::string archiveProbe, archiveInfo, fileInfo, file;        // chestrel
};

bool gFailed = false;

void Put32(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Write(const std::string& path, const Bytes& control, const Bytes& payload) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    gFailed = true;
    return;
  }
  fwrite(control.data(), 1, control.size(), f);
  if (!payload.empty()) fwrite(payload.data(), 1, payload.size(), f);
  if (fclose(f) != 0) gFailed = true;
}

bool ReadAll(const std::string& path, Bytes* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  fclose(f);
  return true;
}

// A small deterministic generator, so that the seeds are the same each time.
uint32_t NextRandom(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

enum Pattern { kGradient, kNoise, kFewColours, kStripes };

Bytes Picture(uint32_t width, uint32_t height, Pattern pattern) {
  Bytes rgb(size_t{width} * height * 3);
  uint32_t state = width * 7919u + height;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &rgb[(size_t{y} * width + x) * 3];
      switch (pattern) {
        case kGradient:
          p[0] = static_cast<uint8_t>(x * 4);
          p[1] = static_cast<uint8_t>(y * 4);
          p[2] = static_cast<uint8_t>(x + y);
          break;
        case kNoise:
          p[0] = static_cast<uint8_t>(NextRandom(&state));
          p[1] = static_cast<uint8_t>(NextRandom(&state));
          p[2] = static_cast<uint8_t>(NextRandom(&state));
          break;
        case kFewColours: {
          const uint8_t v = static_cast<uint8_t>((NextRandom(&state) % 4) * 60);
          p[0] = v;
          p[1] = static_cast<uint8_t>(255 - v);
          p[2] = static_cast<uint8_t>(v / 2);
          break;
        }
        case kStripes:
          p[0] = p[1] = p[2] = ((x / 5 + y / 3) % 2) ? 200 : 10;
          break;
      }
    }
  }
  return rgb;
}

Bytes Encode(uint32_t width, uint32_t height, Pattern pattern) {
  Bytes rgb = Picture(width, height, pattern);
  Bytes out;
  std::string error;
  if (!i24b::EncodeI24B(rgb.data(), width, height, &out, nullptr, nullptr, nullptr, &error)) {
    fprintf(stderr, "encoding %ux%u failed: %s\n", width, height, error.c_str());
    gFailed = true;
  }
  return out;
}

Bytes I24BHeader(uint32_t width, uint32_t height) {
  Bytes b = {'I', '2', '4', 'B'};
  Put32(&b, 0x00010000);
  Put32(&b, 0);
  b.push_back(static_cast<uint8_t>(width));
  b.push_back(static_cast<uint8_t>(width >> 8));
  b.push_back(static_cast<uint8_t>(height));
  b.push_back(static_cast<uint8_t>(height >> 8));
  Put32(&b, 24);
  Put32(&b, 0);
  return b;
}

void GlimmetSeeds(const Folders& f) {
  struct Encoded {
    const char* name;
    uint32_t width, height;
    Pattern pattern;
  } const encoded[] = {
      {"1x1", 1, 1, kNoise},          {"2x1", 2, 1, kGradient},       {"3x2", 3, 2, kNoise},
      {"5x3-pad", 5, 3, kFewColours}, {"7x4", 7, 4, kNoise},          {"16x16", 16, 16, kGradient},
      {"40x30", 40, 30, kFewColours}, {"64x8", 64, 8, kNoise},        {"1x20", 1, 20, kStripes},
      {"130x2-runs", 130, 2, kStripes}, {"33x9", 33, 9, kStripes},    {"9x9-few", 9, 9, kFewColours},
  };
  for (const Encoded& e : encoded) Write(f.picture + "/" + e.name, kPlain, Encode(e.width, e.height, e.pattern));
  const Bytes small = Encode(8, 6, kFewColours);
  Write(f.picture + "/8x6-cancel-row1", kCancelRow1, small);
  Write(f.picture + "/8x6-cancel-final", kCancelFinal, small);
  Write(f.picture + "/8x6-null-callback", kNullCallback, small);
  Write(f.picture + "/8x6-fault-read", kFaultFirstRead, small);
  Write(f.picture + "/8x6-fault-second-alloc", kFaultSecondAlloc, small);
  Write(f.picture + "/8x6-from-file", kToFiles, small);
  Write(f.picture + "/8x6-ignored-flag-bits", kIgnoredBits, small);

  // Hand-made: headers alone, two pixels with explicit deltas, edge sizes.
  std::vector<std::pair<std::string, Bytes>> made;
  made.push_back({"header-0x0", I24BHeader(0, 0)});
  made.push_back({"header-0x3", I24BHeader(0, 3)});
  Bytes twoPixels = I24BHeader(2, 1);
  twoPixels.insert(twoPixels.end(), {0xE6, 0x51, 0x24});
  made.push_back({"2x1-explicit-deltas", twoPixels});
  Bytes wide = I24BHeader(65535, 1);
  wide.insert(wide.end(), {0xF0, 0x0F, 0xAA, 0x55});
  made.push_back({"65535x1", wide});
  made.push_back({"65535x65535", I24BHeader(65535, 65535)});
  Bytes shortHeader = I24BHeader(4, 4);
  shortHeader.resize(23);
  made.push_back({"short-header", shortHeader});
  Bytes column = I24BHeader(1, 5);
  column.insert(column.end(), {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
  made.push_back({"1x5-bytes", column});
  Bytes depth32 = I24BHeader(4, 4);
  depth32[16] = 32;
  made.push_back({"depth-32", depth32});
  Bytes version2 = I24BHeader(4, 4);
  version2[6] = 2;
  made.push_back({"version-2", version2});
  for (const auto& m : made) {
    Write(f.picture + "/" + m.first, kPlain, m.second);
    Write(f.pictureInfo + "/" + m.first, kPlain, m.second);
    Write(f.probe + "/" + m.first, kPlain, m.second);
  }

  // What the header-only exports see beyond the header: a few pictures,
  // the flag's other bits, failures and the host handle.
  const Bytes picture = Encode(7, 4, kNoise);
  Write(f.pictureInfo + "/7x4", kPlain, picture);
  Write(f.pictureInfo + "/7x4-ignored-flag-bits", kIgnoredBits, picture);
  Write(f.pictureInfo + "/7x4-fault-read", kFaultFirstRead, picture);
  Write(f.pictureInfo + "/7x4-fault-open", kFaultFirstOpen, picture);
  Write(f.probe + "/7x4", kPlain, picture);
  Write(f.probe + "/7x4-handle", kToFiles, picture);
  Write(f.probe + "/short-header-handle", kToFiles, shortHeader);
  Bytes shifted(1, 'x');
  shifted.insert(shifted.end(), picture.begin(), picture.end());
  Write(f.probe + "/7x4-handle-from-byte-1", kToFilesFromByte1, shifted);
  Write(f.probe + "/7x4-fault-read", kFaultFirstRead, picture);
  Write(f.probe + "/7x4-fault-open", kFaultFirstOpen, picture);
  Bytes large = Encode(40, 30, kNoise);  // longer than the probe
  Write(f.probe + "/40x30-noise", kPlain, large);
}

Bytes PackFrom(const std::string& tmp, const std::vector<std::pair<std::string, Bytes>>& members) {
  std::vector<pack::PackInput> inputs;
  for (size_t i = 0; i < members.size(); ++i) {
    const std::string path = tmp + "/member" + std::to_string(i);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
      gFailed = true;
      return Bytes();
    }
    if (!members[i].second.empty()) fwrite(members[i].second.data(), 1, members[i].second.size(), f);
    fclose(f);
    inputs.push_back(pack::PackInput{members[i].first, path});
  }
  const std::string out = tmp + "/archive.pak";
  pack::PackResult result;
  std::string error = "cannot write " + out;
  Bytes archive;
  FILE* f = fopen(out.c_str(), "wb");
  bool written = f != nullptr && pack::WritePack(f, inputs, nullptr, nullptr, &result, &error);
  if (f != nullptr && fclose(f) != 0) written = false;
  if (!written || !ReadAll(out, &archive)) {
    fprintf(stderr, "writing a seed archive failed: %s\n", error.c_str());
    gFailed = true;
  }
  for (size_t i = 0; i < members.size(); ++i) unlink((tmp + "/member" + std::to_string(i)).c_str());
  unlink(out.c_str());
  return archive;
}

Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

// A hand-made directory (the PACK model's), then `tail`.
Bytes HandMade(const std::vector<pack::model::PackEntryBytes>& entries, const Bytes& tail, int64_t directoryEnd = -1) {
  Bytes b = pack::model::PackDirectory(entries, directoryEnd);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

void ChestrelSeeds(const Folders& f, const std::string& tmp) {
  const std::string all[] = {f.archiveProbe, f.archiveInfo, f.fileInfo, f.file};
  std::vector<std::pair<std::string, Bytes>> archives;
  const Bytes one = PackFrom(tmp, {{"A.TXT", Text("abc")}});
  archives.push_back({"one-member", one});
  Bytes hundred(100);
  for (size_t i = 0; i < hundred.size(); ++i) hundred[i] = static_cast<uint8_t>(i * 37);
  const Bytes three = PackFrom(tmp, {{"README.TXT", hundred}, {"B.DAT", Text("hello, world")}, {".", Text("x")}});
  archives.push_back({"three-members", three});
  archives.push_back({"empty-member", PackFrom(tmp, {{"EMPTY.BIN", Bytes()}, {"X.Y", Text("z")}})});
  archives.push_back({"long-name", PackFrom(tmp, {{"ABCDEFGHIJ.KLM", Text("fourteen")}})});
  std::vector<std::pair<std::string, Bytes>> many;
  for (int i = 0; i < 90; ++i) many.push_back({"F" + std::to_string(i) + ".B", Bytes(1, static_cast<uint8_t>(i))});
  const Bytes ninety = PackFrom(tmp, many);
  archives.push_back({"ninety-members", ninety});

  // Hand-made directories.
  using pack::model::NameField;
  archives.push_back({"tiny-43", HandMade({{40, 3, NameField("A.TXT")}}, {'x', 'y', 'z'})});  // 43 bytes, one member
  archives.push_back({"no-members", HandMade({}, {})});
  const Bytes wrongEnd = HandMade({{56, 2, NameField("A.B")}, {58, 2, NameField("readme.txt")}}, {1, 2, 3, 4}, 80);
  archives.push_back({"wrong-directory-end", wrongEnd});
  const Bytes beyond =
      HandMade({{60, 500, NameField("PAST.END")}, {4000, 10, NameField("FAR.AWAY")}}, {9, 9, 9, 9, 9, 9, 9, 9});
  archives.push_back({"members-past-end", beyond});
  // Characters where zeros belong.
  archives.push_back(
      {"invalid-name", HandMade({{56, 1, NameField("GOOD.A")}, {57, 1, NameField(8, "README.TXT")}}, {7, 8})});
  const Bytes sameOffset = HandMade({{56, 4, NameField("FIRST.A")}, {56, 2, NameField("SECOND.B")}}, {1, 2, 3, 4});
  archives.push_back({"shared-offset", sameOffset});
  // An empty member shares its position with a later member with data; a
  // lookup by that position takes the member with data.
  const Bytes emptyFirst =
      HandMade({{89, 0, NameField("EMPTY.A")}, {88, 1, NameField("OTHER.B")}, {89, 2, NameField("DATA.C")}}, {1, 2, 3});
  archives.push_back({"shared-offset-empty-first", emptyFirst});
  // Two empty members at one position, then the terminator: the first stands.
  const Bytes twoEmpty = HandMade({{64, 0, NameField("FIRST.A")}, {64, 0, NameField("SECOND.B")}}, {});
  archives.push_back({"shared-offset-two-empty", twoEmpty});
  // An empty member, then an invalid name: the empty member stands.
  const Bytes emptyThenBad = HandMade({{64, 0, NameField("EMPTY.A")}, {64, 1, NameField("BAD-NAME.B")}}, {5});
  archives.push_back({"shared-offset-empty-then-invalid-name", emptyThenBad});
  archives.push_back({"not-pack", Text("PACX\x08\x00\x00\x00")});
  for (const auto& a : archives) {
    for (const std::string& dir : all) Write(dir + "/" + a.first, kPlain, a.second);
  }

  // Per export: the host handle, the file paths, the flag's bits, the
  // progress callback's answers and failures.
  Write(f.archiveProbe + "/three-members-handle", kToFiles, three);
  Write(f.archiveProbe + "/ninety-members-handle", kToFiles, ninety);
  Bytes shifted(1, 'x');
  shifted.insert(shifted.end(), one.begin(), one.end());
  Write(f.archiveProbe + "/one-member-handle-from-byte-1", kToFilesFromByte1, shifted);
  Write(f.archiveProbe + "/one-member-fault-read", kFaultFirstRead, one);
  Write(f.archiveInfo + "/three-members-from-file", kToFiles, three);
  Write(f.archiveInfo + "/three-members-ignored-flag-bits", kIgnoredBits, three);
  Write(f.archiveInfo + "/three-members-fault-alloc", kFaultSecondAlloc, three);
  Write(f.archiveInfo + "/one-member-fault-read", kFaultFirstRead, one);
  Write(f.fileInfo + "/three-members-ignore-case", kIgnoreCase, three);
  Write(f.fileInfo + "/wrong-directory-end-ignore-case", kIgnoreCase, wrongEnd);
  Write(f.fileInfo + "/three-members-ignored-flag-bits", kIgnoredBits, three);
  Write(f.fileInfo + "/one-member-fault-read", kFaultFirstRead, one);
  Write(f.file + "/one-member-files", kToFiles, one);
  Write(f.file + "/one-member-cancel", kCancelRow1, one);
  Write(f.file + "/one-member-fault", kFaultFirstRead, one);
  Write(f.file + "/three-members-files", kToFiles, three);
  Write(f.file + "/three-members-cancel-final", kCancelFinal, three);
  Write(f.file + "/three-members-null-callback", kNullCallback, three);
  Write(f.file + "/three-members-output-7", kIgnoredBits, three);
  Write(f.file + "/empty-member-files", kToFiles, archives[2].second);
  Write(f.file + "/shared-offset-files", kToFiles, sameOffset);
  Write(f.file + "/shared-offset-empty-first-files", kToFiles, emptyFirst);
  Write(f.file + "/shared-offset-two-empty-files", kToFiles, twoEmpty);
  Write(f.file + "/shared-offset-empty-then-invalid-name-files", kToFiles, emptyThenBad);
  Write(f.file + "/members-past-end-files", kToFiles, beyond);
}

void RoundTripSeeds(const std::string& dir) {
  struct Seed {
    const char* name;
    uint8_t width;  // width - 1
    uint8_t mode;   // bit 0: palette
    size_t bytes;
    Pattern pattern;
  } const seeds[] = {
      {"noise-7", 6, 0, 7 * 5 * 3, kNoise},         {"gradient-16", 15, 0, 16 * 16 * 3, kGradient},
      {"palette-9", 8, 1, 12 + 9 * 9 / 4 + 1, kFewColours}, {"palette-48", 47, 1, 12 + 48 * 20 / 4, kStripes},
      {"stripes-33", 32, 0, 33 * 6 * 3, kStripes},   {"column-1", 0, 1, 12 + 10, kNoise},
  };
  for (const Seed& s : seeds) {
    const Bytes source = Picture(static_cast<uint32_t>(s.bytes), 1, s.pattern);
    Write(dir + "/" + s.name, Bytes{s.width, s.mode}, Bytes(source.begin(), source.begin() + s.bytes));
  }
}

// The gdk-pixbuf loader's incremental loads: byte 0 seeds the piece sizes,
// bit 0 of byte 1 asks for a smaller picture.
void PixbufLoaderSeeds(const std::string& dir) {
  const Bytes stripes = Encode(33, 9, kStripes);
  const Bytes noise = Encode(40, 30, kNoise);
  Write(dir + "/stripes-33x9", Bytes{0, 0}, stripes);
  Write(dir + "/noise-40x30-smaller", Bytes{7, 1}, noise);
  Write(dir + "/gradient-16x16-many-pieces", Bytes{200, 0}, Encode(16, 16, kGradient));
  Write(dir + "/noise-40x30-cut-short", Bytes{3, 0}, Bytes(noise.begin(), noise.end() - 40));
  Write(dir + "/header-only", Bytes{1, 0}, I24BHeader(300, 200));
  Write(dir + "/not-i24b", Bytes{0, 0}, Bytes{'P', 'A', 'C', 'K', 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
}

// Makes `path` and any missing folders above it.
bool MakeFolder(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  return mkdir(path.c_str(), 0755) == 0 || access(path.c_str(), W_OK) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  Folders f;
  f.probe = out + "/glimmet_is_supported";
  f.pictureInfo = out + "/glimmet_get_picture_info";
  f.picture = out + "/glimmet_get_picture";
  f.archiveProbe = out + "/chestrel_is_supported";
  f.archiveInfo = out + "/chestrel_get_archive_info";
  f.fileInfo = out + "/chestrel_get_file_info";
  f.file = out + "/chestrel_get_file";
  const std::string roundTrip = out + "/glimmet_roundtrip";
  const std::string pixbufLoader = out + "/pixbuf_loader_increments";
  const std::string tmp = out + "/tmp";
  const std::string folders[] = {f.probe, f.pictureInfo, f.picture, f.archiveProbe, f.archiveInfo,
                                 f.fileInfo, f.file, roundTrip, pixbufLoader, tmp};
  for (const std::string& folder : folders) {
    if (!MakeFolder(folder)) {
      fprintf(stderr, "cannot make %s\n", folder.c_str());
      return 1;
    }
  }
  GlimmetSeeds(f);
  ChestrelSeeds(f, tmp);
  RoundTripSeeds(roundTrip);
  PixbufLoaderSeeds(pixbufLoader);
  rmdir(tmp.c_str());
  return gFailed ? 1 : 0;
}
