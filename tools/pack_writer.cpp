#include "tools/pack_writer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

constexpr uint64_t kHeaderSize = 8;
constexpr uint64_t kEntrySize = 24;
constexpr size_t kMaxNameLength = 14;
constexpr size_t kNameFieldSize = 16;
// The plug-ins read through 32-bit signed file offsets: every member must
// end by this byte.
constexpr uint64_t kLargestEnd = 0x7FFFFFFFull;
static_assert(kHeaderSize + kEntrySize == 32, "the first entry ends at byte 32");
static_assert(1 + kMaxNameLength < kNameFieldSize, "a stored name always ends with a NUL");

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool IsNameChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.';
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

bool WriteAll(FILE* f, const void* data, size_t n) { return fwrite(data, 1, n, f) == n; }

}  // namespace

bool CheckMemberName(const std::string& name, std::string* why) {
  if (name.empty()) {
    *why = "an empty name cannot be stored";
    return false;
  }
  if (name.size() > kMaxNameLength) {
    *why = "names are limited to 14 characters, this one has " + std::to_string(name.size());
    return false;
  }
  for (char c : name) {
    if (!IsNameChar(c)) {
      *why = "only letters, digits and one full stop are allowed in names";
      return false;
    }
  }
  if (std::count(name.begin(), name.end(), '.') != 1) {
    *why = "a name must hold exactly one full stop";
    return false;
  }
  return true;
}

bool PlanPack(const std::vector<uint64_t>& sizes, std::vector<uint32_t>* offsets, std::string* error) {
  offsets->clear();
  uint64_t count = sizes.size();
  // The directory: header, one entry per member and the terminating entry.
  uint64_t position = kHeaderSize + kEntrySize * (count + 1);
  if (position > kLargestEnd) {
    *error = std::to_string(count) + " members need a directory larger than the plug-ins can read";
    return false;
  }
  for (size_t i = 0; i < sizes.size(); ++i) {
    // An empty member starts where its own entry does: no data member can
    // start there, and no other empty member, so that a lookup by position
    // finds exactly this member.
    if (sizes[i] == 0) {
      offsets->push_back(static_cast<uint32_t>(kHeaderSize + kEntrySize * i));
      continue;
    }
    if (sizes[i] > kLargestEnd - position) {
      *error = "member " + std::to_string(i + 1) + " would end at byte " + std::to_string(position + sizes[i]) +
               ", past the 2 GiB - 1 that the plug-ins can read (they use 32-bit signed file offsets)";
      return false;
    }
    offsets->push_back(static_cast<uint32_t>(position));
    position += sizes[i];
  }
  return true;
}

bool WritePack(FILE* out, const std::vector<PackInput>& inputs, PackProgress progress, void* user,
               PackResult* result, std::string* error) {
  if (inputs.empty()) {
    *error = "an archive needs at least one member";
    return false;
  }
  std::vector<uint64_t> sizes;
  std::vector<std::string> seen;
  for (const PackInput& in : inputs) {
    std::string why;
    if (!CheckMemberName(in.name, &why)) {
      *error = in.path + ": member name \"" + in.name + "\" cannot be stored: " + why;
      return false;
    }
    std::string key = Upper(in.name);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      *error = in.path + ": member name \"" + in.name + "\" is already in the archive (names are compared without case)";
      return false;
    }
    seen.push_back(key);
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(in.path, ec);
    if (ec) {
      *error = in.path + ": " + ec.message();
      return false;
    }
    sizes.push_back(size);
  }
  std::vector<uint32_t> offsets;
  if (!PlanPack(sizes, &offsets, error)) {
    // Name the member, not just its place.
    size_t n = offsets.size();
    if (n < inputs.size()) *error = inputs[n].path + ": " + *error;
    return false;
  }

  std::vector<uint8_t> directory(static_cast<size_t>(kHeaderSize + kEntrySize * (inputs.size() + 1)), 0);
  memcpy(directory.data(), "PACK", 4);
  PutLe32(directory.data() + 4, static_cast<uint32_t>(kHeaderSize + kEntrySize * inputs.size()));
  for (size_t i = 0; i < inputs.size(); ++i) {
    uint8_t* e = directory.data() + kHeaderSize + kEntrySize * i;
    PutLe32(e, offsets[i]);
    PutLe32(e + 4, static_cast<uint32_t>(sizes[i]));
    e[8] = static_cast<uint8_t>(inputs[i].name.size());
    memcpy(e + 9, inputs[i].name.data(), inputs[i].name.size());
  }

  uint64_t total = directory.size();
  for (uint64_t s : sizes) total += s;
  errno = 0;
  if (!WriteAll(out, directory.data(), directory.size())) {
    *error = errno != 0 ? strerror(errno) : "write error";
    return false;
  }
  uint64_t done = directory.size();
  std::vector<uint8_t> chunk(1 << 16);
  for (size_t i = 0; i < inputs.size(); ++i) {
    FILE* in = fopen(inputs[i].path.c_str(), "rb");
    if (in == nullptr) {
      *error = inputs[i].path + ": cannot open: " + strerror(errno);
      return false;
    }
    uint64_t copied = 0;
    size_t n;
    bool wrote = true;
    while (wrote && (n = fread(chunk.data(), 1, chunk.size(), in)) > 0) {
      copied += n;
      if (copied > sizes[i]) break;
      errno = 0;
      wrote = WriteAll(out, chunk.data(), n);
      done += n;
      if (wrote && progress != nullptr && progress(done, total, user)) {
        *error = "cancelled";
        fclose(in);
        return false;
      }
    }
    int writeErrno = errno;
    bool readFailed = ferror(in) != 0;
    fclose(in);
    if (!wrote) {
      *error = writeErrno != 0 ? strerror(writeErrno) : "write error";
      return false;
    }
    if (readFailed || copied != sizes[i]) {
      *error = inputs[i].path + (readFailed ? ": read error" : ": file changed size while being packed");
      return false;
    }
  }
  result->members = inputs.size();
  result->archiveBytes = total;
  return true;
}

bool WritePackFile(const std::string& outPath, const std::vector<PackInput>& inputs, PackResult* result,
                   std::string* error) {
  FILE* out = fopen(outPath.c_str(), "wb");
  if (out == nullptr) {
    *error = outPath + ": " + strerror(errno);
    return false;
  }
  bool ok = WritePack(out, inputs, nullptr, nullptr, result, error);
  errno = 0;
  if (fclose(out) != 0 && ok) {
    ok = false;
    *error = outPath + ": " + (errno != 0 ? strerror(errno) : "write error");
  }
  return ok;
}
