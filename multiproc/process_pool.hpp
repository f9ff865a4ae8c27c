// ProcessPool: the parent side of multi-process training. It starts the training workers (each
// with its share of the sequences, dealt round-robin), runs the rounds in which every worker gets
// the same request (statistics, a merge with its step directory, the final dump), and shuts them
// down. Every child is reaped on every path: shutdown() waits for each, and a pool dropped
// without it closes the pipes and ends children that do not exit within a few seconds.
// Tested by process_pool_test.cpp and the multi-process Python suites.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"
#include "multiproc/child_process.hpp"
#include "multiproc/private_dir.hpp"

namespace zelkor::mp {

// The parts of a deal: entry k to part k mod n, empty parts dropped.
std::vector<std::vector<SeqEntry>> deal(std::vector<SeqEntry>&& entries, uint64_t n);

// WORKER_THREADS for m training workers: the parent's own value when it has one, else the
// online processors / m clamped to 1..4.
std::string child_worker_threads(size_t m);

// A private directory of one merge step (0700, created exclusively under the step root: TMPDIR,
// else /dev/shm, else the system temporary directory) with one subdirectory per worker; removed
// with everything in it when dropped.
class StepDir {
 public:
  // The step directory; the workers' subdirectories are named, each made by make_worker_dir.
  static Result<std::unique_ptr<StepDir>> create(size_t workers);
  // Creates worker i's subdirectory (0700).
  Result<void> make_worker_dir(size_t i) const;
  const std::string& path() const { return dir_.path(); }
  const std::vector<std::string>& worker_dirs() const { return worker_dirs_; }

 private:
  explicit StepDir(PrivateDir dir) : dir_(std::move(dir)) {}
  PrivateDir dir_;
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
  ProcessPool() = default;
  // Writes `frame` to every worker in order; the first write error ends it.
  Result<void> broadcast(const std::string& frame);
  // Ends every worker now (after a failed merge round, before its directory is removed, so that
  // no worker still writes into or recreates it).
  void terminate();

  std::vector<ChildProcess> workers_;
};

}  // namespace zelkor::mp
