// The process pool and its rounds.
#include "multiproc/process_pool.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "core/env.hpp"
#include "core/log.hpp"
#include "core/pool.hpp"
#include "core/stats.hpp"
#include "multiproc/bucket_files.hpp"

extern char** environ;

namespace zelkor::mp {
namespace {

constexpr const char* TAG = "proc_pool";
constexpr const char* WORKER_PROGRAM = "import zelkor_ext as m; m._run_worker()";
constexpr uint64_t MAX_BUCKETS = uint64_t{1} << 20;
constexpr size_t MAX_RENDERED = 300;

// A reply as its debug text, cut so that a whole statistics map never ends up in a message.
std::string rendered(const WorkerResponse& reply) {
  std::string text = debug_string(reply);
  if (text.size() > MAX_RENDERED) text = text.substr(0, MAX_RENDERED) + "... (cut)";
  return text;
}

uint64_t next_power_of_two(uint64_t v) {
  uint64_t p = 1;
  while (p < v && p < (uint64_t{1} << 63)) p <<= 1;
  return p;
}

uint64_t online_processors() { return counting_pool_threads(0); }

// The parent's environment with `overrides` set, as "NAME=value" strings.
std::vector<std::string> child_environment(const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : overrides) replaced = replaced || key == name;
    if (!replaced) out.emplace_back(entry);
  }
  for (const auto& [key, value] : overrides) out.push_back(key + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Starts `command` with its standard input and output on two close-on-exec pipes, so the child
// holds only its own ends and later children inherit none of them.
Result<std::pair<pid_t, std::pair<int, int>>> spawn(const WorkerCommand& command) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return std::unexpected(Error::io(errno));
  if (::pipe2(out, O_CLOEXEC) != 0) {
    const int err = errno;
    ::close(in[0]), ::close(in[1]);
    return std::unexpected(Error::io(err));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<std::string> argv_strings = {command.executable};
  argv_strings.insert(argv_strings.end(), command.args.begin(), command.args.end());
  std::vector<std::string> env_strings = child_environment(command.env);
  std::vector<char*> argv = pointers(argv_strings), envp = pointers(env_strings);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, command.executable.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]), ::close(out[0]);
    return std::unexpected(Error::io(rc));
  }
  return std::pair{pid, std::pair{in[1], out[0]}};
}

}  // namespace

WorkerCommand worker_command(std::string executable) {
  WorkerCommand command{std::move(executable), {}, {}};
  if (env_is_set("MP_PY_WORKER")) {
    command.args = {"-c", WORKER_PROGRAM};
  } else {
    command.args = {"--as-worker"};
  }
  return command;
}

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

uint64_t step_bucket_count(size_t workers, uint64_t expected_windows) {
  if (auto v = env_u64("MP_BUCKETS")) return std::clamp<uint64_t>(next_power_of_two(*v), 64, MAX_BUCKETS);
  const uint64_t most = std::max<uint64_t>(next_power_of_two(std::max<size_t>(workers, 1)), 1024);
  const uint64_t per_bucket = WINDOWS_PER_FILE * std::max<size_t>(workers, 1);
  return std::min(next_power_of_two(expected_windows / per_bucket), most);
}

std::string step_root() {
  if (auto tmpdir = env_var("TMPDIR")) return *tmpdir;
  std::error_code ec;
  if (std::filesystem::is_directory("/dev/shm", ec)) return "/dev/shm";
  return std::filesystem::temp_directory_path(ec).string();
}

