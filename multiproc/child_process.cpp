// Starting, talking to and reaping one worker process.
#include "multiproc/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/env.hpp"
#include "core/file_io.hpp"

extern char** environ;

namespace zelkor::mp {
namespace {

constexpr const char* WORKER_PROGRAM = "import zelkor_ext as m; m._run_worker()";
constexpr size_t MAX_RENDERED = 300;

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

}  // namespace

WorkerCommand worker_command(std::string executable) {
  WorkerCommand command{std::move(executable), {}, {}};
  if (env_is_set("MP_PY_WORKER")) {
    command.args = {"-c", WORKER_PROGRAM};
    // "-c" would put the current directory first on the module path: a zelkor_ext.py that someone
    // left there would run in every worker.
    command.env.emplace_back("PYTHONSAFEPATH", "1");
  } else {
    command.args = {"--as-worker"};
  }
  return command;
}

std::string rendered_reply(const WorkerResponse& reply) {
  std::string text = debug_string(reply);
  if (text.size() > MAX_RENDERED) text = text.substr(0, MAX_RENDERED) + "... (cut)";
  return text;
}

// Both pipes are created close-on-exec, so the child holds only its own ends (dup2'd onto 0 and
// 1) and later children inherit none of them.
Result<ChildProcess> ChildProcess::spawn(const WorkerCommand& command) {
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
  return ChildProcess(pid, in[1], out[0]);
}

ChildProcess::ChildProcess(pid_t pid, int to_child, int from_child)
    : pid_(pid), to_child_(to_child), from_child_(from_child),
      reader_(std::make_unique<FrameReader>(from_child, true)) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      to_child_(std::exchange(other.to_child_, -1)),
      from_child_(std::exchange(other.from_child_, -1)),
      reader_(std::move(other.reader_)),
      reaped_(std::exchange(other.reaped_, true)) {}

Result<void> ChildProcess::write(std::string_view frame) { return write_all_fd(to_child_, frame); }

void ChildProcess::close_pipes() {
  if (to_child_ >= 0) ::close(std::exchange(to_child_, -1));
  if (from_child_ >= 0) ::close(std::exchange(from_child_, -1));
}

void ChildProcess::request_end() {
  if (to_child_ < 0) return;
  // A frame this short goes into a pipe whole or not at all, so the child never sees a part of it.
  const int flags = ::fcntl(to_child_, F_GETFL);
  if (flags >= 0 && ::fcntl(to_child_, F_SETFL, flags | O_NONBLOCK) == 0) {
    (void)write(encode_frame(Shutdown{}));
  }
  ::close(std::exchange(to_child_, -1));
}

void ChildProcess::reap(bool patient) {
  // A child told to shut down may still write its acknowledgement: its output stays open until
  // it has ended, so that write cannot fail.
  if (to_child_ >= 0) ::close(std::exchange(to_child_, -1));
  if (!patient) close_pipes();
  wait_until(std::chrono::steady_clock::now() + (patient ? std::chrono::seconds(30) : END_GRACE));
  close_pipes();
}

void ChildProcess::wait_until(std::chrono::steady_clock::time_point deadline) {
  // A worker sees the end of its input and ends; one that does not by the deadline is killed.
  if (pid_ < 0 || reaped_) return;
  reaped_ = true;
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) return;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::kill() {
  if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
  reap(false);
}

}  // namespace zelkor::mp
