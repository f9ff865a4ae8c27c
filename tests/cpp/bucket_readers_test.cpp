// The parent's readers of a step's files: manifests and their bits, one bucket file with its
// short-read rules, and the parallel readers over what two real workers wrote (records summed,
// files deleted, manifest bits honoured), plus MP_BUCKET_BATCH.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <tbb/parallel_for.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>

#include "core/stats.hpp"
#include "multiproc/bucket_files.hpp"
#include "multiproc/bucket_readers.hpp"
#include "multiproc/worker_state.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor::mp {
namespace {

using zelkor::testing::StatsTable;
using zelkor::testing::TempDir;
const bool kQuiet = zelkor::testing::quiet_log();

std::string le(uint64_t v, int bytes) {
  std::string out;
  for (int b = 0; b < bytes; ++b) out.push_back(static_cast<char>(v >> (8 * b)));
  return out;
}
std::string record(std::vector<uint32_t> key, uint32_t freq, uint64_t score) {
  std::string out = le(key.size(), 8);
  for (uint32_t id : key) out += le(id, 4);
  return out + le(freq, 4) + le(score, 8);
}

TEST(Manifest, ReadOnlyWhenWholeAndForTheExpectedCount) {
  TempDir tmp;
  write_diff_manifest(tmp.path(), 64, std::vector<uint8_t>(8, 0x01), std::vector<uint8_t>(8, 0x80));
  ASSERT_EQ(TempDir::read(tmp.path("diff_manifest.bin")).size(), 24u);
  auto manifest = read_diff_manifest(tmp.path(), 64);
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->new_bits, std::vector<uint8_t>(8, 0x80));
  EXPECT_FALSE(read_diff_manifest(tmp.path(), 128));  // a foreign count
  tmp.write("diff_manifest.bin", "ZKMF" + le(64, 4) + std::string(15, '\0'));
  EXPECT_FALSE(read_diff_manifest(tmp.path(), 64));   // one byte short
  EXPECT_FALSE(read_diff_manifest(tmp.path("none"), 64));
  EXPECT_EQ(diff_bits_to_indices(std::vector<uint8_t>{0x05, 0x80}, 16), (std::vector<uint64_t>{0, 2, 15}));
  EXPECT_EQ(diff_bits_to_indices(std::vector<uint8_t>{0x05, 0x80}, 15), (std::vector<uint64_t>{0, 2}));
}

TEST(BucketFile, ShortReadRules) {
  const struct {
    const char* name;
    std::string bytes;
    bool ok, declared;
    StatsTable records;
  } cases[] = {
      {"count 0", le(0, 8), true, false, {}},
      {"same key summed", le(2, 8) + record({1, 2}, 2, 2) + record({1, 2}, 3, 3), true, true, {{{1, 2}, {5, 5}}}},
      {"count 3, two records", le(3, 8) + record({1}, 1, 0) + record({2, 3}, 4, 4), true, true,
       {{{1}, {1, 0}}, {{2, 3}, {4, 4}}}},
      {"cut inside a record", le(2, 8) + record({1}, 1, 0) + record({2, 3}, 4, 4).substr(0, 13), true, true,
       {{{1}, {1, 0}}}},
      {"absurd key length", le(1, 8) + le(uint64_t{1} << 60, 8), true, true, {}},
      {"shorter than the count", std::string(5, '\1'), false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    tmp.write("old_0.bin", c.bytes);
    StatsMap stats;
    auto declared = read_bucket_file_into(tmp.path("old_0.bin"), stats);
    ASSERT_EQ(declared.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*declared, c.declared);
    }
    EXPECT_EQ(zelkor::testing::to_table(stats), c.records);
  }
}

// Two workers write a step; the readers must find their records summed (each file read alone by
// the rules above), delete every file they parsed, keep the manifests, and skip a file whose
// manifest bit is clear.
TEST(ParallelReaders, ReadWhatWorkersWroteAndDeleteIt) {
  for (const bool one_shot : {false, true}) {
    TempDir tmp;
    std::mt19937 rng(4);
    const std::vector<std::string> dirs = {tmp.path("w0"), tmp.path("w1")};
    std::vector<std::optional<DiffManifest>> manifests;
    std::vector<uint8_t> any(8, 0);
    StatsMap old_expected, new_expected;
    for (const std::string& dir : dirs) {
      std::vector<SeqEntry> entries(500);
      for (SeqEntry& e : entries) {
        e.tokens.resize(rng() % 9);
        for (uint32_t& id : e.tokens) id = rng() % 3;
        e.freq = 1 + rng() % 3;
      }
      WorkerState(std::move(entries), {2, 3}).apply_merge(ApplyMerge{{1, 2}, 7, false, true, 64, dir});
      for (const auto& f : std::filesystem::directory_iterator(dir)) {
        const std::string name = f.path().filename();
        if (name == "diff_manifest.bin") continue;
        ASSERT_TRUE(read_bucket_file_into(f.path(), name[0] == 'o' ? old_expected : new_expected));
      }
      manifests.push_back(read_diff_manifest(dir, 64));
      ASSERT_TRUE(manifests.back());
      for (size_t j = 0; j < 8; ++j) any[j] |= manifests.back()->old_bits[j] | manifests.back()->new_bits[j];
    }
    ASSERT_FALSE(old_expected.empty());
    const std::vector<uint64_t> buckets = diff_bits_to_indices(any, 64);
    uint64_t unmarked = 0;  // a bucket without an old file in w0: planted, to be skipped
    while (std::filesystem::exists(dirs[0] + "/old_" + std::to_string(unmarked) + ".bin")) ++unmarked;
    const std::string planted = "old_" + std::to_string(unmarked) + ".bin";
    std::ofstream(dirs[0] + "/" + planted) << le(1, 8) + record({9, 9}, 5, 5);
    const StepFiles files{dirs, manifests, true};
    StatsMap old_read, new_read;
    if (one_shot) {
      auto all = merge_bucket_diffs(buckets, files);
      ASSERT_TRUE(all) << all.error().render();
      old_read = std::move(all->old_stats), new_read = std::move(all->new_stats);
    }
    for (BucketDiff& diff : one_shot ? std::vector<BucketDiff>{} : read_bucket_diffs(buckets, files).value()) {
      EXPECT_TRUE(diff.had_records);
      merge_stats_into(old_read, std::move(diff.old_stats));
      merge_stats_into(new_read, std::move(diff.new_stats));
    }
    EXPECT_EQ(zelkor::testing::to_table(old_read), zelkor::testing::to_table(old_expected));
    EXPECT_EQ(zelkor::testing::to_table(new_read), zelkor::testing::to_table(new_expected));
    for (const std::string& dir : dirs) {
      std::set<std::string> left;
      for (const auto& f : std::filesystem::directory_iterator(dir)) left.insert(f.path().filename());
      std::set<std::string> expected = {"diff_manifest.bin"};
      if (dir == dirs[0]) expected.insert(planted);
      EXPECT_EQ(left, expected);
    }
  }
}

