// The process pool and its rounds.
#include "multiproc/process_pool.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <system_error>

#include <fmt/format.h>
#include <tbb/blocked_range.h>

#include "core/env.hpp"
#include "core/log.hpp"
#include "core/pool.hpp"
#include "core/reduce.hpp"
#include "core/stats.hpp"
#include "multiproc/bucket_count.hpp"
#include "multiproc/bucket_files.hpp"
#include "multiproc/countdown.hpp"

namespace zelkor::mp {
namespace {

constexpr const char* TAG = "proc_pool";
uint64_t online_processors() { return counting_pool_threads(0); }

Result<PrivateDir> create_under_first(const std::vector<std::string>& roots,
                                      const std::function<std::string(unsigned attempt)>& name) {
  Error last = Error::io(ENOENT);  // no root at all
  for (const std::string& root : roots) {
    auto made = PrivateDir::create(root, name);
    if (made) return made;
    last = std::move(made.error());
  }
  return std::unexpected(std::move(last));
}

// A thread joined when dropped, on a small stack: a reader only reads and decodes into the heap,
// and a default stack (often 8 MB) per worker can be what an address-space limit refuses.
class ReaderThread {
 public:
  explicit ReaderThread(std::function<void()> body) : body_(std::move(body)) {
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0) {
      err = pthread_attr_setstacksize(&attr, size_t{1} << 20);
      if (err == 0) err = pthread_create(&thread_, &attr, run, &body_);
      pthread_attr_destroy(&attr);
    }
    if (err != 0) throw std::system_error(err, std::generic_category());
  }
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;
  ~ReaderThread() { pthread_join(thread_, nullptr); }

 private:
  static void* run(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return nullptr;
  }
  std::function<void()> body_;
  pthread_t thread_{};
};

}  // namespace

std::vector<std::vector<SeqEntry>> deal(std::vector<SeqEntry>&& entries, uint64_t n) {
  std::vector<std::vector<SeqEntry>> parts(static_cast<size_t>(std::min<uint64_t>(n, entries.size())));
  for (size_t k = 0; k < entries.size(); ++k) parts[k % n].push_back(std::move(entries[k]));
  entries = {};
  return parts;
}

std::string child_worker_threads(size_t m) {
  if (auto own = env_var("WORKER_THREADS")) return *own;
  return std::to_string(std::clamp<uint64_t>(online_processors() / std::max<size_t>(m, 1), 1, 4));
}

std::vector<std::string> step_roots(const std::string& shm) {
  if (auto tmpdir = env_var("TMPDIR"); tmpdir && !tmpdir->empty()) return {*tmpdir};
  std::vector<std::string> roots;
  std::error_code ec;
  // A read-only or foreign /dev/shm is passed over, not an error.
  if (std::filesystem::is_directory(shm, ec) && ::access(shm.c_str(), W_OK | X_OK) == 0) roots.push_back(shm);
  roots.push_back(system_temp_dir());
  return roots;
}

Result<std::unique_ptr<StepDir>> StepDir::create(size_t workers, const std::vector<std::string>& roots) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t nanos = now.tv_sec < 0 ? 0 : uint64_t(now.tv_sec) * 1000000000 + uint64_t(now.tv_nsec);
  auto made = create_under_first(roots, [&](unsigned attempt) {
    return fmt::format("{}{}_{}", STEP_DIR_PREFIX, ::getpid(), nanos + attempt);
  });
  if (!made) return std::unexpected(made.error());
  auto dir = std::unique_ptr<StepDir>(new StepDir(std::move(*made)));
  for (size_t i = 0; i < workers; ++i) {
    dir->worker_dirs_.push_back((std::filesystem::path(dir->path()) / fmt::format("w{}", i)).string());
  }
  return dir;
}

Result<void> StepDir::make_worker_dir(size_t i) const {
  if (::mkdir(worker_dirs_[i].c_str(), 0700) != 0) return std::unexpected(Error::io(errno));
  return {};
}

