// The worker merge pass. The entries are cut into chunks rewritten in parallel on the worker's
// pool: every greedy, non-overlapping occurrence of the key becomes the new id, and with use_diff
// the windows each rewrite destroys ("old") and creates ("new") are counted per sequence, weighted
// by its count, summed per chunk and appended to per-bucket files (one lock per bucket file, taken
// once per chunk and bucket). Equal rewritten sequences are merged by a map per chunk.
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include <absl/container/flat_hash_map.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <fmt/format.h>

#include "core/log.hpp"
#include "core/rewrite.hpp"
#include "core/stats.hpp"
#include "multiproc/bucket_files.hpp"
#include "multiproc/worker_state.hpp"

namespace zelkor::mp {
namespace {

using SeqMap = IdsMap<uint32_t>;

// Adds every (sequence, count) of `right` (consumed) into `left`, counts wrapping.
void add_sequences(SeqMap& left, SeqMap&& right) {
  if (right.size() > left.size()) std::swap(left, right);
  for (auto it = right.begin(); it != right.end();) {
    auto node = right.extract(it++);
    left[std::move(node.key())] += node.mapped();
  }
}

// The bucket files of one kind (old or new) for one step.
class BucketSet {
 public:
  BucketSet(const std::string& dir, const char* kind, uint64_t buckets)
      : dir_(dir), kind_(kind), buckets_(buckets), slots_(new Slot[buckets]) {}

  // Appends `stats` to the files of their buckets, one lock per bucket touched.
  void append(const StatsMap& stats, const SeededHash& hasher) {
    absl::flat_hash_map<uint64_t, std::vector<const StatsMap::value_type*>> groups;
    for (const auto& record : stats) groups[hasher(record.first) & (buckets_ - 1)].push_back(&record);
    for (const auto& [bucket, records] : groups) {
      Slot& slot = slots_[bucket];
      std::lock_guard lock(slot.mutex);
      if (!slot.writer) slot.writer.emplace(BucketWriter::create(path(bucket)));
      for (const auto* record : records) slot.writer->write_record(record->first, record->second);
    }
  }

  // Finalises every file and sets its bit; the number of files.
  uint64_t finish(std::vector<uint8_t>& bits) {
    uint64_t files = 0;
    for (uint64_t b = 0; b < buckets_; ++b) {
      if (!slots_[b].writer) continue;
      slots_[b].writer->finalize();
      bits[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
      ++files;
    }
    return files;
  }

 private:
  struct Slot {
    std::mutex mutex;
    std::optional<BucketWriter> writer;
  };
  std::string path(uint64_t bucket) const {
    return (std::filesystem::path(dir_) / fmt::format("{}_{}.bin", kind_, bucket)).string();
  }

  const std::string& dir_;
  const char* kind_;
  const uint64_t buckets_;
  std::unique_ptr<Slot[]> slots_;
};

// Rewrites `tokens` in place at its matches of `parts`.
void rewrite_in_place(TokenIds& tokens, IdSpan parts, uint32_t new_id, std::vector<uint64_t>& positions) {
  find_matches(tokens, parts, positions);
  if (positions.empty()) return;
  size_t w = 0, next = 0;
  for (size_t i = 0; i < tokens.size(); ++w) {
    if (next < positions.size() && positions[next] == i) {
      tokens[w] = new_id;
      i += parts.size();
      ++next;
    } else {
      tokens[w] = tokens[i++];
    }
  }
  tokens.resize(w);
}

struct Step {
  const ApplyMerge& request;
  const std::vector<uint64_t>& n_values;
  SeededHash hasher;  // a fresh seed per step: bucket numbers mean nothing across steps
  std::optional<BucketSet> old_files, new_files;
};

// One chunk: its sequences rewritten and counted into a map; with use_diff its old and new
// window statistics appended to the bucket files.
SeqMap apply_chunk(std::span<SeqEntry> chunk, Step& step) {
  const ApplyMerge& req = step.request;
  SeqMap sequences;
  StatsMap old_stats, new_stats;
  MergeBuffers buffers;
  for (SeqEntry& entry : chunk) {
    TokenIds tokens = std::move(entry.tokens);
    if (!req.use_diff) {
      rewrite_in_place(tokens, req.parts, req.new_id, buffers.positions);
    } else if (rewrite_sequence(tokens, req.parts, req.new_id, step.n_values, buffers)) {
      accumulate_stats(old_stats, window_stats(buffers.removed, tokens), entry.freq, true, false);
      accumulate_stats(new_stats, window_stats(buffers.added, buffers.rewritten), entry.freq, true,
                       false);
      tokens.assign(buffers.rewritten.begin(), buffers.rewritten.end());
    }
    sequences[std::move(tokens)] += entry.freq;
  }
  if (req.use_diff) {
    step.old_files->append(old_stats, step.hasher);
    step.new_files->append(new_stats, step.hasher);
  }
  return sequences;
}

}  // namespace

WorkerResponse worker_apply_merge(WorkerState& state, const ApplyMerge& request) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<SeqEntry> entries = std::move(state.entries);
  const uint64_t threads = WorkerState::worker_threads();
  const uint64_t chunk = WorkerState::worker_chunk(entries.size(), threads);
  log_at(3, "worker", "apply start entries={} parts_len={} threads={} chunk={}", entries.size(),
         request.parts.size(), threads, chunk);
  ThreadPool& pool = worker_pool();
  Step step{request, state.n_values, {}, {}, {}};
  if (request.use_diff) {
    make_private_dirs(request.dir);  // a missing directory shows up as "create bucket file"
    step.old_files.emplace(request.dir, "old", request.buckets);
    step.new_files.emplace(request.dir, "new", request.buckets);
  }
  const uint64_t chunks = (entries.size() + chunk - 1) / chunk;
  SeqMap sequences = pool.run([&] {
    return tbb::parallel_reduce(
        tbb::blocked_range<uint64_t>(0, chunks, 1), SeqMap{},
        [&](const tbb::blocked_range<uint64_t>& range, SeqMap acc) {
          for (uint64_t c = range.begin(); c != range.end(); ++c) {
            const uint64_t end = std::min<uint64_t>(entries.size(), (c + 1) * chunk);
            add_sequences(acc, apply_chunk(std::span(entries).subspan(c * chunk, end - c * chunk), step));
          }
          return acc;
        },
        [](SeqMap left, SeqMap right) {
          add_sequences(left, std::move(right));
          return left;
        });
  });
  uint64_t diff_files = 0;
  if (request.use_diff) {
    std::vector<uint8_t> old_bits((request.buckets + 7) / 8), new_bits(old_bits.size());
    diff_files = step.old_files->finish(old_bits) + step.new_files->finish(new_bits);
    write_diff_manifest(request.dir, request.buckets, old_bits, new_bits);
  }
  state.entries.reserve(sequences.size());
  for (auto it = sequences.begin(); it != sequences.end();) {
    auto node = sequences.extract(it++);
    state.entries.push_back(SeqEntry{std::move(node.key()), node.mapped()});
  }
  log_at(3, "worker", "apply done entries={}\u2192{} elapsed={:.2f}s (diff_files={})", entries.size(),
         state.entries.size(), elapsed_seconds(start), diff_files);
  return ApplyResult{state.entries.size()};
}

}  // namespace zelkor::mp
