// Output files that appear only when complete. Each is written under a
// temporary name in the target's own folder (so that the final rename stays
// on one file system), created exclusively (never through a file or link
// that is already there) with an unpredictable name, and registered so that
// a signal that ends the tool removes it. The target is replaced only when
// the caller says so.
#ifndef KALDORIN_TOOLS_KALDORIN_OUTPUT_H
#define KALDORIN_TOOLS_KALDORIN_OUTPUT_H

#include <stdint.h>
#include <stdio.h>

#include <string>

namespace kaldorin {

// Threads that may each hold a temporary file and a working folder at once.
constexpr int kMostThreadsWriting = 64;

struct PendingOutput {
  std::string target;  // the name the output gets when complete
  std::string temp;    // where it is written meanwhile
  FILE* file = nullptr;
  int slot = -1;  // its place in the removal registry
};

// Creates the temporary file for `target`. `error` is the system's cause.
bool CreatePendingFile(const std::string& target, PendingOutput* out, std::string* error);
// Closes the file (a failed close is a failed write) and moves it to its
// target, replacing an existing file only when `replace`. On failure the
// temporary file is removed and `error` says why; `*exists` (if given) is
// set when the target was there and not replaced.
bool CommitPending(PendingOutput* out, bool replace, std::string* error, bool* exists = nullptr);
// Closes and removes the temporary file.
void DiscardPending(PendingOutput* out);

// A new empty working folder in `dir` with an unpredictable name, for a
// plug-in to write one file into; on a signal the file `innerName` in it and
// the folder are removed. RemoveWorkFolder removes both and frees the slot.
bool CreateWorkFolder(const std::string& dir, const std::string& innerName, std::string* folder, int* slot,
                      std::string* error);
void RemoveWorkFolder(const std::string& folder, int slot);

// Moves the finished file `from` to `to` (same rules as CommitPending). On
// failure `from` is left where it is.
bool MoveIntoPlace(const std::string& from, const std::string& to, bool replace, std::string* error,
                   bool* exists = nullptr);

// Removes every registered temporary file and working folder, after the
// ones being created on other threads exist; none is created afterwards.
// Safe to call from a signal handler; the process is expected to end right
// after.
void RemovePendingOutputsNow();

// Test hook: temporary names come from a counter instead of the system's
// random source, so that a test can plant a file or link at the first name.
void UsePredictableTempNames();

// Whether two paths name the same existing file (same device and file
// number; on Windows the same volume and file index).
bool SameFile(const std::string& a, const std::string& b);

// The system's words for the last error of a C library or POSIX call.
std::string SystemError(int errnum);

}  // namespace kaldorin

#endif
