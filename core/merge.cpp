// Merge application. One step runs in three passes:
//  1. rewrite, in parallel: each entry is matched greedily left to right against the key; a
//     matched entry gets its new token vector and two small change maps, counted only over the
//     windows that overlap a match (old windows lost, new windows gained);
//  2. fold, on the calling thread, in entry order: each entry's lost windows are subtracted from
//     the statistics and its gained windows added, weighted by the entry's count (heap mode
//     then offers every touched key to the candidate heap);
//  3. regroup, in parallel: entries are routed to shards by first token and equal token vectors
//     within a shard are merged, so no two entries are equal afterwards. A merged entry keeps
//     the place of its first occurrence, so the order of entries (and with it the order of the
//     next step's fold) does not depend on hash seeds or on how the work was split; it depends
//     on num_workers only through the shard count (8 up to 4 workers).
#include "core/merge.hpp"

#include <algorithm>
#include <array>
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

// Index of a shard's output entries by token vector, hashing and comparing the entries in place.
struct EntryIndexHash {
  using is_transparent = void;
  const std::vector<SeqEntry>* list;
  SeededHash hash;
  size_t operator()(uint32_t i) const { return hash((*list)[i].tokens); }
  size_t operator()(IdSpan ids) const { return hash(ids); }
};
struct EntryIndexEq {
  using is_transparent = void;
  const std::vector<SeqEntry>* list;
  IdsEq eq;
  bool operator()(uint32_t a, uint32_t b) const { return a == b; }
  bool operator()(IdSpan ids, uint32_t i) const { return eq(ids, (*list)[i].tokens); }
  bool operator()(uint32_t i, IdSpan ids) const { return eq((*list)[i].tokens, ids); }
};

// The entries `members` of `work`, equal token vectors merged (counts wrap at 2^32), each at
// the place of its first occurrence; the result does not depend on hash seeds.
std::vector<SeqEntry> merge_equal_entries(std::vector<SeqEntry>& work,
                                          const std::vector<size_t>& members) {
  std::vector<SeqEntry> out;
  out.reserve(members.size());
  absl::flat_hash_set<uint32_t, EntryIndexHash, EntryIndexEq> index(
      members.size(), EntryIndexHash{&out, SeededHash{}}, EntryIndexEq{&out, IdsEq{}});
  for (size_t e : members) {
    SeqEntry& entry = work[e];
    auto it = index.find(IdSpan(entry.tokens));
    if (it != index.end()) {
      out[*it].freq += entry.freq;
      continue;
    }
    out.push_back(std::move(entry));
    index.insert(static_cast<uint32_t>(out.size() - 1));
  }
  return out;
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
  const uint32_t first = parts[0];
  for (size_t i = 0; i + k <= len;) {
    // Test the first id before the rest: most positions fail there.
    bool match = tokens[i] == first;
    for (size_t j = 1; match && j < k; ++j) match = tokens[i + j] == parts[j];
    if (match) {
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

  // 2. Fold, in entry order (the saturating rules make the order matter for a key). Keys of
  // different shards never interact, so the changes are first sorted into per-shard lists
  // (blocks of entries in parallel, entry order kept inside each list), then every shard folds
  // its lists in block order on its own task. In heap mode every touched key is then offered
  // once with its final statistics: a key's score can only have risen through an addition, so
  // each key still has an entry at or above its current score, which is all that
  // pop_best_from_heap needs.
  if (!config.recompute_each_step) {
    struct Item {
      const NgramKey* key;
      Stat change;
      uint32_t mult;
      bool add;
    };
    using ShardLists = std::array<std::vector<Item>, GlobalStats::SHARDS>;
    const size_t block_count = std::clamp<size_t>(work.size() / 512, 1, 256);
    const size_t block_len = (work.size() + block_count - 1) / block_count;
    std::vector<ShardLists> blocks(block_count);
    tbb::parallel_for(size_t{0}, block_count, [&](size_t b) {
      const size_t end = std::min(work.size(), (b + 1) * block_len);
      for (size_t e = b * block_len; e < end; ++e) {
        if (!changes[e]) continue;
        for (bool add : {false, true}) {
          for (const auto& [key, stat] : add ? changes[e]->added : changes[e]->removed) {
            blocks[b][stats.shard_index(key)].push_back(Item{&key, stat, work[e].freq, add});
          }
        }
      }
    });
    tbb::parallel_for(size_t{0}, GlobalStats::SHARDS, [&](size_t s) {
      StatsMap& shard = stats.shard(s);
      for (const ShardLists& lists : blocks) {
        for (const Item& item : lists[s]) fold_owned_key(shard, *item.key, item.change, item.mult, item.add);
      }
    });
    if (config.use_heap || track_heap) {
      const uint64_t vocab_size = vocab_size_with_specials(interner);
      absl::flat_hash_set<NgramKey, SeededHash, IdsEq> touched;
      for (const ShardLists& lists : blocks) {
        for (const auto& list : lists) {
          for (const Item& item : list) {
            if (touched.insert(*item.key).second) push_candidate(*item.key, vocab_size);
          }
        }
      }
    }
  }
  decltype(changes)().swap(changes);

  // 3. Regroup: route by first token, merge equal vectors within each shard, then concatenate
  // the shards in index order.
  const size_t shard_count = regroup_shard_count(config.num_workers);
  std::vector<std::vector<size_t>> members(shard_count);
  for (size_t e = 0; e < work.size(); ++e) {
    const TokenIds& tokens = work[e].tokens;
    members[tokens.empty() ? 0 : tokens[0] % shard_count].push_back(e);
  }
  std::vector<std::vector<SeqEntry>> shards(shard_count);
  tbb::parallel_for(size_t{0}, shard_count,
                    [&](size_t s) { shards[s] = merge_equal_entries(work, members[s]); });
  decltype(work)().swap(work);
  std::vector<size_t> offsets(shard_count + 1, 0);
  for (size_t s = 0; s < shard_count; ++s) offsets[s + 1] = offsets[s] + shards[s].size();
  entries.resize(offsets.back());
  tbb::parallel_for(size_t{0}, shard_count, [&](size_t s) {
    std::move(shards[s].begin(), shards[s].end(), entries.begin() + static_cast<ptrdiff_t>(offsets[s]));
  });
}

}  // namespace zelkor
