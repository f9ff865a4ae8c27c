// ProcessPool: the parent side of multi-process training. It starts the training workers (each
// with its share of the sequences, dealt round-robin), runs the rounds in which every worker gets
// the same request (statistics, a merge with its step directory, the final dump), and shuts them
// down. Every child is reaped on every path: shutdown() waits for each, and a pool dropped
// without it closes the pipes and ends children that do not exit within a few seconds.
// Tested by process_pool_test.cpp and the multi-process Python suites.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"
#include "multiproc/frame_io.hpp"

namespace zelkor::mp {

// How a worker process is started: the program and its arguments; the environment is the
// parent's plus `env`.
struct WorkerCommand {
  std::string executable;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;
};

// `executable` with "-c" and the worker program when MP_PY_WORKER is set, else "--as-worker".
WorkerCommand worker_command(std::string executable);

// The parts of a deal: entry k to part k mod n, empty parts dropped.
std::vector<std::vector<SeqEntry>> deal(std::vector<SeqEntry>&& entries, uint64_t n);

// WORKER_THREADS for m training workers: the parent's own value when it has one, else the
// online processors / m clamped to 1..4.
std::string child_worker_threads(size_t m);

// The bucket count of a merge step: MP_BUCKETS rounded up to a power of two, at least 64 and at
// most 2^20. Without it, the count follows the step's expected window changes, about
// WINDOWS_PER_FILE to each worker's file (a power of two from 1), up to max(next power of two >=
// workers, 1024): every bucket costs each worker a file or two and the parent as many opens and
// reads, so a small step must not pay for a thousand of them.
inline constexpr uint64_t WINDOWS_PER_FILE = 2048;
uint64_t step_bucket_count(size_t workers, uint64_t expected_windows);

// A private directory of one merge step (0700, created exclusively under the step root: TMPDIR,
// else /dev/shm, else the system temporary directory) with one subdirectory per worker; removed
// with everything in it when dropped.
class StepDir {
 public:
  static Result<std::unique_ptr<StepDir>> create(size_t workers);
  ~StepDir();
  const std::string& path() const { return path_; }
  const std::vector<std::string>& worker_dirs() const { return worker_dirs_; }

 private:
  std::string path_;
  std::vector<std::string> worker_dirs_;
};

// The root of the step directories.
std::string step_root();

class ProcessPool {
 public:
  // Starts min(n, entries) workers (n = `requested`, or the online processors when 0) one at a
  // time, each acknowledging its Init before the next starts.
  static Result<std::unique_ptr<ProcessPool>> create(std::vector<SeqEntry>&& entries,
                                                     std::span<const uint64_t> n_values,
                                                     uint64_t requested, const WorkerCommand& command);
  ProcessPool(const ProcessPool&) = delete;
  ProcessPool& operator=(const ProcessPool&) = delete;
  ~ProcessPool();

  size_t size() const { return workers_.size(); }

  // The sum of every worker's statistics (every reply is read, even after an error).
  Result<StatsMap> compute_stats();
  // Broadcasts one merge with a fresh step directory and waits for every worker.
  Result<std::unique_ptr<StepDir>> apply_merge_prepare(IdSpan parts, uint32_t new_id,
                                                       bool recompute_each_step, uint64_t buckets);
  // The workers' sequences, equal ones merged (counts wrap).
  Result<std::vector<SeqEntry>> dump_entries();
  // Ends every worker and waits for it; never fails.
  void shutdown();

 private:
  struct Worker {
    pid_t pid = -1;
    int to_child = -1;  // the child's standard input
    std::unique_ptr<FrameReader> from_child;
    int from_fd = -1;
    std::optional<int> status;
  };
  ProcessPool() = default;
  // Writes `frame` to every worker; see send().
  Result<void> broadcast(const std::string& frame, std::string_view tag_format);
  // Writes `frame` to worker i. A worker that died cannot take it: its read failure (tagged
  // `tag`) is reported then, which says more than the broken pipe.
  Result<void> send(size_t i, std::string_view frame, std::string_view tag);
  // Ends every worker now (after a failed merge round, before its directory is removed, so that
  // no worker still writes into or recreates it).
  void terminate();
  void reap(Worker& worker, bool patient);

  std::vector<Worker> workers_;
};

}  // namespace zelkor::mp
