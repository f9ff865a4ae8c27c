// Multi-process corpus preprocessing. The fill runs on a pool of W threads; each takes a
// contiguous run of chunks into bucket maps of its own and blocks in one worker exchange at a
// time, so at most W workers run at once. The runs' maps are combined bucket by bucket; as a
// key's bucket follows from its hash, the combined maps hold disjoint keys and together stand for
// the corpus counts. The symbols found by the spill are numbered in byte order.
#include "multiproc/preprocess_mp.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <system_error>
#include <thread>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include "core/ceil_div.hpp"
#include "core/log.hpp"
#include "core/first_error.hpp"
#include "core/pool.hpp"
#include "core/unicode.hpp"
#include "multiproc/bucket_count.hpp"
#include "multiproc/countdown.hpp"
#include "multiproc/token_spill.hpp"

namespace zelkor::mp {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* TAG = "build_vocab_mp";

// Every chunk counted into one vector of bucket maps; the first error of any chunk ends it, and
// so does a stop request of the calling thread's interrupt hook.
Result<BucketMaps> fill_bucket_maps(std::span<const std::string> lines, const PreprocessPlan& plan,
                                    const WorkerCommand& command, const SeededHash& bucket_hash) {
  ThreadPool pool(plan.workers, "build rayon pool for preprocess map");
  const uint64_t runs = std::min(plan.workers, plan.chunks);
  std::vector<BucketMaps> run_maps(runs);
  FirstError first;
  InFlightWorkers in_flight;
  auto chunk = [&](uint64_t k) {
    const size_t begin = k * plan.chunk_size;
    return lines.subspan(begin, std::min<size_t>(plan.chunk_size, lines.size() - begin));
  };
  auto run = [&](uint64_t r) {
    run_maps[r].resize(plan.buckets);
    for (uint64_t k = r * plan.chunks / runs; k < (r + 1) * plan.chunks / runs; ++k) {
      if (first.failed()) return;  // chunks not yet begun are skipped
      auto counted = preprocess_chunk_in_worker(chunk(k), command, run_maps[r], bucket_hash, in_flight);
      if (!counted) return first.record(std::move(counted.error()));
    }
  };
  // The chunks run on the pool from a thread of their own: this one drives the call and waits
  // asking its interrupt hook, and once that says stop no chunk begins and the workers of those
  // in flight are killed, which ends their exchanges.
  Countdown filled(1);
  std::exception_ptr thrown;
  auto fill = [&] {
    try {
      pool.run([&] {
        tbb::parallel_for(tbb::blocked_range<uint64_t>(0, runs, 1),
                          [&](const tbb::blocked_range<uint64_t>& range) {
                            for (uint64_t r = range.begin(); r != range.end(); ++r) run(r);
                          },
                          tbb::simple_partitioner());
      });
    } catch (...) {
      thrown = std::current_exception();
    }
    filled.count_down();
  };
  {
    std::jthread filler;
    try {
      filler = std::jthread(fill);
    } catch (const std::system_error& e) {
      throw Fault("failed to spawn thread", e.what());
    }
    if (auto waited = filled.wait(); !waited) {
      first.record(waited.error());
      in_flight.stop();
      return std::unexpected(std::move(waited.error()));  // once the filler has joined
    }
  }
  if (thrown) std::rethrow_exception(thrown);
  if (first.error()) return std::unexpected(std::move(*first.error()));
  return pool.run([&] {
    BucketMaps merged(plan.buckets);
    for (BucketMaps& maps : run_maps) merged = merge_bucket_count_maps(std::move(merged), std::move(maps));
    return merged;
  });
}

uint64_t total_keys(const BucketMaps& maps) {
  uint64_t total = 0;
  for (const SeqCounts& map : maps) total += map.size();
  return total;
}

// The vocabulary of `symbols` (distinct, sorted): id = position; per-id tables rebuilt in the
// order char_lens, flags, end_counts.
Interner byte_order_interner(std::vector<std::string>&& symbols) {
  Interner interner;
  interner.id_to_token = std::move(symbols);
  interner.token_to_id.reserve(interner.id_to_token.size());
  for (size_t id = 0; id < interner.id_to_token.size(); ++id) {
    interner.token_to_id.emplace(std::string(interner.id_to_token[id]), static_cast<uint32_t>(id));
  }
  interner.rebuild_char_lens();
  interner.rebuild_flags();
  interner.rebuild_end_counts();
  return interner;
}

// One entry per key of `maps` (consumed), map after map in each one's iteration order, ids looked
// up in `interner`.
std::vector<SeqEntry> map_entries(BucketMaps&& maps, const Interner& interner) {
  constexpr uint32_t ABSENT = UINT32_MAX;
  std::array<uint32_t, 128> ascii;
  ascii.fill(ABSENT);
  for (size_t c = 0; c < ascii.size(); ++c) {
    const char byte = static_cast<char>(c);
    if (auto it = interner.token_to_id.find(std::string_view(&byte, 1)); it != interner.token_to_id.end()) {
      ascii[c] = it->second;
    }
  }
  auto id_of = [&](std::string_view symbol) {
    const auto lead = static_cast<unsigned char>(symbol[0]);
    uint32_t id = ABSENT;
    if (lead < 0x80) {
      id = ascii[lead];
    } else if (auto it = interner.token_to_id.find(symbol); it != interner.token_to_id.end()) {
      id = it->second;
    }
    if (id == ABSENT) throw Fault("token id");  // every symbol was spilled and read back
    return id;
  };
  std::vector<size_t> offsets(maps.size() + 1, 0);
  for (size_t b = 0; b < maps.size(); ++b) offsets[b + 1] = offsets[b] + maps[b].size();
  std::vector<SeqEntry> entries(offsets.back());
  tbb::parallel_for(size_t{0}, maps.size(), [&](size_t b) {
    size_t e = offsets[b];
    for (const auto& [key, count] : maps[b]) {
      TokenIds& tokens = entries[e].tokens;
      tokens.reserve(key.size());
      for (size_t i = 0; i < key.size();) {
        const size_t len = std::min(utf8_len(static_cast<unsigned char>(key[i])), key.size() - i);
        tokens.push_back(id_of(std::string_view(key).substr(i, len)));
        i += len;
      }
      entries[e++].freq = count;
    }
    SeqCounts().swap(maps[b]);
  });
  return entries;
}

}  // namespace

