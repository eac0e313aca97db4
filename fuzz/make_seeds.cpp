// Writes the seed corpora of the fuzz targets: small I24B pictures made by
// our encoder plus hand-made headers and streams for glimmet, and PACK
// archives made by our writer plus hand-made directories for chestrel.
// Every glimmet and chestrel seed starts with the two control bytes of
// fuzz_support.h; the round-trip seeds are a width byte, a mode byte and
// pixel bytes (see glimmet_roundtrip_fuzzer.cpp).
//
// Usage: make_seeds OUTPUT_FOLDER   (writes OUTPUT_FOLDER/glimmet/*,
// OUTPUT_FOLDER/chestrel/* and OUTPUT_FOLDER/glimmet_roundtrip/*)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/i24b_encoder.h"
#include "tools/pack_writer.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Control bytes: byte 0 = callback behaviour, byte 1 = fault selector.
const Bytes kPlain = {0x00, 0x00};
const Bytes kCancelRow1 = {0x01 | (1 << 2), 0x00};   // cancel at the second progress call
const Bytes kCancelFinal = {0x02, 0x00};             // cancel at the final call
const Bytes kNullCallback = {0x03, 0x00};
const Bytes kToFiles = {0x00, 0x01};                 // chestrel: also extract to a folder
const Bytes kIgnoreCase = {0x80, 0x00};
const Bytes kFaultFirstRead = {0x00, 0xC3};          // the first mmioRead fails

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
  if (!EncodeI24B(rgb.data(), width, height, &out, nullptr, nullptr, nullptr, &error)) {
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

void GlimmetSeeds(const std::string& dir) {
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
  for (const Encoded& e : encoded) Write(dir + "/" + e.name, kPlain, Encode(e.width, e.height, e.pattern));
  const Bytes small = Encode(8, 6, kFewColours);
  Write(dir + "/8x6-cancel-row1", kCancelRow1, small);
  Write(dir + "/8x6-cancel-final", kCancelFinal, small);
  Write(dir + "/8x6-null-callback", kNullCallback, small);
  Write(dir + "/8x6-fault-read", kFaultFirstRead, small);

  // Hand-made: headers alone, the two-pixel example stream, edge sizes.
  Write(dir + "/header-0x0", kPlain, I24BHeader(0, 0));
  Write(dir + "/header-0x3", kPlain, I24BHeader(0, 3));
  Bytes twoPixels = I24BHeader(2, 1);
  twoPixels.insert(twoPixels.end(), {0xE6, 0x51, 0x24});
  Write(dir + "/2x1-example", kPlain, twoPixels);
  Bytes wide = I24BHeader(65535, 1);
  wide.insert(wide.end(), {0xF0, 0x0F, 0xAA, 0x55});
  Write(dir + "/65535x1", kPlain, wide);
  Write(dir + "/65535x65535", kPlain, I24BHeader(65535, 65535));
  Bytes shortHeader = I24BHeader(4, 4);
  shortHeader.resize(23);
  Write(dir + "/short-header", kPlain, shortHeader);
  Bytes column = I24BHeader(1, 5);
  column.insert(column.end(), {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
  Write(dir + "/1x5-bytes", kPlain, column);
}

Bytes PackFrom(const std::string& tmp, const std::vector<std::pair<std::string, Bytes>>& members) {
  std::vector<PackInput> inputs;
  for (size_t i = 0; i < members.size(); ++i) {
    const std::string path = tmp + "/member" + std::to_string(i);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
      gFailed = true;
      return Bytes();
    }
    if (!members[i].second.empty()) fwrite(members[i].second.data(), 1, members[i].second.size(), f);
    fclose(f);
    inputs.push_back(PackInput{members[i].first, path});
  }
  const std::string out = tmp + "/archive.pak";
  PackResult result;
  std::string error;
  Bytes archive;
  if (!WritePack(out, inputs, nullptr, nullptr, &result, &error) || !ReadAll(out, &archive)) {
    fprintf(stderr, "writing a seed archive failed: %s\n", error.c_str());
    gFailed = true;
  }
  for (size_t i = 0; i < members.size(); ++i) unlink((tmp + "/member" + std::to_string(i)).c_str());
  unlink(out.c_str());
  return archive;
}

Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

// One directory entry: offset, size and a counted name field of 16 bytes.
void PutEntry(Bytes* b, uint32_t offset, uint32_t size, const char* name, int lengthByte = -1) {
  Put32(b, offset);
  Put32(b, size);
  const size_t n = strlen(name);
  b->push_back(static_cast<uint8_t>(lengthByte >= 0 ? lengthByte : static_cast<int>(n)));
  for (size_t i = 0; i < 15; ++i) b->push_back(i < n ? static_cast<uint8_t>(name[i]) : 0);
}

Bytes PackHeader(uint32_t directoryEnd) {
  Bytes b = {'P', 'A', 'C', 'K'};
  Put32(&b, directoryEnd);
  return b;
}

void ChestrelSeeds(const std::string& dir, const std::string& tmp) {
  const Bytes one = PackFrom(tmp, {{"A.TXT", Text("abc")}});
  Write(dir + "/one-member", kPlain, one);
  Write(dir + "/one-member-files", kToFiles, one);
  Write(dir + "/one-member-cancel", kCancelRow1, one);
  Write(dir + "/one-member-fault", kFaultFirstRead, one);
  Bytes hundred(100);
  for (size_t i = 0; i < hundred.size(); ++i) hundred[i] = static_cast<uint8_t>(i * 37);
  const Bytes three = PackFrom(tmp, {{"README.TXT", hundred}, {"B.DAT", Text("hello, world")}, {".", Text("x")}});
  Write(dir + "/three-members", kPlain, three);
  Write(dir + "/three-members-files", kToFiles, three);
  Write(dir + "/three-members-ignore-case", kIgnoreCase, three);
  Write(dir + "/three-members-null-callback", kNullCallback, three);
  Write(dir + "/empty-member", kToFiles, PackFrom(tmp, {{"EMPTY.BIN", Bytes()}, {"X.Y", Text("z")}}));
  Write(dir + "/long-name", kPlain, PackFrom(tmp, {{"ABCDEFGHIJ.KLM", Text("fourteen")}}));
  std::vector<std::pair<std::string, Bytes>> many;
  for (int i = 0; i < 90; ++i) many.push_back({"F" + std::to_string(i) + ".B", Bytes(1, static_cast<uint8_t>(i))});
  Write(dir + "/ninety-members", kPlain, PackFrom(tmp, many));

  // Hand-made directories.
  Bytes tiny = PackHeader(32);  // the 43-byte archive with one member
  PutEntry(&tiny, 40, 3, "A.TXT");
  Put32(&tiny, 0);
  Put32(&tiny, 0);
  tiny.insert(tiny.end(), {'x', 'y', 'z'});
  Write(dir + "/tiny-43", kPlain, tiny);
  Bytes none = PackHeader(8);
  Put32(&none, 0);
  Put32(&none, 0);
  Write(dir + "/no-members", kPlain, none);
  Bytes wrongEnd = PackHeader(80);
  PutEntry(&wrongEnd, 56, 2, "A.B");
  PutEntry(&wrongEnd, 58, 2, "readme.txt");
  Put32(&wrongEnd, 0);
  Put32(&wrongEnd, 0);
  wrongEnd.insert(wrongEnd.end(), {1, 2, 3, 4});
  Write(dir + "/wrong-directory-end", kIgnoreCase, wrongEnd);
  Bytes beyond = PackHeader(56);
  PutEntry(&beyond, 60, 500, "PAST.END");
  PutEntry(&beyond, 4000, 10, "FAR.AWAY");
  Put32(&beyond, 0);
  Put32(&beyond, 0);
  beyond.insert(beyond.end(), {9, 9, 9, 9, 9, 9, 9, 9});
  Write(dir + "/members-past-end", kPlain, beyond);
  Bytes badName = PackHeader(56);
  PutEntry(&badName, 56, 1, "GOOD.A");
  PutEntry(&badName, 57, 1, "README.TXT", 8);  // characters where zeros belong
  Put32(&badName, 0);
  Put32(&badName, 0);
  badName.insert(badName.end(), {7, 8});
  Write(dir + "/invalid-name", kPlain, badName);
  Bytes sameOffset = PackHeader(56);
  PutEntry(&sameOffset, 56, 4, "FIRST.A");
  PutEntry(&sameOffset, 56, 2, "SECOND.B");
  Put32(&sameOffset, 0);
  Put32(&sameOffset, 0);
  sameOffset.insert(sameOffset.end(), {1, 2, 3, 4});
  Write(dir + "/shared-offset", kToFiles, sameOffset);
  Write(dir + "/not-pack", kPlain, Text("PACX\x08\x00\x00\x00"));
}

// Makes `path` and any missing folders above it.
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
  const std::string glimmet = out + "/glimmet";
  const std::string chestrel = out + "/chestrel";
  const std::string roundTrip = out + "/glimmet_roundtrip";
  const std::string tmp = out + "/tmp";
  if (!MakeFolder(out) || !MakeFolder(glimmet) || !MakeFolder(chestrel) || !MakeFolder(roundTrip) ||
      !MakeFolder(tmp)) {
    fprintf(stderr, "cannot make the folders under %s\n", out.c_str());
    return 1;
  }
  GlimmetSeeds(glimmet);
  ChestrelSeeds(chestrel, tmp);
  RoundTripSeeds(roundTrip);
  rmdir(tmp.c_str());
  return gFailed ? 1 : 0;
}