Result<std::unique_ptr<StepDir>> StepDir::create(size_t workers) {
  const std::string root = step_root();
  if (!make_private_dirs(root)) return std::unexpected(Error::io(errno));
  auto dir = std::unique_ptr<StepDir>(new StepDir());
  for (int attempt = 0;; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t nanos = now.tv_sec < 0 ? 0 : uint64_t(now.tv_sec) * 1000000000 + uint64_t(now.tv_nsec) + attempt;
    const std::string path = (std::filesystem::path(root) / fmt::format("zk_apply_{}_{}", ::getpid(), nanos)).string();
    if (::mkdir(path.c_str(), 0700) == 0) {  // exclusive: an existing path is never reused
      dir->path_ = path;
      break;
    }
    if (errno != EEXIST || attempt > 100) return std::unexpected(Error::io(errno));
  }
  for (size_t i = 0; i < workers; ++i) {
    dir->worker_dirs_.push_back((std::filesystem::path(dir->path_) / fmt::format("w{}", i)).string());
    if (::mkdir(dir->worker_dirs_.back().c_str(), 0700) != 0) return std::unexpected(Error::io(errno));
  }
  return dir;
}

StepDir::~StepDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
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
    auto started = spawn(child);
    if (!started) return fail(fmt::format("spawn worker {} failed: {}", i, started.error().render()));
    Worker& worker = pool->workers_.emplace_back();
    worker.pid = started->first;
    worker.to_child = started->second.first;
    worker.from_fd = started->second.second;
    worker.from_child = std::make_unique<FrameReader>(worker.from_fd);
    log_at(3, TAG, "send Init to worker {}", i);
    const WorkerRequest init = Init{std::move(parts[i]), std::vector<uint64_t>(n_values.begin(), n_values.end())};
    parts[i] = {};  // the share lives in the worker from now on
    const std::string tag = fmt::format("worker:{}:ack", i);
    if (auto sent = pool->send(i, encode_frame(init), tag); !sent) return std::unexpected(sent.error());
    auto reply = read_msg_tagged(*worker.from_child, tag);
    if (!reply) return std::unexpected(reply.error());
    if (!std::holds_alternative<Ack>(*reply)) {
      return fail(fmt::format("worker {} init failed: {}", i, rendered(*reply)));
    }
    log_at(3, TAG, "worker {} ack received", i);
  }
  return pool;
}

Result<void> ProcessPool::send(size_t i, std::string_view frame, std::string_view tag) {
  auto sent = write_all_fd(workers_[i].to_child, frame);
  if (sent) return {};
  if (auto reply = read_msg_tagged(*workers_[i].from_child, tag); !reply) return std::unexpected(reply.error());
  return sent;
}

Result<void> ProcessPool::broadcast(const std::string& frame, std::string_view tag_format) {
  for (size_t i = 0; i < workers_.size(); ++i) {
    if (auto sent = send(i, frame, fmt::format(fmt::runtime(tag_format), i)); !sent) return sent;
  }
  return {};
}

void ProcessPool::terminate() {
  for (Worker& worker : workers_) {
    if (worker.pid > 0 && !worker.status) ::kill(worker.pid, SIGKILL);
    reap(worker, false);
  }
}

