// A parallel reduce whose partial results are moved, never copied. The scheduler's functional
// reduce hands its accumulator to the piece function and to the join by const reference, so a
// map accumulator is copied whole at every piece and every join; with large maps that costs more
// than the reduce itself. Tested by pool_test.cpp.
#pragma once

#include <atomic>
#include <exception>
#include <utility>

#include <tbb/parallel_reduce.h>
#include <tbb/task_group.h>

namespace zelkor {

// Reduces `range` on the calling thread's pool into a Value that starts default-constructed:
// fold(piece, value) adds one piece of the range into a partial result in place;
// join(left, std::move(right)) adds a neighbouring partial result (to the right) into `left`.
// Value needs only to be default-constructible and movable. An exception of either propagates.
template <typename Value, typename Range, typename Fold, typename Join>
Value reduce_moving(const Range& range, const Fold& fold, const Join& join) {
  // The scheduler passes an exception of a piece on to the caller, but one thrown by a join
  // leaves the caller waiting for ever: the join's exception is kept, the reduce cancelled, and
  // the exception thrown once the reduce has ended.
  struct Shared {
    Shared(const Fold& f, const Join& j) : fold(f), join(j) {}
    const Fold& fold;
    const Join& join;
    tbb::task_group_context context;
    std::atomic<bool> failed{false};
    std::exception_ptr join_failure;
  };
  struct Body {
    Shared* shared_;
    Value value{};
    explicit Body(Shared& shared) : shared_(&shared) {}
    Body(Body& other, tbb::split) : shared_(other.shared_) {}
    void operator()(const Range& piece) { shared_->fold(piece, value); }
    void join(Body& right) {
      try {
        shared_->join(value, std::move(right.value));
      } catch (...) {
        if (!shared_->failed.exchange(true)) shared_->join_failure = std::current_exception();
        shared_->context.cancel_group_execution();
      }
    }
  };
  Shared shared(fold, join);
  Body body(shared);
  tbb::parallel_reduce(range, body, shared.context);
  if (shared.join_failure) std::rethrow_exception(shared.join_failure);
  return std::move(body.value);
}

}  // namespace zelkor
