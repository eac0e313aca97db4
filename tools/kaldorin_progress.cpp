#include "tools/kaldorin_progress.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "tools/kaldorin_output.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace {

volatile sig_atomic_t gCancel = 0;
long gCancelAfter = 0;
long gReports = 0;

constexpr int kBarWidth = 30;
constexpr size_t kMaxLabel = 32;

// The first Ctrl-C asks the work to stop, so that a plug-in in a call frees
// what it holds and returns "cancelled". A second Ctrl-C, SIGTERM or SIGHUP
// ends the tool at once, after removing its unfinished output files.
void OnSignal(int sig) {
  if (sig == SIGINT && gCancel == 0) {
    gCancel = 1;
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

bool CancelRequested() { return gCancel != 0; }

void SetCancelAfterReports(long calls) { gCancelAfter = calls; }

void StartProgress(ProgressBar* bar, const std::string& label, bool quiet) {
  bar->enabled = !quiet && StderrIsTerminal();
  // Long names are cut so that the bar fits a narrow terminal line.
  bar->label = label.size() > kMaxLabel ? label.substr(0, kMaxLabel - 3) + "..." : label;
  bar->lastPermille = -1;
  bar->drawn = false;
}

bool ReportProgress(ProgressBar* bar, uint64_t done, uint64_t total) {
  ++gReports;
  if (gCancelAfter > 0 && gReports == gCancelAfter) raise(SIGINT);
  if (bar != nullptr && bar->enabled && total > 0) {
    if (done > total) done = total;
    int permille = static_cast<int>(done * 1000 / total);
    if (permille != bar->lastPermille) {
      bar->lastPermille = permille;
      int filled = permille * kBarWidth / 1000;
      fprintf(stderr, "\r%s [%.*s%*s] %3d%%", bar->label.c_str(), filled, "##############################",
              kBarWidth - filled, "", permille / 10);
      fflush(stderr);
      bar->drawn = true;
    }
  }
  return CancelRequested();
}

void FinishProgress(ProgressBar* bar) {
  if (bar->drawn) {
    fprintf(stderr, "\r%*s\r", static_cast<int>(bar->label.size()) + kBarWidth + 8, "");
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