PreprocessPlan preprocess_plan(uint64_t lines, uint64_t num_workers) {
  PreprocessPlan plan{};
  plan.workers = counting_pool_threads(num_workers);
  plan.chunk_size = std::clamp<uint64_t>(ceil_div(lines, plan.workers), 4000, 20000);
  plan.chunks = ceil_div(lines, plan.chunk_size);
  plan.buckets = preprocess_bucket_count(plan.workers);
  return plan;
}

Result<void> preprocess_chunk_in_worker(std::span<const std::string> chunk, const WorkerCommand& command,
                                        BucketMaps& maps, const SeededHash& bucket_hash,
                                        InFlightWorkers& in_flight) {
  constexpr const char* tag = "worker:preprocess";
  auto child = ChildProcess::spawn(command);
  if (!child) return std::unexpected(child.error());
  const InFlightWorkers::Entry held(in_flight, child->pid());
  if (!held.admitted()) return std::unexpected(Error::interrupted());
  {
    const std::string frame = encode_frame(Preprocess{std::vector<std::string>(chunk.begin(), chunk.end())});
    if (auto sent = child->write(frame); !sent) return sent;
  }
  auto reply = child->read(tag);
  if (!reply) return std::unexpected(reply.error());
  auto* counted = std::get_if<PreStats>(&*reply);
  if (counted == nullptr) return fail("unexpected preprocess reply: " + rendered_reply(*reply));
  (void)child->write(encode_frame(Shutdown{}));  // its acknowledgement is not read
  child->reap(true);
  SeqCounts counts;
  for (auto& [key, count] : counted->stats) counts.insert_or_assign(std::move(key), count);
  counted->stats = {};
  const uint64_t mask = maps.size() - 1;
  for (auto it = counts.begin(); it != counts.end();) {
    auto node = counts.extract(it++);
    SeqCounts& bucket = maps[bucket_hash(node.key()) & mask];
    bucket.try_emplace(std::move(node.key()), 0u).first->second += node.mapped();
  }
  return {};
}

BucketMaps merge_bucket_count_maps(BucketMaps&& left, BucketMaps&& right) {
  tbb::parallel_for(tbb::blocked_range<size_t>(0, std::min(left.size(), right.size())),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t i = range.begin(); i != range.end(); ++i) {
                        left[i] = merge_sequence_counts(std::move(left[i]), std::move(right[i]));
                      }
                    });
  right = {};
  return std::move(left);
}

Result<void> build_vocab_multiprocess(Zelkor& trainer, std::span<const std::string> lines,
                                      const WorkerCommand& command) {
  const auto t0 = Clock::now();
  const PreprocessPlan plan = preprocess_plan(lines.size(), trainer.config.num_workers);
  log_at(2, TAG, "start corpus_lines={} workers={} chunk_size={}", lines.size(), plan.workers, plan.chunk_size);
  const SeededHash bucket_hash;  // one seed for every chunk of the call

  auto step = Clock::now();
  auto maps = fill_bucket_maps(lines, plan, command, bucket_hash);
  if (!maps) return std::unexpected(std::move(maps.error()));
  log_at(2, TAG, "bucket fill done partial_maps={} buckets={} elapsed={:.2f}s", plan.chunks, plan.buckets,
         elapsed_seconds(step));

  // The bucket maps hold disjoint keys (a key's bucket follows from its hash alone), so they stand
  // for the reduced map as they are: the spill and the mapping walk them bucket after bucket.
  step = Clock::now();
  const uint64_t unique_seqs = total_keys(*maps);
  log_at(2, TAG, "bucket reduce done unique_seqs={} elapsed={:.2f}s", unique_seqs, elapsed_seconds(step));

  auto symbols = distinct_symbols(*maps, t0);
  if (!symbols) return std::unexpected(std::move(symbols.error()));

  step = Clock::now();
  tbb::parallel_sort(symbols->begin(), symbols->end());  // byte order: std::string compares unsigned
  log_at(2, TAG, "token sort done token_set={} elapsed={:.2f}s", symbols->size(), elapsed_seconds(step));

  step = Clock::now();
  Interner interner = byte_order_interner(std::move(*symbols));
  log_at(2, TAG, "token id assign done token_set={} elapsed={:.2f}s elapsed_total={:.2f}s", interner.size(),
         elapsed_seconds(step), elapsed_seconds(t0));

  step = Clock::now();
  std::vector<SeqEntry> entries = map_entries(std::move(*maps), interner);
  log_at(2, TAG, "entries mapped entries={} elapsed={:.2f}s elapsed_total={:.2f}s", entries.size(),
         elapsed_seconds(step), elapsed_seconds(t0));
  trainer.interner = std::move(interner);
  trainer.entries = std::move(entries);
  return {};
}

}  // namespace zelkor::mp
