// Merge application. One step runs in three passes:
//  1. rewrite, in parallel: each entry is matched greedily left to right against the key; a
//     matched entry gets its new token vector and two small change maps, counted only over the
//     windows that overlap a match (old windows lost, new windows gained);
//  2. fold, on the calling thread, in entry order: each entry's lost windows are subtracted from
//     the statistics and its gained windows added, weighted by the entry's count (heap mode
//     offers the keys before the subtraction and after the addition);
//  3. regroup, in parallel: entries are routed to shards by first token and equal token vectors
//     within a shard are merged, so no two entries are equal afterwards.
#include "core/merge.hpp"

#include <algorithm>
#include <memory>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "core/pool.hpp"
#include "core/stats.hpp"
#include "core/trainer.hpp"

namespace zelkor {
namespace {

void sort_unique(std::vector<uint64_t>& values) {
  if (values.size() < 21) {
    // Insertion sort: these lists are short and nearly sorted.
    for (size_t i = 1; i < values.size(); ++i) {
      uint64_t v = values[i];
      size_t j = i;
      for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
      values[j] = v;
    }
  } else {
    std::sort(values.begin(), values.end());
  }
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

// Counts each window (n, start) of `starts` over `seq` into `map`: freq + 1, score + n - 1.
void count_windows(StatsMap& map, std::span<const uint32_t> seq, const StartsMap& starts) {
  size_t total = 0;
  for (const auto& [n, list] : starts) total += list.size();
  map.reserve(total);
  for (const auto& [n, list] : starts) {
    for (uint64_t s : list) {
      Stat& stat = stat_slot(map, seq.subspan(s, n));
      stat.freq += 1;
      stat.score += n - 1;
    }
  }
}

// Entries whose first token falls in the same shard meet in one map.
size_t regroup_shard_count(uint64_t num_workers) {
  return std::max<uint64_t>(2 * std::max<uint64_t>(num_workers, 1), 8);
}

}  // namespace

StartsMap collect_starts(uint64_t seq_len, std::span<const uint64_t> positions,
                         std::span<const uint64_t> n_values, uint64_t k) {
  StartsMap starts;
  if (positions.empty()) return starts;
  for (uint64_t n : n_values) starts.emplace_back(n, std::vector<uint64_t>{});
  for (uint64_t p : positions) {
    for (auto& [n, list] : starts) {
      uint64_t lo = p >= n - 1 ? p - (n - 1) : 0;
      uint64_t hi = p + k - 1;
      for (uint64_t s = lo; s <= hi; ++s) {
        if (s + n <= seq_len) list.push_back(s);
      }
    }
  }
  for (auto& [n, list] : starts) sort_unique(list);
  return starts;
}

bool rewrite_sequence(std::span<const uint32_t> tokens, std::span<const uint32_t> parts,
                      uint32_t new_id, std::span<const uint64_t> n_values, MergeBuffers& buffers) {
  buffers.positions.clear();
  buffers.new_positions.clear();
  buffers.rewritten.clear();
  buffers.removed.clear();
  buffers.added.clear();
  const size_t len = tokens.size(), k = parts.size();
  if (len < k || k == 0) return false;
  for (size_t i = 0; i + k <= len;) {
    if (std::equal(parts.begin(), parts.end(), tokens.begin() + static_cast<ptrdiff_t>(i))) {
      buffers.positions.push_back(i);
      i += k;
    } else {
      ++i;
    }
  }
  if (buffers.positions.empty()) return false;

  buffers.rewritten.reserve(len - buffers.positions.size() * (k - 1));
  size_t next_match = 0;
  for (size_t i = 0; i < len;) {
    if (next_match < buffers.positions.size() && buffers.positions[next_match] == i) {
      buffers.new_positions.push_back(buffers.rewritten.size());
      buffers.rewritten.push_back(new_id);
      ++next_match;
      i += k;
    } else {
      buffers.rewritten.push_back(tokens[i++]);
    }
  }
  count_windows(buffers.removed, tokens, collect_starts(len, buffers.positions, n_values, k));
  count_windows(buffers.added, buffers.rewritten,
                collect_starts(buffers.rewritten.size(), buffers.new_positions, n_values, 1));
  return true;
}

EntryDelta compute_entry_deltas(SeqEntry&& entry, std::span<const uint32_t> parts, uint32_t new_id,
                                std::span<const uint64_t> n_values, MergeBuffers& buffers) {
  EntryDelta delta;
  delta.freq = entry.freq;
  if (!rewrite_sequence(entry.tokens, parts, new_id, n_values, buffers)) {
    delta.tokens = std::move(entry.tokens);
    return delta;
  }
  delta.tokens.assign(buffers.rewritten.begin(), buffers.rewritten.end());
  delta.removed = std::exchange(buffers.removed, StatsMap{});
  delta.added = std::exchange(buffers.added, StatsMap{});
  entry.tokens = TokenIds{};
  return delta;
}

void Zelkor::apply_merge(IdSpan parts, uint32_t new_id) {
  std::vector<SeqEntry> work = std::move(entries);
  entries = {};
  const std::vector<uint64_t> n_values = config.n_values;

  // 1. Rewrite. Unmatched entries keep their vectors and get no change maps.
  struct Change {
    StatsMap removed;
    StatsMap added;
  };
  std::vector<std::unique_ptr<Change>> changes(work.size());
  run_with_workers(config.num_workers, "build pool", [&] {
    tbb::enumerable_thread_specific<MergeBuffers> scratch;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, work.size()),
                      [&](const tbb::blocked_range<size_t>& range) {
                        MergeBuffers& buffers = scratch.local();
                        for (size_t e = range.begin(); e != range.end(); ++e) {
                          SeqEntry& entry = work[e];
                          if (!rewrite_sequence(entry.tokens, parts, new_id, n_values, buffers)) {
                            continue;
                          }
                          entry.tokens.assign(buffers.rewritten.begin(), buffers.rewritten.end());
                          changes[e] = std::make_unique<Change>(
                              Change{std::exchange(buffers.removed, StatsMap{}),
                                     std::exchange(buffers.added, StatsMap{})});
                        }
                      });
  });

