// The progress bar on standard error and Ctrl-C cancellation.
//
// A SIGINT handler only sets a flag; long work polls it through the progress
// callbacks (the plug-ins' and the tool's own), so that a plug-in stops the
// normal way, frees its blocks and returns "cancelled".
#ifndef KALDORIN_TOOLS_KALDORIN_PROGRESS_H
#define KALDORIN_TOOLS_KALDORIN_PROGRESS_H

#include <stdint.h>

#include <string>

#include "common/plugin_api.h"

namespace kaldorin {

// Installs the handlers: the first Ctrl-C (SIGINT) sets the cancel flag; a
// second one, SIGTERM or SIGHUP removes unfinished output and ends the tool.
void InstallCancelHandler();
bool CancelRequested();
// Test hook: after `calls` progress reports, raise SIGINT in-process, as if
// the user had pressed Ctrl-C at that moment. 0 = never.
void SetCancelAfterReports(long calls);

struct ProgressBar {
  bool enabled = false;  // drawing at all (a terminal, not --quiet)
  std::string label;
  int width = 30;  // of the bar itself, so that the line fits the terminal
  int lastPermille = -1;
  bool drawn = false;
};

// Draws only when standard error is a terminal and `quiet` is false, and
// not on a thread whose messages are held (a job of a batch).
void StartProgress(ProgressBar* bar, const std::string& label, bool quiet);
// Reports `done` of `total`; returns true when the work should stop.
bool ReportProgress(ProgressBar* bar, uint64_t done, uint64_t total);
// Only draws `done` of `total`.
void DrawProgress(ProgressBar* bar, uint64_t done, uint64_t total);
// Clears the bar's line.
void FinishProgress(ProgressBar* bar);

// The plug-ins' progress callback; lData is a ProgressBar*.
int SPI_CALL PluginProgress(int nNum, int nDenom, SpiLong lData);

}  // namespace kaldorin

#endif
