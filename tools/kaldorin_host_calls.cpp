#include "tools/kaldorin_host_calls.h"

#include "tools/kaldorin_shown_names.h"

#include <string.h>

#include <algorithm>
#include <filesystem>

#include "tools/kaldorin_files.h"

namespace kaldorin {

namespace {

constexpr unsigned kOutputMemory = 1u << kFlagOutputShift;

std::string BoundedString(const char* s, size_t max) { return std::string(s, strnlen(s, max)); }

// A wide record's text, up to its NUL, as UTF-8.
std::string BoundedString(const WCHAR* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n] != 0) ++n;
  return Utf16ToUtf8(std::u16string(s, s + n));
}

// The record of either kind of listing, its texts as UTF-8.
template <class Record>
MemberRecord RecordFrom(const Record& f) {
  MemberRecord m;
  m.method = BoundedString(reinterpret_cast<const char*>(f.method), sizeof f.method);
  m.position = f.position;
  m.compsize = f.compsize;
  m.filesize = f.filesize;
  m.timestamp = f.timestamp;
  m.path = BoundedString(f.path, sizeof f.path / sizeof f.path[0]);
  m.filename = BoundedString(f.filename, sizeof f.filename / sizeof f.filename[0]);
  return m;
}

// Copies the records of a listing block up to the one whose method starts
// with NUL, within the block.
template <class Record>
void CopyListing(const BlockView& view, std::vector<MemberRecord>* members) {
  size_t count = view.size / sizeof(Record);
  for (size_t i = 0; i < count; ++i) {
    Record record;
    memcpy(&record, view.data + i * sizeof(Record), sizeof record);
    if (record.method[0] == 0) break;
    members->push_back(RecordFrom(record));
  }
}

// Which form of an export a call used, for -v.
const char* Form(bool wide) { return wide ? "W" : ""; }

bool Fail(CallFailure* failure, const char* call, int code, const std::string& detail = std::string()) {
  failure->call = call;
  failure->code = code;
  failure->detail = detail;
  return false;
}

