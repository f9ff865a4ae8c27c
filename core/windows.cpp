// Window counting and listing.
#include "core/windows.hpp"

#include <algorithm>

namespace zelkor {

void list_windows(std::vector<Window>& out, IdSpan seq, std::span<const uint64_t> positions,
                  std::span<const uint64_t> n_values, uint64_t k) {
  out.clear();
  for (uint64_t n : n_values) {
    if (n == 0 || n > seq.size()) continue;
    // Positions ascend, so each window start is reached first from its leftmost position:
    // starting every range after the last one emitted lists each start once, in order.
    uint64_t next = 0;
    for (uint64_t p : positions) {
      const uint64_t lo = std::max(p >= n - 1 ? p - (n - 1) : 0, next);
      const uint64_t hi = std::min<uint64_t>(p + k - 1, seq.size() - n);
      for (uint64_t s = lo; s <= hi; ++s) {
        out.push_back(Window{static_cast<uint32_t>(s), static_cast<uint32_t>(n), 1,
                             prehash_ids(seq.subspan(s, n))});
      }
      next = std::max(next, hi + 1);
    }
  }
  // Equal n-grams have equal hashes, so sorting by hash brings them together; a run of equal
  // hashes is merged by comparing the ids (a collision leaves two windows in one run).
  std::sort(out.begin(), out.end(), [](const Window& a, const Window& b) {
    return a.n != b.n ? a.n < b.n : a.prehash < b.prehash;
  });
  auto span_of = [&](const Window& w) { return seq.subspan(w.start, w.n); };
  size_t kept = 0;
  for (size_t i = 0; i < out.size();) {
    size_t j = i + 1;
    while (j < out.size() && out[j].n == out[i].n && out[j].prehash == out[i].prehash) ++j;
    const size_t run = kept;
    for (size_t x = i; x < j; ++x) {
      size_t y = run;
      while (y < kept && !IdsEq{}(span_of(out[y]), span_of(out[x]))) ++y;
      if (y < kept) {
        out[y].count += out[x].count;
      } else {
        out[kept++] = out[x];
      }
    }
    i = j;
  }
  out.resize(kept);
}

StatsMap window_stats(std::span<const Window> windows, IdSpan seq) {
  StatsMap map;
  map.reserve(windows.size());
  for (const Window& w : windows) {
    map.emplace(NgramKey(seq.begin() + w.start, seq.begin() + w.start + w.n),
                Stat{w.count, uint64_t{w.count} * (w.n - 1)});
  }
  return map;
}

}  // namespace zelkor
