#include "tools/kaldorin_progress.h"

#include "tools/kaldorin_shown_names.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "tools/kaldorin_messages.h"
#include "tools/kaldorin_output.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace kaldorin {

namespace {

// Atomic, so that every thread of a batch sees a Ctrl-C; lock-free, so that
// a signal handler may set it.
std::atomic<int> gCancel{0};
static_assert(std::atomic<int>::is_always_lock_free, "the cancel flag is set in a signal handler");
std::atomic<long> gCancelAfter{0};
std::atomic<long> gReports{0};

constexpr int kBarWidth = 30;
constexpr int kMinBarWidth = 10;
constexpr int kMaxLabel = 32;

// Columns of the terminal on standard error (80 when it does not say).
int TerminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
#else
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

// The first Ctrl-C asks the work to stop, so that a plug-in in a call frees
// what it holds and returns "cancelled". A second Ctrl-C, SIGTERM or SIGHUP
// ends the tool at once, after removing its unfinished output files.
void OnSignal(int sig) {
  int calm = 0;
  if (sig == SIGINT && gCancel.compare_exchange_strong(calm, 1)) {
#ifdef _WIN32
    signal(SIGINT, OnSignal);  // Windows resets the handler before each call
#endif
    return;
  }
  RemovePendingOutputsNow();
  _exit(128 + sig);
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

}  // namespace

void InstallCancelHandler() {
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
#ifndef _WIN32
  signal(SIGHUP, OnSignal);
#endif
}

bool CancelRequested() { return gCancel.load() != 0; }

void SetCancelAfterReports(long calls) { gCancelAfter = calls; }

void StartProgress(ProgressBar* bar, const std::string& label, bool quiet) {
  // A job of a batch draws nothing: the batch has one bar of its own.
  bar->enabled = !quiet && !MessagesHeld() && StderrIsTerminal();
  // The line is "LABEL [BAR] 100%": it must fit the terminal, less one
  // column so that the cursor never wraps. The bar gives way first, then
  // the label.
  const int fixed = 8;  // " [", "] ", "100%"
  const int columns = bar->enabled ? TerminalColumns() - 1 : 80;
  int labelRoom = columns - fixed - kMinBarWidth;
  if (labelRoom > kMaxLabel) labelRoom = kMaxLabel;
  if (labelRoom < 4) labelRoom = 4;
  // A name in the label cannot act on the terminal.
  const std::string shown = VisibleText(label);
  const int length = static_cast<int>(shown.size());
  bar->label = length > labelRoom ? shown.substr(0, static_cast<size_t>(labelRoom - 3)) + "..." : shown;
  int width = columns - fixed - static_cast<int>(bar->label.size());
  bar->width = width > kBarWidth ? kBarWidth : width < 1 ? 1 : width;
  bar->lastPermille = -1;
  bar->drawn = false;
}

bool ReportProgress(ProgressBar* bar, uint64_t done, uint64_t total) {
  const long reports = ++gReports;
  if (gCancelAfter > 0 && reports == gCancelAfter) raise(SIGINT);
  DrawProgress(bar, done, total);
  return CancelRequested();
}

void DrawProgress(ProgressBar* bar, uint64_t done, uint64_t total) {
  if (bar != nullptr && bar->enabled && total > 0) {
    if (done > total) done = total;
    int permille = static_cast<int>(done * 1000 / total);
    if (permille != bar->lastPermille) {
      bar->lastPermille = permille;
      int filled = permille * bar->width / 1000;
      fprintf(stderr, "\r%s [%.*s%*s] %3d%%", bar->label.c_str(), filled, "##############################",
              bar->width - filled, "", permille / 10);
      fflush(stderr);
      bar->drawn = true;
    }
  }
}

void FinishProgress(ProgressBar* bar) {
  if (bar->drawn) {
    fprintf(stderr, "\r%*s\r", static_cast<int>(bar->label.size()) + bar->width + 8, "");
    fflush(stderr);
  }
  bar->drawn = false;
}

int SPI_CALL PluginProgress(int nNum, int nDenom, SpiLong lData) {
  ProgressBar* bar = reinterpret_cast<ProgressBar*>(lData);
  uint64_t done = nNum < 0 ? 0 : static_cast<uint64_t>(nNum);
  uint64_t total = nDenom < 0 ? 0 : static_cast<uint64_t>(nDenom);
  return ReportProgress(bar, done, total) ? 1 : 0;
}

}  // namespace kaldorin
