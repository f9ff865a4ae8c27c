// A parallel reduce whose partial results are moved, never copied. The scheduler's functional
// reduce hands its accumulator to the piece function and to the join by const reference, so a
// map accumulator is copied whole at every piece and every join; with large maps that costs more
// than the reduce itself. Tested by pool_test.cpp.
#pragma once

#include <utility>

#include <tbb/parallel_reduce.h>

namespace zelkor {

// Reduces `range` on the calling thread's pool into a Value that starts default-constructed:
// fold(piece, value) adds one piece of the range into a partial result in place;
// join(left, std::move(right)) adds a neighbouring partial result (to the right) into `left`.
// Value needs only to be default-constructible and movable.
template <typename Value, typename Range, typename Fold, typename Join>
Value reduce_moving(const Range& range, const Fold& fold, const Join& join) {
  struct Body {
    const Fold* fold_;
    const Join* join_;
    Value value{};
    Body(const Fold& fold, const Join& join) : fold_(&fold), join_(&join) {}
    Body(Body& other, tbb::split) : fold_(other.fold_), join_(other.join_) {}
    void operator()(const Range& piece) { (*fold_)(piece, value); }
    void join(Body& right) { (*join_)(value, std::move(right.value)); }
  };
  Body body(fold, join);
  tbb::parallel_reduce(range, body);
  return std::move(body.value);
}

}  // namespace zelkor
