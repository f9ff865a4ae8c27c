// Reading a step's bucket files and manifests.
#include "multiproc/bucket_readers.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "core/env.hpp"
#include "core/file_io.hpp"
#include "core/first_error.hpp"
#include "core/reduce.hpp"
#include "core/stats.hpp"
#include "multiproc/bucket_files.hpp"
#include "multiproc/le_bytes.hpp"

namespace zelkor::mp {
namespace {

bool bit_set(const std::vector<uint8_t>& bits, uint64_t b) {
  return b / 8 < bits.size() && (bits[b / 8] >> (b % 8)) & 1;
}

// Reads (and then deletes) the old and new files of `bucket` of every worker into `out`.
Result<void> read_bucket(uint64_t bucket, const StepFiles& files, BucketDiff& out) {
  for (size_t w = 0; w < files.worker_dirs.size(); ++w) {
    const std::optional<DiffManifest>* manifest = files.usable ? &files.manifests[w] : nullptr;
    for (const bool is_new : {false, true}) {
      if (manifest && !bit_set(is_new ? (*manifest)->new_bits : (*manifest)->old_bits, bucket)) continue;
      const std::string path = bucket_file_path(files.worker_dirs[w], is_new ? "new" : "old", bucket);
      auto declared = read_bucket_file_into(path, is_new ? out.new_stats : out.old_stats);
      if (!declared) {
        // A missing file: the worker had no records there. One shorter than its count (no OS
        // error) is skipped. Any other failure would lose records.
        const int code = declared.error().os_code();
        if (code == 0 || code == ENOENT) continue;
        return std::unexpected(std::move(declared.error()));
      }
      out.had_records = out.had_records || *declared;
      ::unlink(path.c_str());
    }
  }
  return {};
}


}  // namespace

std::optional<DiffManifest> read_diff_manifest(const std::string& dir, uint64_t buckets) {
  auto text = read_file((std::filesystem::path(dir) / "diff_manifest.bin").string());
  if (!text) return std::nullopt;
  LeReader bytes(*text);
  uint32_t magic = 0, count = 0;
  if (!bytes.take(magic) || magic != 0x464D4B5A /* "ZKMF" */ || !bytes.take(count) || count != buckets) {
    return std::nullopt;
  }
  DiffManifest manifest;
  const size_t m = static_cast<size_t>((buckets + 7) / 8);
  if (!bytes.take_bytes(manifest.old_bits, m) || !bytes.take_bytes(manifest.new_bits, m)) return std::nullopt;
  return manifest;
}

std::vector<uint64_t> diff_bits_to_indices(std::span<const uint8_t> bits, uint64_t buckets) {
  std::vector<uint64_t> out;
  for (uint64_t j = 0; j < bits.size(); ++j) {
    for (uint64_t t = 0; t < 8; ++t) {
      if ((bits[j] >> t) & 1 && 8 * j + t < buckets) out.push_back(8 * j + t);
    }
  }
  return out;
}

Result<bool> read_bucket_file_into(const std::string& path, StatsMap& stats) {
  auto text = read_file(path);
  if (!text) return std::unexpected(std::move(text.error()));
  LeReader bytes(*text);
  uint64_t declared = 0;
  if (!bytes.take(declared)) return fail("unexpected end of file");
  // A record takes at least 24 bytes: never reserve for more than the file can hold.
  stats.reserve(stats.size() + static_cast<size_t>(std::min<uint64_t>(declared, bytes.left() / 24)));
  for (uint64_t r = 0; r < declared; ++r) {
    uint64_t k = 0;
    // A key longer than the bytes left cannot be complete: stop before reserving for it.
    if (!bytes.take(k) || k > bytes.left() / 4) break;
    NgramKey key(static_cast<size_t>(k));
    Stat stat;
    bool whole = true;
    for (uint32_t& id : key) whole = whole && bytes.take(id);
    if (!whole || !bytes.take(stat.freq) || !bytes.take(stat.score)) break;
    Stat& sum = stat_slot(stats, key);
    sum.freq += stat.freq;
    sum.score += stat.score;
  }
  return declared != 0;
}

Result<std::vector<BucketDiff>> read_bucket_diffs(std::span<const uint64_t> buckets, const StepFiles& files) {
  std::vector<BucketDiff> out(buckets.size());
  FirstError first;
  tbb::parallel_for(size_t{0}, buckets.size(), [&](size_t i) {
    if (first.failed()) return;
    if (auto read = read_bucket(buckets[i], files, out[i]); !read) first.record(std::move(read.error()));
  });
  if (first.error()) return std::unexpected(std::move(*first.error()));
  return out;
}

Result<BucketDiff> merge_bucket_diffs(std::span<const uint64_t> buckets, const StepFiles& files) {
  FirstError first;
  BucketDiff all = reduce_moving<BucketDiff>(
      tbb::blocked_range<size_t>(0, buckets.size()),
      [&](const tbb::blocked_range<size_t>& range, BucketDiff& acc) {
        for (size_t i = range.begin(); i != range.end() && !first.failed(); ++i) {
          BucketDiff one;
          if (auto read = read_bucket(buckets[i], files, one); !read) first.record(std::move(read.error()));
          merge_stats_into(acc.old_stats, std::move(one.old_stats));
          merge_stats_into(acc.new_stats, std::move(one.new_stats));
        }
      },
      [](BucketDiff& left, BucketDiff&& right) {
        merge_stats_into(left.old_stats, std::move(right.old_stats));
        merge_stats_into(left.new_stats, std::move(right.new_stats));
      });
  if (first.error()) return std::unexpected(std::move(*first.error()));
  return all;
}

uint64_t bucket_batch_size() {
  const std::optional<uint64_t> value = env_u64("MP_BUCKET_BATCH");
  if (!value) return 256;
  return std::clamp<uint64_t>(*value, 1, 8192);
}

}  // namespace zelkor::mp
