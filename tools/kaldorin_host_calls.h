// The data exports as the tool calls them: where the data comes from (a file
// with an offset, or a memory image), picture information and pictures,
// archive listings and members. Every handed-over block is freed here.
#ifndef KALDORIN_TOOLS_KALDORIN_HOST_CALLS_H
#define KALDORIN_TOOLS_KALDORIN_HOST_CALLS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/kaldorin_image_io.h"
#include "tools/kaldorin_plugin_host.h"
#include "tools/kaldorin_progress.h"

namespace kaldorin {

// What the plug-ins are handed: a file name and offset (input type 0), or the
// file's bytes from that offset on (input type 1).
struct DataSource {
  std::string name;  // as the user gave it, for messages
  std::string path;  // absolute, as the plug-ins get it
  uint64_t offset = 0;
  bool inMemory = false;
  std::vector<uint8_t> bytes;  // the memory image when inMemory
  uint8_t probe[2048];
};

// Reads the probe, and the memory image if `inMemory`. `error` is the cause.
bool OpenDataSource(const std::string& path, uint64_t offset, bool inMemory, DataSource* source,
                    std::string* error);
// The (buf, len, flag) that one export call takes, for either kind of
// export: a file name (UTF-16 for the wide exports, the ANSI code page's on
// Windows for the others) with an offset, or a memory image.
struct CallInput {
  std::string ansi;
  std::u16string wide;
  const uint8_t* memory = nullptr;  // null for a file
  SpiLong len = 0;
  unsigned flag = kInputFile;
  // False when the file name is not valid UTF-8 (a native file name of
  // other bytes): it has no UTF-16 form, so the ANSI exports get its bytes.
  bool wideNames = true;
  bool UseWide(bool haveWide, bool haveAnsi) const { return haveWide && (wideNames || !haveAnsi); }
  LPCSTR Ansi() const { return memory != nullptr ? reinterpret_cast<LPCSTR>(memory) : ansi.c_str(); }
  LPCWSTR Wide() const { return memory != nullptr ? reinterpret_cast<LPCWSTR>(memory) : reinterpret_cast<LPCWSTR>(wide.c_str()); }
};
CallInput SourceInput(const DataSource& source);
CallInput MemoryInput(const uint8_t* bytes, size_t size);

// A failed export call: which export, and its result code.
struct CallFailure {
  std::string call;
  int code = 0;
  std::string detail;  // a host-side check that failed, when code is 0
};
std::string FailureText(const HostPlugin& plugin, const CallFailure& failure);

bool PictureInformation(const HostPlugin& plugin, const DataSource& source, PictureInfo* info, std::string* text,
                        CallFailure* failure);
// GetPicture, the two blocks converted to an RGB picture and freed.
bool GetPictureThroughPlugin(const HostPlugin& plugin, const CallInput& input, ProgressBar* bar, RgbImage* image,
                             CallFailure* failure);

// GetPicture stopped at the plug-in's first progress report, before any row
// is decoded: whether the plug-in takes the picture and can hold its pixels
// (their size, the memory). True when it stopped there, or finished.
bool StartPictureThroughPlugin(const HostPlugin& plugin, const CallInput& input, CallFailure* failure);

struct MemberRecord {
  std::string method;
  uint64_t position = 0;
  uint64_t compsize = 0;
  uint64_t filesize = 0;
  uint64_t timestamp = 0;
  std::string path;
  std::string filename;
};
bool ListArchive(const HostPlugin& plugin, const DataSource& source, std::vector<MemberRecord>* members,
                 CallFailure* failure);
// GetFileInfo by name (ignoring case); false with code 6 when not found.
bool FindMember(const HostPlugin& plugin, const DataSource& source, const std::string& name, MemberRecord* member,
                CallFailure* failure);

// GetFile into memory (output type 1), the plug-in's block kept: `view`
// holds the member's bytes (the listing's size of them, when the block is
// larger) until ReleaseHostBlock.
bool ExtractToBlock(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                    ProgressBar* bar, BlockView* view, CallFailure* failure);
// GetFile into memory (output type 1): the member's bytes.
bool ExtractToMemory(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                     ProgressBar* bar, std::vector<uint8_t>* bytes, CallFailure* failure);
// GetFile to a file (output type 0) inside the empty folder `folder`; returns
// the path of the file the plug-in wrote there.
bool ExtractToFolder(const HostPlugin& plugin, const DataSource& source, const MemberRecord& member,
                     const std::string& folder, ProgressBar* bar, std::string* written, CallFailure* failure);

}  // namespace kaldorin

#endif
