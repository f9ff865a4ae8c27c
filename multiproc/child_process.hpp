// One worker process as the parent sees it: the command that starts it, the child itself with its
// standard input and output on close-on-exec pipes (standard error inherited), the frames that
// go to and come from it, and its end. A child is reaped on every path: dropping its handle
// closes the pipes and waits, killing one that does not end in time.
// Tested by process_pool_test.cpp and preprocess_mp_test.cpp.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
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

// A reply's debug text for an error message, cut at 300 characters ("... (cut)"), so that a
// whole statistics map never ends up in a message.
std::string rendered_reply(const WorkerResponse& reply);

// A started child. One thread at a time.
class ChildProcess {
 public:
  // Starts `command`; the error is the start's I/O error, without context.
  static Result<ChildProcess> spawn(const WorkerCommand& command);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess() { reap(false); }

  // Writes one frame; the error is the I/O error's own text (a child that has ended: "Broken
  // pipe"; its reply, if any, is not read).
  Result<void> write(std::string_view frame);
  // Reads one reply (the "[ipc:{tag}] ..." errors of frame_io.hpp).
  Result<WorkerResponse> read(std::string_view tag) { return read_msg_tagged(*reader_, tag); }

  // Closes both pipes, so the child sees the end of its input.
  void close_pipes();
  // Waits for the child (EINTR retried) and closes the pipes. Its input is closed first; its
  // output too, unless `patient` (after Shutdown, whose acknowledgement it may still write). One
  // that has not ended within 30 s (`patient`) or 3 s is killed. Idempotent.
  void reap(bool patient);
  // Kills the child now and reaps it.
  void kill();

 private:
  ChildProcess(pid_t pid, int to_child, int from_child);
  void wait_or_kill(int seconds);

  pid_t pid_ = -1;
  int to_child_ = -1;    // the child's standard input
  int from_child_ = -1;  // the child's standard output
  std::unique_ptr<FrameReader> reader_;
  bool reaped_ = false;
};

}  // namespace zelkor::mp
