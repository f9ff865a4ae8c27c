// The worker merge pass. The first merge moves the worker's entries into an index of where each
// adjacent pair occurs; every step then runs the core's merge step over it, so it touches only
// the entries that hold the key: each is rewritten in place (greedy, left to right), and with
// use_diff the windows each rewrite destroys ("old") and creates ("new") are summed per run of
// entries, weighted by the entry's count, and added to per-bucket records (one lock per bucket,
// taken once per run and bucket), written as one file per bucket at the end of the step. Entries
// that became equal are merged.
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>

#include <absl/container/flat_hash_map.h>
#include <fmt/format.h>

#include "core/ceil_div.hpp"
#include "core/log.hpp"
#include "core/merge_step.hpp"
#include "core/stats.hpp"
#include "core/table.hpp"
#include "multiproc/bucket_files.hpp"
#include "multiproc/private_dir.hpp"
#include "multiproc/worker_state.hpp"

namespace zelkor::mp {
namespace {

// The bucket files of one kind (old or new) for one step.
class BucketSet {
 public:
  BucketSet(const std::string& dir, const char* kind, uint64_t buckets)
      : dir_(dir), kind_(kind), buckets_(buckets), slots_(new Slot[buckets]) {}

  // Appends `stats` to the files of their buckets, one lock per bucket touched.
  void append(const StatsMap& stats, const SeededHash& hasher) {
    Table<absl::flat_hash_map<uint64_t, std::vector<const StatsMap::value_type*>>> groups;
    for (const auto& record : stats) groups[hasher(record.first) & (buckets_ - 1)].push_back(&record);
    for (const auto& [bucket, records] : groups) {
      Slot& slot = slots_[bucket];
      std::lock_guard lock(slot.mutex);
      for (const auto* record : records) slot.records.add(record->first, record->second);
    }
  }

  // Writes every bucket file that received records and sets its bit; the number of files.
  uint64_t finish(std::vector<uint8_t>& bits) {
    uint64_t files = 0;
    for (uint64_t b = 0; b < buckets_; ++b) {
      if (slots_[b].records.empty()) continue;
      slots_[b].records.write_file(path(b));
      bits[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
      ++files;
    }
    return files;
  }

 private:
  struct Slot {
    std::mutex mutex;
    BucketRecords records;
  };
  std::string path(uint64_t bucket) const { return bucket_file_path(dir_, kind_, bucket); }

  const std::string& dir_;
  const char* kind_;
  const uint64_t buckets_;
  std::unique_ptr<Slot[]> slots_;
};

// The merge step's sink with use_diff: each run's lost and gained windows, weighted, summed into
// an old and a new map (counts clamped per entry, sums wrapping) and appended to the files.
class BucketSink : public ChangeSink {
 public:
  BucketSink(const std::string& dir, uint64_t buckets)
      : old_files_(dir, "old", buckets), new_files_(dir, "new", buckets) {}

  void take(const ChangeBatch& batch) override {
    batch.for_each_task(batch.runs.size(), [&](size_t r) {
      StatsMap old_stats, new_stats;
      batch.runs[r].for_each_change([&](const WindowChange& change) {
        Stat& sum = stat_slot(change.add ? new_stats : old_stats, change.ids());
        const Stat unweighted = change.unweighted();
        sum.freq += detail::weighted_freq(change.mult, unweighted.freq);
        sum.score += detail::weighted_score(change.mult, unweighted.score);
      });
      old_files_.append(old_stats, hasher_);
      new_files_.append(new_stats, hasher_);
    });
  }

  // Finalises the files and writes the manifest; the number of files.
  uint64_t finish_files(const std::string& dir, uint64_t buckets) {
    std::vector<uint8_t> old_bits(ceil_div(buckets, 8)), new_bits(old_bits.size());
    const uint64_t files = old_files_.finish(old_bits) + new_files_.finish(new_bits);
    write_diff_manifest(dir, buckets, old_bits, new_bits);
    return files;
  }

 private:
  SeededHash hasher_;  // a fresh seed per step: bucket numbers mean nothing across steps
  BucketSet old_files_, new_files_;
};

bool valid_bucket_count(uint64_t buckets) {
  return buckets != 0 && (buckets & (buckets - 1)) == 0 && buckets <= (uint64_t{1} << 32);
}

}  // namespace

WorkerResponse WorkerState::apply_merge(const ApplyMerge& request) {
  if (request.use_diff && !valid_bucket_count(request.buckets)) {
    return ErrorReply{fmt::format("invalid bucket count {}: a power of two up to 2^32 is needed",
                                  request.buckets)};
  }
  const auto start = std::chrono::steady_clock::now();
  const size_t before = entry_count();
  const uint64_t threads = worker_threads();
  log_at(3, "worker", "apply start entries={} parts_len={} threads={} chunk={}", before,
         request.parts.size(), threads, worker_chunk(before, threads));
  ThreadPool& pool = worker_pool();
  if (!index_) index_ = std::make_unique<EntryIndex>(std::move(entries_));
  std::optional<BucketSink> sink;
  if (request.use_diff) {
    make_private_dirs(request.dir);  // a missing directory shows up as "create bucket file"
    sink.emplace(request.dir, request.buckets);
  }
  merge_step(request.parts, request.new_id, MergeStepConfig{n_values_, &pool}, *index_,
             sink ? &*sink : nullptr);
  const uint64_t diff_files = sink ? sink->finish_files(request.dir, request.buckets) : 0;
  log_at(3, "worker", "apply done entries={}\u2192{} elapsed={:.2f}s (diff_files={})", before,
         entry_count(), elapsed_seconds(start), diff_files);
  return ApplyResult{entry_count()};
}

}  // namespace zelkor::mp
