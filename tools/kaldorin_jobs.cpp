#include "tools/kaldorin_jobs.h"

#include <stdio.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/cli/command.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_messages.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#endif

namespace kaldorin {

namespace {

bool StopsBatch(int status) { return status == kExitCancelled || status == kExitUsage; }

// A job's status combined into the batch's.
void Combine(int status, int* batch) {
  if (StopsBatch(status)) {
    *batch = status;
  } else if (status != kExitOk && !StopsBatch(*batch)) {
    *batch = status;
  }
}

int RunInTurn(const Batch& batch, const std::function<int(size_t)>& work) {
  int status = kExitOk;
  for (size_t i = 0; i < batch.count && !StopsBatch(status); ++i) Combine(work(i), &status);
  return status;
}

struct JobResult {
  bool done = false;
  int status = kExitOk;
  HeldMessages messages;
};

// What the threads share, under `mutex`.
struct Shared {
  std::mutex mutex;
  std::condition_variable finished;
  size_t next = 0;     // the next job to start
  bool stop = false;   // no job starts any more
  std::vector<JobResult> results;
};

void Work(Shared* shared, const std::function<int(size_t)>& work) {
  for (;;) {
    size_t i = 0;
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (shared->stop || shared->next == shared->results.size()) return;
      i = shared->next++;
    }
    HeldMessages held;
    HoldMessages(&held);
    const int status = work(i);
    HoldMessages(nullptr);
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      JobResult& r = shared->results[i];
      r.done = true;
      r.status = status;
      r.messages.lines.swap(held.lines);
      if (StopsBatch(status)) shared->stop = true;
    }
    shared->finished.notify_all();
  }
}

// The batch's bar: "12/500 files" and the share of bytes (or jobs) done.
void DrawBatchBar(const Batch& batch, ProgressBar* bar, size_t done, uint64_t bytesDone, uint64_t bytesTotal) {
  const std::string total = std::to_string(batch.count);
  char label[64];
  snprintf(label, sizeof label, "%*zu/%s %s", static_cast<int>(total.size()), done, total.c_str(), batch.noun);
  StartProgress(bar, label, batch.quiet);
  if (bytesTotal > 0) {
    DrawProgress(bar, bytesDone, bytesTotal);
  } else {
    DrawProgress(bar, done, batch.count);
  }
}

}  // namespace

unsigned ProcessorsAvailable() {
  unsigned n = 1;
#ifdef _WIN32
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    n = 0;
    for (; process != 0; process &= process - 1) ++n;
  }
#else
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<unsigned>(CPU_COUNT(&set));
#endif
  if (n < 1) n = 1;
  return n > static_cast<unsigned>(kMostThreadsWriting) ? static_cast<unsigned>(kMostThreadsWriting) : n;
}

unsigned JobCount(uint64_t given) {
  if (given == 0) return ProcessorsAvailable();
  return given > static_cast<uint64_t>(kMostThreadsWriting) ? static_cast<unsigned>(kMostThreadsWriting)
                                                           : static_cast<unsigned>(given);
}

Batch FileBatch(const std::vector<std::string>& files, uint64_t jobs, bool quiet) {
  Batch batch;
  batch.count = files.size();
  batch.threads = JobCount(jobs);
  batch.quiet = quiet;
  batch.bytes = [&files](size_t i) {
    uint64_t size = 0;
    return files[i] != "-" && FileSizeOf(files[i], &size) ? size : 0;
  };
  return batch;
}

int RunBatch(const Batch& batch, const std::function<int(size_t)>& work) {
  if (batch.threads <= 1 || batch.count <= 1 || MessagesHeld()) return RunInTurn(batch, work);
  Shared shared;
  shared.results.resize(batch.count);
  uint64_t bytesTotal = 0;
  for (size_t i = 0; batch.bytes && i < batch.count; ++i) bytesTotal += batch.bytes(i);

  const size_t threads = batch.threads < batch.count ? batch.threads : batch.count;
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) {
    // A system that will not start another thread leaves fewer to share
    // the jobs.
    try {
      pool.emplace_back(Work, &shared, std::cref(work));
    } catch (const std::system_error&) {
      break;
    }
  }
  if (pool.empty()) return RunInTurn(batch, work);

  // This thread writes each job's messages as soon as every job before it
  // has written its own.
  ProgressBar bar;
  uint64_t bytesDone = 0;
  int status = kExitOk;
  DrawBatchBar(batch, &bar, 0, 0, bytesTotal);
  for (size_t i = 0; i < batch.count; ++i) {
    JobResult result;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      shared.finished.wait(lock, [&] { return shared.results[i].done || (shared.stop && i >= shared.next); });
      if (!shared.results[i].done) break;  // never started
      result.status = shared.results[i].status;
      result.messages.lines.swap(shared.results[i].messages.lines);
    }
    if (!result.messages.lines.empty()) FinishProgress(&bar);
    WriteHeldMessages(&result.messages);
    Combine(result.status, &status);
    if (batch.bytes) bytesDone += batch.bytes(i);
    DrawBatchBar(batch, &bar, i + 1, bytesDone, bytesTotal);
  }
  FinishProgress(&bar);
  for (std::thread& t : pool) t.join();
  return status;
}

}  // namespace kaldorin
