// Corpus counting and trainer construction. Symbol ids follow the walk of the count map: each
// key's characters are interned left to right, so ids follow the map's (seeded) iteration order.
#include "core/corpus.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <array>

#include <tbb/blocked_range.h>

#include "core/normalize.hpp"
#include "core/reduce.hpp"
#include "core/trainer.hpp"
#include "core/unicode.hpp"

namespace zelkor {
namespace {

// Counting leaves much freed memory scattered in the allocator's heap; hand it back to the
// system before training allocates its own large structures.
void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// Interns the characters of normalised texts, remembering ASCII ids to skip the map lookup.
class SymbolInterner {
 public:
  explicit SymbolInterner(Interner& interner) : interner_(interner) { ascii_.fill(UNSET); }

  TokenIds ids_of(std::string_view text) {
    TokenIds ids;
    ids.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
      auto lead = static_cast<unsigned char>(text[i]);
      if (lead < 0x80) {
        if (ascii_[lead] == UNSET) ascii_[lead] = interner_.intern(text.substr(i, 1));
        ids.push_back(ascii_[lead]);
        ++i;
      } else {
        size_t len = std::min(utf8_len(lead), text.size() - i);
        ids.push_back(interner_.intern(text.substr(i, len)));
        i += len;
      }
    }
    return ids;
  }

 private:
  static constexpr uint32_t UNSET = UINT32_MAX;
  Interner& interner_;
  std::array<uint32_t, 128> ascii_;
};

// Consumes `counts`, interning in its walk order, into one entry per key.
std::vector<SeqEntry> entries_from_counts(SeqCounts&& counts, Interner& interner) {
  std::vector<SeqEntry> entries;
  entries.reserve(counts.size());
  SymbolInterner symbols(interner);
  for (auto it = counts.begin(); it != counts.end();) {
    auto node = counts.extract(it++);
    entries.push_back(SeqEntry{symbols.ids_of(node.key()), node.mapped()});
  }
  SeqCounts().swap(counts);  // the emptied table too, before handing memory back
  release_free_memory();
  return entries;
}

}  // namespace

SeqCounts merge_sequence_counts(SeqCounts&& left, SeqCounts&& right) {
  // Addition commutes, so the larger map absorbs the smaller one.
  if (right.size() > left.size()) std::swap(left, right);
  for (auto it = right.begin(); it != right.end();) {
    auto node = right.extract(it++);
    auto [slot, inserted] = left.try_emplace(std::move(node.key()), 0u);
    slot->second += node.mapped();
  }
  return std::move(left);
}

SeqCounts build_counts_chunk(ThreadPool& pool, std::span<const std::string> lines) {
  return pool.run([&] {
    return reduce_moving<SeqCounts>(
        tbb::blocked_range<size_t>(0, lines.size()),
        [&](const tbb::blocked_range<size_t>& range, SeqCounts& counts) {
          for (size_t i = range.begin(); i != range.end(); ++i) {
            counts[normalized_text(lines[i])] += 1;
          }
        },
        [](SeqCounts& left, SeqCounts&& right) {
          left = merge_sequence_counts(std::move(left), std::move(right));
        });
  });
}

void Zelkor::build_vocab(std::span<const std::string> lines) {
  SeqCounts counts;
  {
    ThreadPool pool(counting_pool_threads(config.num_workers), "build rayon pool for vocab");
    counts = build_counts_chunk(pool, lines);
  }
  entries = entries_from_counts(std::move(counts), interner);
}

Zelkor Zelkor::from_counts(SeqCounts&& counts, uint64_t total_chars, TrainConfig config) {
  Zelkor trainer;
  trainer.entries = entries_from_counts(std::move(counts), trainer.interner);
  trainer.config = std::move(config);
  trainer.total_chars = total_chars;
  return trainer;
}

}  // namespace zelkor
