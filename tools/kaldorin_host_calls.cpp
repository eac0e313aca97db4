#include "tools/kaldorin_host_calls.h"

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "tools/kaldorin_files.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kOutputMemory = 1u << kFlagOutputShift;

std::string BoundedString(const char* s, size_t max) { return std::string(s, strnlen(s, max)); }

MemberRecord RecordFrom(const fileInfo& f) {
  MemberRecord m;
  m.method = BoundedString(reinterpret_cast<const char*>(f.method), sizeof f.method);
  m.position = f.position;
  m.compsize = f.compsize;
  m.filesize = f.filesize;
  m.timestamp = f.timestamp;
  m.path = BoundedString(f.path, sizeof f.path);
  m.filename = BoundedString(f.filename, sizeof f.filename);
  return m;
}

bool Fail(CallFailure* failure, const char* call, int code, const std::string& detail = std::string()) {
  failure->call = call;
  failure->code = code;
  failure->detail = detail;
  return false;
}

// The (buf, len) of GetFile for one member: the archive file and the
// member's position, or the member's stored bytes in memory.
bool MemberInput(const DataSource& source, const MemberRecord& member, LPCSTR* buf, SpiLong* len,
                 CallFailure* failure) {
  if (source.inMemory) {
    uint64_t size = source.bytes.size();
    if (member.position > size || member.compsize > size - member.position) {
      return Fail(failure, "GetFile", 0, "member " + member.filename + " lies outside the archive's bytes");
    }
    *buf = reinterpret_cast<LPCSTR>(source.bytes.data() + member.position);
    *len = static_cast<SpiLong>(member.compsize);
    return true;
  }
  if (member.position > static_cast<uint64_t>(INTPTR_MAX)) {
    return Fail(failure, "GetFile", 0, "member position does not fit this build's offsets");
  }
  *buf = source.path.c_str();
  *len = static_cast<SpiLong>(member.position);
  return true;
}

// How an export gets its input, for -v.
std::string InputText(const DataSource& source) {
  if (source.inMemory) return "memory, " + std::to_string(source.bytes.size()) + " bytes";
  return "file at byte " + std::to_string(source.offset);
}

}  // namespace

bool OpenDataSource(const std::string& path, uint64_t offset, bool inMemory, DataSource* source,
                    std::string* error) {
  const bool standardInput = path == "-";
  source->name = standardInput ? "standard input" : path;
  source->path = standardInput ? path : AbsolutePath(path);
  source->offset = offset;
  // Standard input is read once into memory and probed there, so that the
  // probe does not use up the stream.
  source->inMemory = inMemory || standardInput;
  if (!source->inMemory && offset > static_cast<uint64_t>(INTPTR_MAX)) {
    *error = "offset " + std::to_string(offset) + " is too large";
    return false;
  }
  if (!source->inMemory) return ReadProbe(path, offset, source->probe, error);
  if (!ReadInput(path, offset, &source->bytes, error)) return false;
  memset(source->probe, 0, sizeof source->probe);
  memcpy(source->probe, source->bytes.data(), std::min(source->bytes.size(), sizeof source->probe));
  return true;
}

LPCSTR SourceBuf(const DataSource& source) {
  return source.inMemory ? reinterpret_cast<LPCSTR>(source.bytes.data()) : source.path.c_str();
}

SpiLong SourceLen(const DataSource& source) {
  return static_cast<SpiLong>(source.inMemory ? source.bytes.size() : source.offset);
}

unsigned SourceFlag(const DataSource& source) { return source.inMemory ? kInputMemory : kInputFile; }

std::string FailureText(const HostPlugin& plugin, const CallFailure& failure) {
  if (failure.code == 0) return failure.detail;
  std::string text = plugin.fileName + " " + failure.call + ": " + ResultText(failure.code);
  if (!failure.detail.empty()) text += "; " + failure.detail;
  return text;
}

bool PictureInformation(const HostPlugin& plugin, const DataSource& source, PictureInfo* info, std::string* text,
                        CallFailure* failure) {
  if (plugin.getPictureInfo == nullptr) return Fail(failure, "GetPictureInfo", 0, plugin.fileName + " has no GetPictureInfo");
  memset(info, 0, sizeof *info);
  int code = plugin.getPictureInfo(SourceBuf(source), SourceLen(source), SourceFlag(source), info);
  TraceCall(plugin, "GetPictureInfo(" + InputText(source) + ")", code);
  if (code != kResultOk) return Fail(failure, "GetPictureInfo", code);
  text->clear();
  if (info->hInfo != nullptr) {
    // Optional text information: the host owns it and frees it.
    BlockView view;
    if (LockHostBlock(plugin, info->hInfo, &view)) {
      *text = BoundedString(reinterpret_cast<const char*>(view.data), view.size);
      ReleaseHostBlock(plugin, &view);
    }
    info->hInfo = nullptr;
  }
  return true;
}

