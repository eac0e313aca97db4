// Pictures whose coded data ends early. A picture plug-in may read the
// missing bits as zeros and hand over a whole picture all the same; for I24B
// data the tool finds out which rows were made up that way by decoding the
// same bytes for their bits alone, on a worker thread while the plug-in
// makes the pixels, and refuses such a picture unless --allow-truncated.
#ifndef KALDORIN_TOOLS_KALDORIN_TRUNCATION_H
#define KALDORIN_TOOLS_KALDORIN_TRUNCATION_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tools/kaldorin_host_calls.h"

namespace kaldorin {

struct TruncationCheck {
  std::string subject;  // for messages: "kaldorin: SUBJECT: ends early: ..."
  // When set, the causes are added here ("ends early: ...") instead of
  // being reported on standard error.
  std::vector<std::string>* causes = nullptr;
  // When set, StartTruncationCheck runs the check itself, on the calling
  // thread, reporting its progress (ReportProgress) and stopping on Ctrl-C:
  // for a caller that has nothing to do meanwhile (no plug-in decode).
  bool onCaller = false;
  bool running = false;  // started: FinishTruncationCheck has a result to give
  bool cancelled = false;  // on the caller: Ctrl-C stopped the check
  uint32_t width = 0;
  uint32_t height = 0;
  // The coded data: `size` bytes at `data`, or read by the worker from
  // `path` at `offset` into `fileBytes` when `path` is not empty.
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::string path;
  uint64_t offset = 0;
  std::vector<uint8_t> fileBytes;
  // Written by the worker; read after it has been joined.
  uint32_t firstGuessedRow = 0;
  std::string error;
  std::atomic<bool> stop{false};
  std::thread worker;

  TruncationCheck() = default;
  TruncationCheck(const TruncationCheck&) = delete;
  TruncationCheck& operator=(const TruncationCheck&) = delete;
  ~TruncationCheck();  // stops the worker and waits for it
};

// Before the plug-in decodes: when the data is I24B, refuses a header whose
// width and height cannot fit in the coded bytes there are (with
// --allow-truncated only says so), then starts the check. Returns false
// when nothing is to be decoded (the refusal reported). `source` is a file
// or a memory image; `bytes` (or the `size` bytes at `data`) a whole
// picture in memory, which must outlive the check.
bool StartTruncationCheck(bool allowTruncated, const std::string& subject, const DataSource& source,
                          TruncationCheck* check);
bool StartTruncationCheck(bool allowTruncated, const std::string& subject, const std::vector<uint8_t>& bytes,
                          TruncationCheck* check);
bool StartTruncationCheck(bool allowTruncated, const std::string& subject, const uint8_t* data, size_t size,
                          TruncationCheck* check);

// After the plug-in has decoded the picture: waits for the check and
// reports rows that were guessed. Returns false when the picture must not be
// written (the refusal reported); with --allow-truncated the report is a
// warning and the picture is written. A check on the caller stopped by
// Ctrl-C gives false and reports nothing (`cancelled` says so).
bool FinishTruncationCheck(bool allowTruncated, TruncationCheck* check);

}  // namespace kaldorin

#endif
