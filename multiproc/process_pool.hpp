// ProcessPool: the parent side of multi-process training. It starts the training workers (each
// with its share of the sequences, dealt round-robin), runs the rounds in which every worker gets
// the same request (statistics, a merge with its step directory, the final dump), and shuts them
// down. Every child is reaped on every path: shutdown() waits for each, and a pool dropped
// without it closes the pipes and ends children that do not exit within a few seconds. A round
// that waits for replies gives up when the thread's interrupt hook says stop (a Ctrl-C), however
// long the workers take; it then ends them with stop() and returns Error::interrupted().
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

// The roots to try for step directories, in order: TMPDIR alone when it is set and not empty;
// else `shm` when it is a directory this process may write into (in memory), then the system
// temporary directory.
std::vector<std::string> step_roots(const std::string& shm = "/dev/shm");

// A private directory of one merge step (0700, created exclusively under the first of `roots`
// where that succeeds) with one subdirectory per worker; removed with everything in it when
// dropped. The error is the last root's.
class StepDir {
 public:
  // The step directory under the first of `roots` that takes it; the workers' subdirectories are
  // named, each made by make_worker_dir.
  static Result<std::unique_ptr<StepDir>> create(size_t workers,
                                                 const std::vector<std::string>& roots = step_roots());
  // Creates worker i's subdirectory (0700).
  Result<void> make_worker_dir(size_t i) const;
  const std::string& path() const { return dir_.path(); }
  const std::vector<std::string>& worker_dirs() const { return worker_dirs_; }

 private:
  explicit StepDir(PrivateDir dir) : dir_(std::move(dir)) {}
  PrivateDir dir_;
  std::vector<std::string> worker_dirs_;
};

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
  // Ends every worker and waits for it; fails only when interrupted while it waits for their
  // acknowledgements (the workers are then stopped).
  Result<void> shutdown();
  // Ends every worker whatever it is doing: each is asked to shut down, and those that have not
  // ended 3 s later are killed. Replies still pending are never read.
  void stop();

 private:
  ProcessPool() = default;
  // Writes `frame` to every worker in order; the first write error ends it.
  Result<void> broadcast(const std::string& frame);
  // Ends every worker now (after a failed merge round, before its directory is removed, so that
  // no worker still writes into or recreates it).
  void terminate();
  // The error of a failed round, the workers stopped first when it is an interrupt.
  Error given_up(Error error);

  std::vector<ChildProcess> workers_;
};

}  // namespace zelkor::mp
