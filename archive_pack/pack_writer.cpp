#include "archive_pack/pack_writer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "archive_pack/pack_format.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace pack {

namespace {

// Opens the UTF-8 path for reading; on Windows through its UTF-16 form, so
// that names outside the ANSI code page open.
FILE* OpenInput(const std::string& path) {
#ifdef _WIN32
  int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return nullptr;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], n);
  return _wfopen(wide.c_str(), L"rb");
#else
  return fopen(path.c_str(), "rb");
#endif
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

bool WriteAll(FILE* f, const void* data, size_t n) { return fwrite(data, 1, n, f) == n; }

}  // namespace

bool CheckMemberName(const std::string& name, std::string* why) {
  switch (CheckName(reinterpret_cast<const unsigned char*>(name.data()), name.size())) {
    case kNameValid:
      return true;
    case kNameEmpty:
      *why = "an empty name cannot be stored";
      break;
    case kNameTooLong:
      *why = "names are limited to " + std::to_string(kNameMaxLength) + " characters, this one has " +
             std::to_string(name.size());
      break;
    case kNameBadCharacter:
      *why = "only letters, digits and one full stop are allowed in names";
      break;
    case kNameNotOneDot:
      *why = "a name must hold exactly one full stop";
      break;
  }
  return false;
}

bool CheckMemberNames(const std::vector<std::string>& names, std::string* why) {
  std::vector<std::string> seen;
  for (const std::string& name : names) {
    std::string cause;
    if (!CheckMemberName(name, &cause)) {
      *why = "member name \"" + name + "\" cannot be stored: " + cause;
      return false;
    }
    std::string key = Upper(name);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      *why = "member name \"" + name + "\" is already in the archive (names are compared without case)";
      return false;
    }
    seen.push_back(key);
  }
  return true;
}

std::vector<uint8_t> EncodePackDirectory(const std::vector<std::string>& names, const std::vector<uint64_t>& sizes,
                                         const std::vector<uint32_t>& offsets) {
  std::vector<uint8_t> directory(kHeaderSize + kEntrySize * (names.size() + 1), 0);
  PutHeader(directory.data(), static_cast<uint32_t>(kHeaderSize + kEntrySize * names.size()));
  for (size_t i = 0; i < names.size(); ++i) {
    unsigned char field[kNameFieldSize] = {};
    field[0] = static_cast<unsigned char>(names[i].size());
    memcpy(field + 1, names[i].data(), names[i].size());
    PutEntry(directory.data() + kHeaderSize + kEntrySize * i, offsets[i], static_cast<uint32_t>(sizes[i]), field);
  }
  return directory;
}

bool PlanPack(const std::vector<uint64_t>& sizes, std::vector<uint32_t>* offsets, std::string* error) {
  offsets->clear();
  uint64_t count = sizes.size();
  // The directory: header, one entry per member and the terminating entry.
  uint64_t position = kHeaderSize + kEntrySize * (count + 1);
  if (position > kLargestMemberEnd) {
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
    if (sizes[i] > kLargestMemberEnd - position) {
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
    uint64_t size = std::filesystem::file_size(std::filesystem::u8path(in.path), ec);
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

  std::vector<std::string> names;
  for (const PackInput& in : inputs) names.push_back(in.name);
  const std::vector<uint8_t> directory = EncodePackDirectory(names, sizes, offsets);

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
    FILE* in = OpenInput(inputs[i].path);
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

}  // namespace pack
