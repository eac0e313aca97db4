// Batches of independent jobs (files to decode, members to extract) on
// several threads, with what the user sees kept as one thread would give
// it: each job's messages are held and written in the order of the jobs,
// and a terminal shows one bar for the whole batch.
#ifndef KALDORIN_TOOLS_KALDORIN_JOBS_H
#define KALDORIN_TOOLS_KALDORIN_JOBS_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace kaldorin {

// The processors this process may run on (its affinity), at least 1 and at
// most kMostThreadsWriting.
unsigned ProcessorsAvailable();

// -j N as the user gave it (0: not given, the processors available),
// bounded by the threads that may write at once.
unsigned JobCount(uint64_t given);

struct Batch {
  size_t count = 0;            // jobs, numbered 0 to count - 1
  unsigned threads = 1;        // JobCount's answer
  const char* noun = "files";  // what the bar counts
  bool quiet = false;          // no bar
  // Bytes of job i, for the bar's share done; null counts jobs alone.
  std::function<uint64_t(size_t)> bytes;
};

// One job per file of `files` ("-": standard input), with -j `jobs` (0:
// the processors available); the bar weighs each file by its size.
Batch FileBatch(const std::vector<std::string>& files, uint64_t jobs, bool quiet);

// Runs work(i) for every job: on this thread one after another when there
// is one thread or one job, or when called from a job of another batch;
// else on up to `threads` threads, each taking the next job in order. A job
// that returns kExitCancelled or kExitUsage stops the batch: no later job
// starts. Returns kExitCancelled or kExitUsage when a job did, else the last
// failing job's status, else kExitOk.
int RunBatch(const Batch& batch, const std::function<int(size_t)>& work);

}  // namespace kaldorin

#endif