Result<StatsMap> ProcessPool::compute_stats() {
  const auto t0 = std::chrono::steady_clock::now();
  const size_t n = workers_.size();
  log_at(3, TAG, "stats broadcast workers={}", n);
  if (auto sent = broadcast(encode_frame(ComputeStats{}), "worker:{}:stats"); !sent) {
    return std::unexpected(sent.error());
  }
  // One reader thread per worker; every reply is read, and the first error to arrive wins.
  std::vector<std::optional<Result<StatsMap>>> results(n);
  std::vector<size_t> arrival(n);
  std::atomic<size_t> arrived{0};
  {
    std::vector<std::jthread> readers;
    auto start_reader = [&](auto&& body) {
      try {
        readers.emplace_back(std::forward<decltype(body)>(body));
      } catch (const std::system_error& e) {
        throw Fault("failed to spawn thread", e.what());  // the started readers are joined first
      }
    };
    for (size_t i = 0; i < n; ++i) {
      start_reader([&, i] {
        const auto start = std::chrono::steady_clock::now();
        auto reply = read_msg_tagged(*workers_[i].from_child, fmt::format("worker:{}:stats", i));
        if (!reply) {
          results[i] = std::unexpected(reply.error());
        } else if (auto* stats = std::get_if<Stats>(&*reply)) {
          log_at(3, TAG, "stats {}/{} reply_keys={} elapsed={:.2f}s", i + 1, n, stats->stats.size(),
                 elapsed_seconds(start));
          results[i] = std::move(stats->stats);
        } else {
          results[i] = fail(fmt::format("unexpected stats reply: {}", rendered(*reply)));
        }
        arrival[i] = arrived.fetch_add(1);
      });
    }
  }
  size_t keys = 0;
  std::optional<size_t> first_error;
  for (size_t i = 0; i < n; ++i) {
    if (!*results[i] && (!first_error || arrival[i] < arrival[*first_error])) first_error = i;
    if (*results[i]) keys += (*results[i])->size();
  }
  if (first_error) return std::unexpected((*results[*first_error]).error());
  StatsMap merged = tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, n), StatsMap{},
      [&](const tbb::blocked_range<size_t>& range, StatsMap acc) {
        acc.reserve(std::max<size_t>(8, keys / std::max<size_t>(n, 1)));
        for (size_t i = range.begin(); i != range.end(); ++i) merge_stats_into(acc, std::move(**results[i]));
        return acc;
      },
      [](StatsMap left, StatsMap right) {
        merge_stats_into(left, std::move(right));
        return left;
      });
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
    terminate();
    return std::unexpected(std::move(error));
  };
  for (size_t i = 0; i < workers_.size(); ++i) {
    const WorkerRequest request = ApplyMerge{TokenIds(parts.begin(), parts.end()), new_id,
                                             recompute_each_step, use_diff, buckets,
                                             (*dir)->worker_dirs()[i]};
    const std::string tag = fmt::format("worker:{}:apply", i);
    if (auto sent = send(i, encode_frame(request), tag); !sent) return failed(sent.error());
  }
  for (size_t i = 0; i < workers_.size(); ++i) {
    auto reply = read_msg_tagged(*workers_[i].from_child, fmt::format("worker:{}:apply", i));
    if (!reply) return failed(reply.error());
    if (!std::holds_alternative<ApplyResult>(*reply)) {
      return failed(Error(fmt::format("unexpected apply reply: {}", rendered(*reply))));
    }
    log_at(3, TAG, "apply {}/{} done elapsed={:.2f}s", i + 1, workers_.size(), elapsed_seconds(t0));
  }
  return dir;
}

Result<std::vector<SeqEntry>> ProcessPool::dump_entries() {
  if (auto sent = broadcast(encode_frame(DumpEntries{}), "worker:dump"); !sent) {
    return std::unexpected(sent.error());
  }
  IdsMap<uint32_t> merged;
  for (Worker& worker : workers_) {
    auto reply = read_msg_tagged(*worker.from_child, "worker:dump");
    if (!reply) return std::unexpected(reply.error());
    auto* entries = std::get_if<Entries>(&*reply);
    if (entries == nullptr) return fail(fmt::format("unexpected entries reply: {}", rendered(*reply)));
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

void ProcessPool::shutdown() {
  const std::string frame = encode_frame(Shutdown{});
  for (Worker& worker : workers_) (void)write_all_fd(worker.to_child, frame);
  for (Worker& worker : workers_) {
    (void)read_msg_tagged(*worker.from_child, "worker:shutdown");
    reap(worker, true);
  }
}

void ProcessPool::reap(Worker& worker, bool patient) {
  if (worker.to_child >= 0) ::close(std::exchange(worker.to_child, -1));
  if (worker.from_fd >= 0) ::close(std::exchange(worker.from_fd, -1));
  if (worker.pid < 0 || worker.status) return;
  // A worker sees end of input and ends; one that does not within a few seconds is killed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(patient ? 30 : 3);
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(worker.pid, &status, WNOHANG);
    if (done == worker.pid || (done < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(worker.pid, SIGKILL);
      while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  worker.status = status;
}

ProcessPool::~ProcessPool() {
  for (Worker& worker : workers_) reap(worker, false);
}

}  // namespace zelkor::mp