  // 2. Fold, in entry order (the saturating rules make the order matter).
  if (!config.recompute_each_step) {
    for (size_t e = 0; e < work.size(); ++e) {
      if (!changes[e]) continue;
      Change& change = *changes[e];
      const uint32_t mult = work[e].freq;
      if (!change.removed.empty()) {
        if (config.use_heap) {
          for (const auto& [key, stat] : change.removed) push_candidate(key);
        }
        accumulate_stats_owned(stats, std::move(change.removed), mult, false);
      }
      if (!change.added.empty()) {
        StatsMap added = std::move(change.added);
        std::vector<NgramKey> offered;
        if (config.use_heap) {
          offered.reserve(added.size());
          for (const auto& [key, stat] : added) offered.push_back(key);
        }
        accumulate_stats_owned(stats, std::move(added), mult, true);
        for (const NgramKey& key : offered) push_candidate(key);
      }
      changes[e].reset();
    }
  }
  decltype(changes)().swap(changes);

  // 3. Regroup: route by first token, merge equal vectors within each shard, then flatten the
  // shards in index order.
  const size_t shard_count = regroup_shard_count(config.num_workers);
  std::vector<std::vector<size_t>> members(shard_count);
  for (size_t e = 0; e < work.size(); ++e) {
    const TokenIds& tokens = work[e].tokens;
    members[tokens.empty() ? 0 : tokens[0] % shard_count].push_back(e);
  }
  std::vector<IdsMap<uint32_t>> shards(shard_count);
  tbb::parallel_for(size_t{0}, shard_count, [&](size_t s) {
    IdsMap<uint32_t>& map = shards[s];
    map.reserve(members[s].size());
    for (size_t e : members[s]) {
      auto [it, inserted] = map.try_emplace(std::move(work[e].tokens), 0u);
      it->second += work[e].freq;
    }
  });
  decltype(work)().swap(work);
  std::vector<size_t> offsets(shard_count + 1, 0);
  for (size_t s = 0; s < shard_count; ++s) offsets[s + 1] = offsets[s] + shards[s].size();
  entries.resize(offsets.back());
  tbb::parallel_for(size_t{0}, shard_count, [&](size_t s) {
    size_t out = offsets[s];
    IdsMap<uint32_t>& map = shards[s];
    for (auto it = map.begin(); it != map.end();) {
      auto node = map.extract(it++);
      entries[out++] = SeqEntry{std::move(node.key()), node.mapped()};
    }
  });
}

}  // namespace zelkor
