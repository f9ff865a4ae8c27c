// The life of a worker process: requests read from standard input, one response each written
// to standard output, until Shutdown or a failed read, decode or write. Tested by worker_test.cpp
// and, in a real worker process, by tests/python/test_worker.py.
#pragma once

#include <optional>

#include "core/error.hpp"
#include "multiproc/worker_state.hpp"

namespace zelkor::mp {

// The response to one request; `state` is created by Init and replaced by the next one. Sets
// `done` after Shutdown.
WorkerResponse handle_request(std::optional<WorkerState>& state, WorkerRequest&& request, bool& done);

// Serves requests on standard input and output. Frames go to a private duplicate of the original
// standard output, and descriptor 1 is pointed at standard error for the rest of the process, so
// that nothing else printed can break the frame stream. Success after answering Shutdown, else
// the first read, decode or write error.
Result<void> worker_loop();

}  // namespace zelkor::mp