Result<std::unique_ptr<ProcessPool>> ProcessPool::create(std::vector<SeqEntry>&& entries,
                                                         std::span<const uint64_t> n_values,
                                                         uint64_t requested,
                                                         const WorkerCommand& command) {
  const uint64_t n = requested != 0 ? requested : online_processors();
  std::vector<std::vector<SeqEntry>> parts = deal(std::move(entries), n);
  WorkerCommand child = command;
  child.env.emplace_back("WORKER_THREADS", child_worker_threads(parts.size()));
  std::unique_ptr<ProcessPool> pool(new ProcessPool());  // dropped on error: children reaped
  for (size_t i = 0; i < parts.size(); ++i) {
    auto started = ChildProcess::spawn(child);
    if (!started) return fail(fmt::format("spawn worker {} failed: {}", i, started.error().render()));
    ChildProcess& worker = pool->workers_.emplace_back(std::move(*started));
    log_at(3, TAG, "send Init to worker {}", i);
    const WorkerRequest init = Init{std::move(parts[i]), std::vector<uint64_t>(n_values.begin(), n_values.end())};
    parts[i] = {};  // the share lives in the worker from now on
    if (auto sent = worker.write(encode_frame(init)); !sent) return std::unexpected(sent.error());
    auto reply = worker.read(fmt::format("worker:{}:ack", i));
    if (!reply) return std::unexpected(pool->given_up(std::move(reply.error())));
    if (!std::holds_alternative<Ack>(*reply)) {
      return fail(fmt::format("worker {} init failed: {}", i, rendered_reply(*reply)));
    }
    log_at(3, TAG, "worker {} ack received", i);
  }
  return pool;
}

Result<void> ProcessPool::broadcast(const std::string& frame) {
  for (ChildProcess& worker : workers_) {
    if (auto sent = worker.write(frame); !sent) return sent;
  }
  return {};
}

void ProcessPool::terminate() {
  for (ChildProcess& worker : workers_) worker.kill();
}

void ProcessPool::stop() {
  for (ChildProcess& worker : workers_) worker.request_end();
  const auto deadline = std::chrono::steady_clock::now() + END_GRACE;
  for (ChildProcess& worker : workers_) worker.wait_until(deadline);
}

Error ProcessPool::given_up(Error error) {
  if (error.is_interrupted()) stop();
  return error;
}

Result<StatsMap> ProcessPool::compute_stats() {
  const auto t0 = std::chrono::steady_clock::now();
  const size_t n = workers_.size();
  log_at(3, TAG, "stats broadcast workers={}", n);
  if (auto sent = broadcast(encode_frame(ComputeStats{})); !sent) {
    return std::unexpected(sent.error());
  }
  // One reader thread per worker; every reply is read, and the first error to arrive wins. An
  // exception (memory ran out) is carried to this thread and thrown once every reader has ended.
  std::vector<std::optional<Result<StatsMap>>> results(n);
  std::vector<std::exception_ptr> thrown(n);
  std::vector<size_t> arrival(n);
  std::atomic<size_t> arrived{0};
  Countdown replies(n);
  {
    std::vector<std::unique_ptr<ReaderThread>> readers;
    readers.reserve(n);
    auto start_reader = [&](std::function<void()> body) {
      try {
        readers.push_back(std::make_unique<ReaderThread>(std::move(body)));
      } catch (const std::system_error& e) {
        throw Fault("failed to spawn thread", e.what());  // the started readers are joined first
      }
    };
    for (size_t i = 0; i < n; ++i) {
      start_reader([&, i] {
        prepare_thread();
        const auto start = std::chrono::steady_clock::now();
        try {
          auto reply = workers_[i].read(fmt::format("worker:{}:stats", i));
          if (!reply) {
            results[i] = std::unexpected(reply.error());
          } else if (auto* stats = std::get_if<Stats>(&*reply)) {
            log_at(3, TAG, "stats {}/{} reply_keys={} elapsed={:.2f}s", i + 1, n, stats->stats.size(),
                   elapsed_seconds(start));
            results[i] = std::move(stats->stats);
          } else {
            results[i] = fail(fmt::format("unexpected stats reply: {}", rendered_reply(*reply)));
          }
        } catch (...) {
          thrown[i] = std::current_exception();
        }
        arrival[i] = arrived.fetch_add(1);
        replies.count_down();
      });
    }
    // Waiting here rather than in the joins keeps a Ctrl-C in reach. Once it comes, each read
    // ends with its worker, and the readers are joined before the pipes are closed.
    if (auto waited = replies.wait(); !waited) {
      stop();
      return std::unexpected(std::move(waited.error()));
    }
  }
  std::optional<size_t> first_thrown;
  for (size_t i = 0; i < n; ++i) {
    if (thrown[i] && (!first_thrown || arrival[i] < arrival[*first_thrown])) first_thrown = i;
  }
  if (first_thrown) std::rethrow_exception(thrown[*first_thrown]);
  size_t keys = 0;
  std::optional<size_t> first_error;
  for (size_t i = 0; i < n; ++i) {
    if (!*results[i] && (!first_error || arrival[i] < arrival[*first_error])) first_error = i;
    if (*results[i]) keys += (*results[i])->size();
  }
  if (first_error) return std::unexpected((*results[*first_error]).error());
  StatsMap merged = reduce_moving<StatsMap>(
      tbb::blocked_range<size_t>(0, n),
      [&](const tbb::blocked_range<size_t>& range, StatsMap& acc) {
        acc.reserve(std::max<size_t>(8, keys / std::max<size_t>(n, 1)));
        for (size_t i = range.begin(); i != range.end(); ++i) merge_stats_into(acc, std::move(**results[i]));
      },
      [](StatsMap& left, StatsMap&& right) { merge_stats_into(left, std::move(right)); });
  log_at(3, TAG, "stats done keys={} elapsed={:.2f}s", merged.size(), elapsed_seconds(t0));
  return merged;
}