// Only a missing file means "no records" (and a short one is skipped, left on disk); a file that
// exists but cannot be opened or read fails both readers with its I/O error.
TEST(ParallelReaders, FailOnFilesThatCannotBeRead) {
  const std::vector<uint64_t> buckets = {0, 1, 2, 3};
  const struct {
    const char* name;
    std::function<void(const std::string& path)> plant;  // at w0's old_2.bin
    std::string error;                                    // empty: no error
    bool kept = false;                                    // the planted file is still there
    bool lower_fd_limit = false;
  } cases[] = {
      {"missing", [](const std::string&) {}, "", false},
      {"shorter than its count", [](const std::string& path) { std::ofstream(path) << "12345"; }, "", true},
      {"a directory", [](const std::string& path) { std::filesystem::create_directory(path); },
       "Is a directory (os error 21)", true},
      {"not readable", [](const std::string& path) {
         std::ofstream(path) << le(1, 8) + record({4}, 1, 1);
         std::filesystem::permissions(path, std::filesystem::perms::none);
       }, ::geteuid() == 0 ? "" : "Permission denied (os error 13)", ::geteuid() != 0},
      {"no descriptor left", [](const std::string& path) { std::ofstream(path) << le(0, 8); },
       "Too many open files (os error 24)", true, true},
  };
  tbb::parallel_for(0, 64, [](int) {});  // the pool started before descriptors run out
  for (const auto& c : cases) {
    for (const bool one_shot : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (one_shot ? ", one-shot" : ", per bucket"));
      TempDir tmp;
      const std::vector<std::string> dirs = {tmp.path("w0"), tmp.path("w1")};
      for (const std::string& dir : dirs) std::filesystem::create_directory(dir);
      tmp.write("w1/new_1.bin", le(1, 8) + record({1, 2}, 3, 3));
      const std::string planted = tmp.path("w0/old_2.bin");
      c.plant(planted);
      const StepFiles files{dirs, {}, false};  // no manifests: every file is tried
      rlimit saved{};
      ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
      if (c.lower_fd_limit) {
        const int lowest_free = ::open("/dev/null", O_RDONLY);
        ::close(lowest_free);
        rlimit none = saved;
        none.rlim_cur = static_cast<rlim_t>(lowest_free);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
      }
      std::optional<Error> error;
      StatsMap new_read;
      if (one_shot) {
        auto all = merge_bucket_diffs(buckets, files);
        if (all) new_read = std::move(all->new_stats); else error = all.error();
      } else if (auto per_bucket = read_bucket_diffs(buckets, files)) {
        new_read = std::move((*per_bucket)[1].new_stats);
      } else {
        error = per_bucket.error();
      }
      ::setrlimit(RLIMIT_NOFILE, &saved);
      if (c.error.empty()) {
        ASSERT_FALSE(error) << error->render();
        EXPECT_EQ(zelkor::testing::to_table(new_read), (StatsTable{{{1, 2}, {3, 3}}}));
        EXPECT_FALSE(std::filesystem::exists(tmp.path("w1/new_1.bin")));
      } else {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->render(), c.error);
      }
      EXPECT_EQ(std::filesystem::exists(planted), c.kept);
    }
  }
}

TEST(BucketBatch, FromTheEnvironment) {
  const std::pair<const char*, uint64_t> cases[] = {{"0", 1}, {"+300", 300}, {"99999", 8192}, {"x", 256}, {"", 256}};
  for (const auto& [value, expected] : cases) {
    setenv("MP_BUCKET_BATCH", value, 1);
    EXPECT_EQ(bucket_batch_size(), expected) << value;
  }
  unsetenv("MP_BUCKET_BATCH");
  EXPECT_EQ(bucket_batch_size(), 256u);
}

}  // namespace
}  // namespace zelkor::mp