// The (buf, len) of GetFile for one member: the archive file and the
// member's position, or the member's stored bytes in memory.
bool MemberInput(const DataSource& source, const MemberRecord& member, CallInput* input, CallFailure* failure) {
  if (source.inMemory) {
    uint64_t size = source.bytes.size();
    if (member.position > size || member.compsize > size - member.position) {
      return Fail(failure, "GetFile", 0, "member " + member.filename + " lies outside the archive's bytes");
    }
    *input = MemoryInput(source.bytes.data() + member.position, static_cast<size_t>(member.compsize));
    return true;
  }
  if (member.position > static_cast<uint64_t>(INTPTR_MAX)) {
    return Fail(failure, "GetFile", 0, "member position does not fit this build's offsets");
  }
  *input = SourceInput(source);
  input->len = static_cast<SpiLong>(member.position);
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

CallInput SourceInput(const DataSource& source) {
  if (source.inMemory) return MemoryInput(source.bytes.data(), source.bytes.size());
  CallInput input;
  input.ansi = AnsiFileName(source.path);
  input.wide = Utf8ToUtf16(source.path);
  input.wideNames = IsValidUtf8(source.path);
  input.len = static_cast<SpiLong>(source.offset);
  return input;
}

CallInput MemoryInput(const uint8_t* bytes, size_t size) {
  CallInput input;
  input.memory = bytes;
  input.len = static_cast<SpiLong>(size);
  input.flag = kInputMemory;
  return input;
}

std::string FailureText(const HostPlugin& plugin, const CallFailure& failure) {
  if (failure.code == 0) return failure.detail;
  std::string text = plugin.fileName + " " + failure.call + ": " + ResultText(failure.code);
  if (!failure.detail.empty()) text += "; " + failure.detail;
  return text;
}

bool PictureInformation(const HostPlugin& plugin, const DataSource& source, PictureInfo* info, std::string* text,
                        CallFailure* failure) {
  if (plugin.getPictureInfo == nullptr && plugin.getPictureInfoW == nullptr) {
    return Fail(failure, "GetPictureInfo", 0, plugin.fileName + " has no GetPictureInfo");
  }
  memset(info, 0, sizeof *info);
  const CallInput in = SourceInput(source);
  const bool wide = in.UseWide(plugin.getPictureInfoW != nullptr, plugin.getPictureInfo != nullptr);
  int code = wide ? plugin.getPictureInfoW(in.Wide(), in.len, in.flag, info)
                  : plugin.getPictureInfo(in.Ansi(), in.len, in.flag, info);
  TraceCall(plugin, std::string("GetPictureInfo") + Form(wide) + "(" + InputText(source) + ")", code);
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

bool GetPictureThroughPlugin(const HostPlugin& plugin, const CallInput& in, ProgressBar* bar, RgbImage* image,
                             CallFailure* failure) {
  HLOCAL hInfo = nullptr;
  HLOCAL hBits = nullptr;
  const bool wide = in.UseWide(plugin.getPictureW != nullptr, plugin.getPicture != nullptr);
  const SpiLong lData = reinterpret_cast<SpiLong>(bar);
  int code = wide ? plugin.getPictureW(in.Wide(), in.len, in.flag, &hInfo, &hBits, PluginProgress, lData)
                  : plugin.getPicture(in.Ansi(), in.len, in.flag, &hInfo, &hBits, PluginProgress, lData);
  TraceCall(plugin, std::string("GetPicture") + Form(wide) + "(" + (in.memory == nullptr ? "file" : "memory") + ")",
            code);
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

namespace {

int SPI_CALL StopAtFirstReport(int, int, SpiLong) { return 1; }

}  // namespace

bool StartPictureThroughPlugin(const HostPlugin& plugin, const CallInput& in, CallFailure* failure) {
  HLOCAL hInfo = nullptr;
  HLOCAL hBits = nullptr;
  const bool wide = in.UseWide(plugin.getPictureW != nullptr, plugin.getPicture != nullptr);
  int code = wide ? plugin.getPictureW(in.Wide(), in.len, in.flag, &hInfo, &hBits, StopAtFirstReport, 0)
                  : plugin.getPicture(in.Ansi(), in.len, in.flag, &hInfo, &hBits, StopAtFirstReport, 0);
  TraceCall(plugin, std::string("GetPicture") + Form(wide) + "(" + (in.memory == nullptr ? "file" : "memory") +
                        ", stopped at the first progress report)",
            code);
  if (code == kResultCancelled) return true;
  if (code != kResultOk) return Fail(failure, "GetPicture", code);
  // A plug-in that reports no progress hands over the whole picture.
  BlockView info;
  BlockView bits;
  LockHostBlock(plugin, hInfo, &info);
  LockHostBlock(plugin, hBits, &bits);
  ReleaseHostBlock(plugin, &info);
  ReleaseHostBlock(plugin, &bits);
  return true;
}

bool ListArchive(const HostPlugin& plugin, const DataSource& source, std::vector<MemberRecord>* members,
                 CallFailure* failure) {
  members->clear();
  HLOCAL handle = nullptr;
  const CallInput in = SourceInput(source);
  const bool wide = in.UseWide(plugin.getArchiveInfoW != nullptr, plugin.getArchiveInfo != nullptr);
  int code = wide ? plugin.getArchiveInfoW(in.Wide(), in.len, in.flag, &handle)
                  : plugin.getArchiveInfo(in.Ansi(), in.len, in.flag, &handle);
  TraceCall(plugin, std::string("GetArchiveInfo") + Form(wide) + "(" + InputText(source) + ")", code);
  if (code != kResultOk) return Fail(failure, "GetArchiveInfo", code);
  BlockView view;
  if (!LockHostBlock(plugin, handle, &view)) {
    return Fail(failure, "GetArchiveInfo", 0, plugin.fileName + " GetArchiveInfo handed over no usable listing");
  }
  if (wide) {
    CopyListing<fileInfoW>(view, members);
  } else {
    CopyListing<fileInfo>(view, members);
  }
  ReleaseHostBlock(plugin, &view);
  return true;
}

bool FindMember(const HostPlugin& plugin, const DataSource& source, const std::string& name, MemberRecord* member,
                CallFailure* failure) {
  if (plugin.getFileInfo == nullptr && plugin.getFileInfoW == nullptr) {
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
  const CallInput in = SourceInput(source);
  const bool wide = in.UseWide(plugin.getFileInfoW != nullptr, plugin.getFileInfo != nullptr);
  int code = 0;
  if (wide) {
    fileInfoW record;
    memset(&record, 0, sizeof record);
    const std::u16string wideName = Utf8ToUtf16(name);
    code = plugin.getFileInfoW(in.Wide(), in.len, reinterpret_cast<LPCWSTR>(wideName.c_str()),
                               in.flag | kFlagIgnoreCase, &record);
    if (code == kResultOk) *member = RecordFrom(record);
  } else {
    fileInfo record;
    memset(&record, 0, sizeof record);
    code = plugin.getFileInfo(in.Ansi(), in.len, AnsiFileName(name).c_str(), in.flag | kFlagIgnoreCase, &record);
    if (code == kResultOk) *member = RecordFrom(record);
  }
  TraceCall(plugin, std::string("GetFileInfo") + Form(wide) + "(" + InputText(source) + ", \"" + name +
                        "\", ignoring case)", code);
  if (code != kResultOk) return Fail(failure, "GetFileInfo", code);
  return true;
}

bool ExtractToBlock(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                    ProgressBar* bar, BlockView* view, CallFailure* failure) {
  *view = BlockView();
  CallInput in;
  if (!MemberInput(source, member, &in, failure)) return false;
  HLOCAL handle = nullptr;
  const bool wide = in.UseWide(plugin.getFileW != nullptr, plugin.getFile != nullptr);
  const SpiLong lData = reinterpret_cast<SpiLong>(bar);
  int code = wide ? plugin.getFileW(in.Wide(), in.len, reinterpret_cast<LPWSTR>(&handle), in.flag | kOutputMemory,
                                    PluginProgress, lData)
                  : plugin.getFile(in.Ansi(), in.len, reinterpret_cast<LPSTR>(&handle), in.flag | kOutputMemory,
                                   PluginProgress, lData);
  TraceCall(plugin, std::string("GetFile") + Form(wide) + "(" + member.filename + ", to memory)", code);
  if (code != kResultOk) return Fail(failure, "GetFile", code);
  if (!LockHostBlock(plugin, handle, view)) {
    return Fail(failure, "GetFile", 0, plugin.fileName + " GetFile handed over no usable block");
  }
  // The block may be larger than the member; the listing's size decides
  // when it is known.
  if (member.filesize != 0 && member.filesize <= view->size) view->size = static_cast<size_t>(member.filesize);
  return true;
}

bool ExtractToMemory(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                     ProgressBar* bar, std::vector<uint8_t>* bytes, CallFailure* failure) {
  BlockView view;
  if (!ExtractToBlock(plugin, source, member, bar, &view, failure)) return false;
  bytes->assign(view.data, view.data + view.size);
  ReleaseHostBlock(plugin, &view);
  return true;
}

bool ExtractToFolder(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                     const std::string& folder, ProgressBar* bar, std::string* written, CallFailure* failure) {
  CallInput in;
  if (!MemberInput(source, member, &in, failure)) return false;
  // The destination ends in a separator, so that the member lands in the
  // folder whether the plug-in adds one, adds one only where it is missing,
  // or adds none; a doubled separator names the same folder. The folder is
  // named in the call, not made the current one, so that members can be
  // extracted on several threads at once.
#ifdef _WIN32
  const std::string dest = folder + "\\";
#else
  const std::string dest = folder + "/";
#endif
  const bool wide = in.UseWide(plugin.getFileW != nullptr, plugin.getFile != nullptr) &&
                    (IsValidUtf8(dest) || plugin.getFile == nullptr);
  const SpiLong lData = reinterpret_cast<SpiLong>(bar);
  std::string ansiDest = AnsiFileName(dest);
  std::u16string wideDest = Utf8ToUtf16(dest);
  int code = wide ? plugin.getFileW(in.Wide(), in.len, reinterpret_cast<LPWSTR>(&wideDest[0]), in.flag,
                                    PluginProgress, lData)
                  : plugin.getFile(in.Ansi(), in.len, &ansiDest[0], in.flag, PluginProgress, lData);
  TraceCall(plugin, std::string("GetFile") + Form(wide) + "(" + member.filename + ", to a file)", code);
  if (code != kResultOk) return Fail(failure, "GetFile", code);
  // The one file now in the folder is the member.
  written->clear();
  std::error_code ec;
  for (fs::directory_iterator it(FsPath(folder), ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = Utf8Path(it->path().filename());
    if (written->empty() || name == member.filename) *written = Utf8Path(it->path());
  }
  if (written->empty()) {
    return Fail(failure, "GetFile", 0, plugin.fileName + " GetFile reported success but wrote no file");
  }
  return true;
}

}  // namespace kaldorin
