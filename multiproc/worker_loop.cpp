// The worker loop and its dispatch.
#include "multiproc/worker_loop.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "core/log.hpp"
#include "core/normalize.hpp"
#include "multiproc/bucket_files.hpp"
#include "multiproc/frame_io.hpp"

namespace zelkor::mp {
namespace {

const ErrorReply NOT_INITIALIZED{"worker not initialized"};

// The counted normalised texts of a Preprocess chunk, in the count map's order.
PreStats preprocess(const std::vector<std::string>& texts) {
  StringMap<uint32_t> counts;
  for (const std::string& text : texts) counts[normalized_text(text)] += 1;
  PreStats out;
  out.stats.reserve(counts.size());
  for (auto it = counts.begin(); it != counts.end();) {
    auto node = counts.extract(it++);
    out.stats.emplace_back(std::move(node.key()), node.mapped());
  }
  return out;
}

// A private, close-on-exec copy of standard output for the frames; descriptor 1 then points at
// standard error.
Result<int> take_stdout() {
  const int frames = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (frames < 0) return std::unexpected(Error::io(errno));
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    const int err = errno;
    ::close(frames);
    return std::unexpected(Error::io(err));
  }
  return frames;
}

}  // namespace

WorkerResponse handle_request(std::optional<WorkerState>& state, WorkerRequest&& request, bool& done) {
  struct Visit {
    std::optional<WorkerState>& state;
    bool& done;
    WorkerResponse operator()(Init& m) {
      state.emplace(std::move(m.entries), std::move(m.n_values));
      return Ack{};
    }
    WorkerResponse operator()(Preprocess& m) { return preprocess(m.texts); }
    WorkerResponse operator()(ComputeStats&) {
      if (!state) return NOT_INITIALIZED;
      return Stats{state->compute_stats()};
    }
    WorkerResponse operator()(ApplyMerge& m) {
      if (!state) return NOT_INITIALIZED;
      return state->apply_merge(m);
    }
    WorkerResponse operator()(DumpEntries&) {
      if (!state) return NOT_INITIALIZED;
      return Entries{state->entries()};
    }
    WorkerResponse operator()(Shutdown&) {
      done = true;
      return Ack{};
    }
  };
  return std::visit(Visit{state, done}, request);
}

Result<void> worker_loop() {
  auto frames = take_stdout();
  if (!frames) return std::unexpected(std::move(frames.error()));
  log_at(3, "worker", "ready pid={}", ::getpid());
  FrameReader input(STDIN_FILENO);
  std::optional<WorkerState> state;
  Result<void> outcome;
  std::string step_dir;  // where the last merge step wrote its files
  for (bool done = false; !done;) {
    auto request = read_request(input, "worker:req");
    if (!request) {
      outcome = std::unexpected(std::move(request.error()));
      break;
    }
    if (auto* merge = std::get_if<ApplyMerge>(&*request); merge && merge->use_diff) step_dir = merge->dir;
    const WorkerResponse response = handle_request(state, std::move(*request), done);
    if (outcome = write_msg(*frames, response); !outcome) break;
  }
  ::close(*frames);
  // Ended without Shutdown: the parent is gone or gave up on us, and a killed parent leaves its
  // step directory (in memory, under /dev/shm) to whoever wrote into it.
  if (!outcome) remove_abandoned_step_dir(step_dir);
  return outcome;
}

}  // namespace zelkor::mp
