#include "tools/kaldorin_truncation.h"

#include <string.h>

#include <system_error>

#include "image_i24b/fast_tables.h"
#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_progress.h"

namespace kaldorin {

namespace {

using i24b::kHeaderSize;

// The decoder's tables, built once (on the first check, before any worker
// starts) and released at exit.
struct ScanTables {
  i24b::FastTables* fast = i24b::BuildDecodeTables();
  ~ScanTables() { i24b::ReleaseFastTables(fast); }
};

const i24b::FastTables* LoadScanTables() {
  static ScanTables tables;
  return tables.fast;
}

// A cause, reported or collected as the check asks.
void Say(TruncationCheck* check, const std::string& cause) {
  if (check->causes != nullptr) {
    check->causes->push_back(cause);
  } else {
    ReportError(check->subject, cause);
  }
}

// A worker stops when its check is dropped (Ctrl-C stops the plug-in's
// decode beside it). A check on the caller reports its progress, as a
// plug-in's decode does, and stops on Ctrl-C.
int SPI_CALL StopRequested(int done, int total, SpiLong data) {
  const TruncationCheck* check = reinterpret_cast<const TruncationCheck*>(data);
  if (check->onCaller) {
    return ReportProgress(nullptr, static_cast<uint64_t>(done), static_cast<uint64_t>(total)) ? 1 : 0;
  }
  return check->stop.load(std::memory_order_relaxed) ? 1 : 0;
}

void RunCheck(TruncationCheck* check) {
  const uint8_t* data = check->data;
  size_t size = check->size;
  if (!check->path.empty()) {
    if (!ReadFileFrom(check->path, check->offset, &check->fileBytes, &check->error)) return;
    data = check->fileBytes.data();
    size = check->fileBytes.size();
  }
  // A file cut inside its header since it was probed has no coded data.
  const bool coded = size > kHeaderSize;
  const ResultCode result = i24b::ScanCodedRows(
      *LoadScanTables(), coded ? data + kHeaderSize : nullptr, coded ? size - kHeaderSize : 0, check->width,
      check->height, StopRequested, reinterpret_cast<SpiLong>(check), &check->firstGuessedRow);
  check->cancelled = result == kResultCancelled;
}

// The checks both kinds of source share, once the header bytes and the
// count of coded bytes are known.
bool StartCheck(bool allowTruncated, const unsigned char (&raw)[kHeaderSize], uint64_t codedBytes,
                TruncationCheck* check) {
  i24b::Header header;
  if (i24b::ParseHeader(raw, &header) != kResultOk) return true;  // not I24B: nothing to check
  const uint64_t needed = i24b::FewestCodedBytes(header.width, header.height);
  if (codedBytes < needed) {
    Say(check, "ends early: a " + std::to_string(header.width) + " x " +
                                    std::to_string(header.height) + " picture needs at least " +
                                    std::to_string(needed) + " bytes of coded data, the file has " +
                                    std::to_string(codedBytes));
    if (!allowTruncated) return false;
  }
  if (LoadScanTables() == nullptr) {
    Say(check, "cannot check whether the data is complete: out of memory");
    return false;
  }
  check->width = header.width;
  check->height = header.height;
  if (check->onCaller) {
    check->running = true;
    RunCheck(check);
    return true;
  }
  try {
    check->worker = std::thread(RunCheck, check);
  } catch (const std::system_error& e) {
    Say(check, std::string("cannot check whether the data is complete: ") + e.what());
    return false;
  }
  check->running = true;
  return true;
}

}  // namespace

TruncationCheck::~TruncationCheck() {
  stop.store(true, std::memory_order_relaxed);
  if (worker.joinable()) worker.join();
}

bool StartTruncationCheck(bool allowTruncated, const std::string& subject, const DataSource& source,
                          TruncationCheck* check) {
  check->subject = subject;
  unsigned char raw[kHeaderSize];
  memcpy(raw, source.probe, sizeof raw);
  uint64_t total = 0;
  if (source.inMemory) {
    check->data = source.bytes.data();
    check->size = source.bytes.size();
    total = source.bytes.size();
  } else {
    check->path = source.path;
    check->offset = source.offset;
    // A size that cannot be learnt leaves the header's claim to the scan.
    if (!FileSizeOf(source.path, &total)) total = UINT64_MAX;
    total = total > source.offset ? total - source.offset : 0;
  }
  if (total < kHeaderSize) return true;  // a cut header: the plug-in says what is wrong
  return StartCheck(allowTruncated, raw, total - kHeaderSize, check);
}

bool StartTruncationCheck(bool allowTruncated, const std::string& subject, const std::vector<uint8_t>& bytes,
                          TruncationCheck* check) {
  return StartTruncationCheck(allowTruncated, subject, bytes.data(), bytes.size(), check);
}

bool StartTruncationCheck(bool allowTruncated, const std::string& subject, const uint8_t* data, size_t size,
                          TruncationCheck* check) {
  check->subject = subject;
  if (size < kHeaderSize) return true;  // the plug-in says what is wrong
  unsigned char raw[kHeaderSize];
  memcpy(raw, data, sizeof raw);
  check->data = data;
  check->size = size;
  return StartCheck(allowTruncated, raw, size - kHeaderSize, check);
}

bool FinishTruncationCheck(bool allowTruncated, TruncationCheck* check) {
  if (!check->running) return true;
  if (check->worker.joinable()) check->worker.join();
  check->running = false;
  if (check->cancelled) return false;
  if (!check->error.empty()) {
    Say(check, "cannot check whether the data is complete: " + check->error);
    return false;
  }
  if (check->firstGuessedRow == i24b::kNoGuessedRow) return true;
  Say(check, "ends early: rows " + std::to_string(check->firstGuessedRow + 1) + " to " +
                                  std::to_string(check->height) + " of " + std::to_string(check->height) +
                                  " are guessed");
  return allowTruncated;
}

}  // namespace kaldorin
