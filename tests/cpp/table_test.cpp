// Tables when memory runs out: a growth or a key allocation that fails leaves the table as it was
// (same keys, same capacity, usable, destroyed without a bad free), also for the copy.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "core/stats.hpp"
#include "core/types.hpp"
#include "tests/cpp/support/failing_new.hpp"

namespace zelkor {
namespace {

size_t fail_min = 0, fail_max = 0;

// Runs `insertion`, which must throw std::bad_alloc, with allocations of `min` to `max` bytes
// failing.
template <typename F>
void expect_out_of_memory(size_t min, size_t max, F&& insertion) {
  fail_min = min;
  fail_max = max;
  zelkor::testing::failing_allocation = [](size_t bytes) { return bytes >= fail_min && bytes <= fail_max; };
  EXPECT_THROW(insertion(), std::bad_alloc);
  zelkor::testing::failing_allocation = nullptr;
}
constexpr size_t ANY = SIZE_MAX;
// A key held on the heap, in an allocation of LONG_KEY_MIN to LONG_KEY_MAX bytes.
const NgramKey LONG_KEY = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr size_t LONG_KEY_MIN = 8 * sizeof(uint32_t), LONG_KEY_MAX = 2 * LONG_KEY_MIN;

// A full table (the next new key grows it), its keys 0..n-1 as single-id keys.
StatsMap full_stats() {
  StatsMap stats;
  for (uint32_t id = 0; stats.size() < 100 || stats.size() < stats.capacity() - stats.capacity() / 8; ++id) {
    stats[NgramKey{id}] = Stat{id, id};
  }
  return stats;
}

void expect_keys(const StatsMap& stats, size_t n) {
  ASSERT_EQ(stats.size(), n);
  for (uint32_t id = 0; id < n; ++id) {
    auto it = stats.find(NgramKey{id});
    ASSERT_NE(it, stats.end()) << id;
    EXPECT_EQ(it->second, (Stat{id, id}));
  }
}

TEST(Table, FailedGrowthLeavesTheTableWhole) {
  constexpr uint32_t FRESH = 1u << 30;
  auto grow_by_operator = [](StatsMap& s) { s[NgramKey{FRESH}].freq = 1; };
  auto grow_by_slot = [](StatsMap& s) { stat_slot(s, NgramKey{FRESH}).freq = 1; };
  auto grow_by_reserve = [](StatsMap& s) { s.reserve(4 * s.capacity()); };
  auto grow_by_long_key = [](StatsMap& s) { stat_slot(s, LONG_KEY).freq = 1; };
  for (const auto& grow : {+grow_by_operator, +grow_by_slot, +grow_by_reserve, +grow_by_long_key}) {
    StatsMap stats = full_stats();
    const size_t n = stats.size(), capacity = stats.capacity();
    expect_out_of_memory(capacity * sizeof(StatsMap::value_type), ANY, [&] { grow(stats); });
    EXPECT_EQ(stats.capacity(), capacity);
    expect_keys(stats, n);
    grow(stats);  // memory is back: the same insertion now succeeds
    EXPECT_GT(stats.capacity(), capacity);
  }
}

// A key that allocates fails before its slot is taken.
TEST(Table, FailedKeyAllocationLeavesNoHalfBuiltSlot) {
  const std::string long_text(100, 'x');
  StringMap<uint32_t> counts;
  counts.reserve(8);
  counts["short"] = 1;
  expect_out_of_memory(long_text.size(), ANY, [&] { counts[std::string_view(long_text)] += 1; });
  EXPECT_EQ(counts.size(), 1u);
  EXPECT_FALSE(counts.contains(long_text));

  StatsMap stats;
  stats.reserve(8);
  expect_out_of_memory(LONG_KEY_MIN, LONG_KEY_MAX, [&] { stat_slot(stats, LONG_KEY); });
  expect_out_of_memory(LONG_KEY_MIN, LONG_KEY_MAX, [&] { fold_owned_key(stats, LONG_KEY, Stat{5, 5}, 1, true); });
  EXPECT_TRUE(stats.empty());
}

TEST(Table, FailedCopyLeavesBothWhole) {
  StatsMap stats = full_stats();
  stats[LONG_KEY] = Stat{1, 1};
  const size_t n = stats.size();
  expect_out_of_memory(LONG_KEY_MIN, LONG_KEY_MAX, [&] { StatsMap copy(stats); });
  EXPECT_EQ(stats.size(), n);
  const StatsMap copy(stats);
  EXPECT_EQ(copy.size(), n);
  EXPECT_EQ(copy.hash_function().seed, stats.hash_function().seed);
}

}  // namespace
}  // namespace zelkor
