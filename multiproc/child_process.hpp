// One worker process as the parent sees it: the command that starts it, the child itself with its
// standard input and output on close-on-exec pipes (standard error inherited), the frames that
// go to and come from it, and its end. A child is reaped on every path: dropping its handle
// closes the pipes and waits, killing one that does not end in time. Waiting for a reply does not
// outlast a Ctrl-C: the read asks the thread's interrupt hook while it waits (frame_io.hpp).
// Tested by process_pool_test.cpp and preprocess_mp_test.cpp.
#pragma once

#include <sys/types.h>

#include <chrono>
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

// How long a child told to end (its input closed) is waited for before it is killed.
inline constexpr std::chrono::seconds END_GRACE{3};

// `executable` with "-c" and the worker program (and PYTHONSAFEPATH=1: the current directory is
// not searched for modules) when MP_PY_WORKER is set, else "--as-worker".
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
  // Reads one reply (the "[ipc:{tag}] ..." errors of frame_io.hpp), or Error::interrupted() when
  // this thread's interrupt hook says stop while it waits.
  Result<WorkerResponse> read(std::string_view tag) { return read_msg_tagged(*reader_, tag); }

  pid_t pid() const { return pid_; }
  // Closes both pipes, so the child sees the end of its input.
  void close_pipes();
  // Asks the child to end without waiting for it: Shutdown when its input has room for that
  // frame (a child that reads nothing gets none), then the end of its input. Its output stays
  // open, so that a reply it still writes cannot fail.
  void request_end();
  // Waits for the child (EINTR retried) until `deadline` and kills it then; the pipes are left
  // as they are. Idempotent.
  void wait_until(std::chrono::steady_clock::time_point deadline);
  // Waits for the child and closes the pipes. Its input is closed first; its output too, unless
  // `patient` (after Shutdown, whose acknowledgement it may still write). One that has not ended
  // within 30 s (`patient`) or 3 s is killed. Idempotent.
  void reap(bool patient);
  // Kills the child now and reaps it.
  void kill();

 private:
  ChildProcess(pid_t pid, int to_child, int from_child);

  pid_t pid_ = -1;
  int to_child_ = -1;    // the child's standard input
  int from_child_ = -1;  // the child's standard output
  std::unique_ptr<FrameReader> reader_;
  bool reaped_ = false;
};

}  // namespace zelkor::mp