Result<std::unique_ptr<StepDir>> ProcessPool::apply_merge_prepare(IdSpan parts, uint32_t new_id,
                                                                  bool recompute_each_step,
                                                                  uint64_t buckets) {
  const bool use_diff = !env_is_set("MP_NO_DIFF") && !env_is_set("MP_LOW_MEM");
  auto dir = StepDir::create(workers_.size());
  if (!dir) return dir;
  const auto t0 = std::chrono::steady_clock::now();
  log_at(3, TAG, "apply broadcast workers={} parts_len={}", workers_.size(), parts.size());
  // A failed round ends the workers before the directory goes (when this returns).
  auto failed = [&](Error error) {
    error = given_up(std::move(error));
    terminate();
    return std::unexpected(std::move(error));
  };
  for (size_t i = 0; i < workers_.size(); ++i) {
    if (auto made = (*dir)->make_worker_dir(i); !made) return failed(made.error());
    const WorkerRequest request = ApplyMerge{TokenIds(parts.begin(), parts.end()), new_id,
                                             recompute_each_step, use_diff, buckets,
                                             (*dir)->worker_dirs()[i]};
    if (auto sent = workers_[i].write(encode_frame(request)); !sent) return failed(sent.error());
  }
  for (size_t i = 0; i < workers_.size(); ++i) {
    auto reply = workers_[i].read(fmt::format("worker:{}:apply", i));
    if (!reply) return failed(reply.error());
    if (!std::holds_alternative<ApplyResult>(*reply)) {
      return failed(Error(fmt::format("unexpected apply reply: {}", rendered_reply(*reply))));
    }
    log_at(3, TAG, "apply {}/{} done elapsed={:.2f}s", i + 1, workers_.size(), elapsed_seconds(t0));
  }
  return dir;
}

Result<std::vector<SeqEntry>> ProcessPool::dump_entries() {
  if (auto sent = broadcast(encode_frame(DumpEntries{})); !sent) {
    return std::unexpected(sent.error());
  }
  IdsMap<uint32_t> merged;
  for (ChildProcess& worker : workers_) {
    auto reply = worker.read("worker:dump");
    if (!reply) return std::unexpected(given_up(std::move(reply.error())));
    auto* entries = std::get_if<Entries>(&*reply);
    if (entries == nullptr) return fail(fmt::format("unexpected entries reply: {}", rendered_reply(*reply)));
    for (SeqEntry& entry : entries->entries) merged[std::move(entry.tokens)] += entry.freq;
  }
  std::vector<SeqEntry> out;
  out.reserve(merged.size());
  for (auto it = merged.begin(); it != merged.end();) {
    auto node = merged.extract(it++);
    out.push_back(SeqEntry{std::move(node.key()), node.mapped()});
  }
  return out;
}

Result<void> ProcessPool::shutdown() {
  const std::string frame = encode_frame(Shutdown{});
  for (ChildProcess& worker : workers_) (void)worker.write(frame);
  for (ChildProcess& worker : workers_) {
    auto reply = worker.read("worker:shutdown");  // whatever it is, unless a stop request
    if (!reply && reply.error().is_interrupted()) return std::unexpected(given_up(std::move(reply.error())));
    worker.reap(true);
  }
  return {};
}

ProcessPool::~ProcessPool() {
  // Every child sees the end of its input at once, then all are waited for until one deadline.
  for (ChildProcess& worker : workers_) worker.close_pipes();
  const auto deadline = std::chrono::steady_clock::now() + END_GRACE;
  for (ChildProcess& worker : workers_) worker.wait_until(deadline);
}

}  // namespace zelkor::mp