bool GetPictureThroughPlugin(const HostPlugin& plugin, LPCSTR buf, SpiLong len, unsigned flag, ProgressBar* bar,
                            RgbImage* image, CallFailure* failure) {
  HLOCAL hInfo = nullptr;
  HLOCAL hBits = nullptr;
  int code = plugin.getPicture(buf, len, flag, &hInfo, &hBits, PluginProgress, reinterpret_cast<SpiLong>(bar));
  TraceCall(plugin, std::string("GetPicture(") + ((flag & kFlagInputMask) == kInputFile ? "file" : "memory") + ")", code);
  // After a failure the handles mean nothing and are not touched.
  if (code != kResultOk) return Fail(failure, "GetPicture", code);
  BlockView info;
  BlockView bits;
  bool lockedInfo = LockHostBlock(plugin, hInfo, &info);
  bool lockedBits = LockHostBlock(plugin, hBits, &bits);
  std::string why;
  bool ok = lockedInfo && lockedBits;
  if (!ok) {
    why = "a handed-over block is missing or cannot be locked";
  } else {
    ok = DibToImage(info.data, info.size, bits.data, bits.size, image, &why);
  }
  ReleaseHostBlock(plugin, &info);
  ReleaseHostBlock(plugin, &bits);
  if (!ok) return Fail(failure, "GetPicture", 0, plugin.fileName + " GetPicture handed over a bad bitmap: " + why);
  return true;
}

bool ListArchive(const HostPlugin& plugin, const DataSource& source, std::vector<MemberRecord>* members,
                 CallFailure* failure) {
  members->clear();
  HLOCAL handle = nullptr;
  int code = plugin.getArchiveInfo(SourceBuf(source), SourceLen(source), SourceFlag(source), &handle);
  TraceCall(plugin, "GetArchiveInfo(" + InputText(source) + ")", code);
  if (code != kResultOk) return Fail(failure, "GetArchiveInfo", code);
  BlockView view;
  if (!LockHostBlock(plugin, handle, &view)) {
    return Fail(failure, "GetArchiveInfo", 0, plugin.fileName + " GetArchiveInfo handed over no usable listing");
  }
  // Records up to the one whose method starts with NUL, within the block.
  size_t count = view.size / sizeof(fileInfo);
  for (size_t i = 0; i < count; ++i) {
    fileInfo record;
    memcpy(&record, view.data + i * sizeof(fileInfo), sizeof record);
    if (record.method[0] == 0) break;
    members->push_back(RecordFrom(record));
  }
  ReleaseHostBlock(plugin, &view);
  return true;
}

bool FindMember(const HostPlugin& plugin, const DataSource& source, const std::string& name, MemberRecord* member,
                CallFailure* failure) {
  if (plugin.getFileInfo == nullptr) {
    std::vector<MemberRecord> all;
    if (!ListArchive(plugin, source, &all, failure)) return false;
    for (const MemberRecord& m : all) {
      if (m.filename == name) {
        *member = m;
        return true;
      }
    }
    return Fail(failure, "GetArchiveInfo", kResultReadError);
  }
  fileInfo record;
  memset(&record, 0, sizeof record);
  int code = plugin.getFileInfo(SourceBuf(source), SourceLen(source), name.c_str(),
                                SourceFlag(source) | kFlagIgnoreCase, &record);
  TraceCall(plugin, "GetFileInfo(" + InputText(source) + ", \"" + name + "\", ignoring case)", code);
  if (code != kResultOk) return Fail(failure, "GetFileInfo", code);
  *member = RecordFrom(record);
  return true;
}

bool ExtractToMemory(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                     ProgressBar* bar, std::vector<uint8_t>* bytes, CallFailure* failure) {
  LPCSTR buf = nullptr;
  SpiLong len = 0;
  if (!MemberInput(source, member, &buf, &len, failure)) return false;
  HLOCAL handle = nullptr;
  int code = plugin.getFile(buf, len, reinterpret_cast<LPSTR>(&handle), SourceFlag(source) | kOutputMemory,
                            PluginProgress, reinterpret_cast<SpiLong>(bar));
  TraceCall(plugin, "GetFile(" + member.filename + ", to memory)", code);
  if (code != kResultOk) return Fail(failure, "GetFile", code);
  BlockView view;
  if (!LockHostBlock(plugin, handle, &view)) {
    return Fail(failure, "GetFile", 0, plugin.fileName + " GetFile handed over no usable block");
  }
  // The block may be larger than the member; the listing's size decides
  // when it is known.
  size_t size = view.size;
  if (member.filesize != 0 && member.filesize <= view.size) size = static_cast<size_t>(member.filesize);
  bytes->assign(view.data, view.data + size);
  ReleaseHostBlock(plugin, &view);
  return true;
}

bool ExtractToFolder(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                     const std::string& folder, ProgressBar* bar, std::string* written, CallFailure* failure) {
  LPCSTR buf = nullptr;
  SpiLong len = 0;
  if (!MemberInput(source, member, &buf, &len, failure)) return false;
  // The plug-in writes the member under its own name into the current
  // folder when given an empty destination: this works whatever separator
  // the plug-in would use to join a folder and a name.
  std::error_code ec;
  fs::path previous = fs::current_path(ec);
  fs::current_path(folder, ec);
  if (ec) return Fail(failure, "GetFile", 0, folder + ": cannot enter the folder: " + ec.message());
  char dest[1] = {0};
  int code = plugin.getFile(buf, len, dest, SourceFlag(source), PluginProgress, reinterpret_cast<SpiLong>(bar));
  TraceCall(plugin, "GetFile(" + member.filename + ", to a file)", code);
  fs::current_path(previous, ec);
  if (code != kResultOk) return Fail(failure, "GetFile", code);
  // The one file now in the folder is the member.
  written->clear();
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (written->empty() || name == member.filename) *written = it->path().string();
  }
  if (written->empty()) {
    return Fail(failure, "GetFile", 0, plugin.fileName + " GetFile reported success but wrote no file");
  }
  return true;
}
