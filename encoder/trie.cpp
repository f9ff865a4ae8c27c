// The minimum-token programme. For every start position i, from the end of the text backwards,
// walk the trie along the text; every token met ending at j is a candidate costing
// 1 + best(j + 1). Candidates are met shortest first, so an equal-cost candidate always replaces
// the recorded one: the longest first token wins ties. Where no token starts, one character is
// consumed as the unknown id (it never competes with a real token). The ids are then read off
// from the front along the recorded choices.
#include "encoder/trie.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "core/unicode.hpp"

namespace zelkor {
namespace {

constexpr uint32_t NOT_REACHED = 0x1FFFFFFF;

uint32_t add_one_saturating(uint32_t v) { return v == UINT32_MAX ? v : v + 1; }

}  // namespace

TokenTrie::TokenTrie() : terms_(1, 0), building_(1) {
  std::fill(std::begin(root_ascii_), std::end(root_ascii_), NO_NODE);
}

void TokenTrie::insert(std::string_view text, uint32_t id) {
  if (frozen_) throw std::logic_error("TokenTrie::insert after freeze");
  uint32_t node = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t c = utf8_next(text, i);
    auto [it, inserted] = building_[node].try_emplace(c, static_cast<uint32_t>(terms_.size()));
    const uint32_t child = it->second;  // read before building_ grows and may move the map
    if (inserted) {
      terms_.push_back(0);
      building_.emplace_back();
    }
    node = child;
  }
  terms_[node] = HAS_TOKEN | id;
}

void TokenTrie::freeze(const absl::flat_hash_set<uint32_t>& word_start_ids) {
  if (frozen_) return;
  const size_t n = terms_.size();
  first_.assign(n + 1, 0);
  for (size_t i = 0; i < n; ++i) first_[i + 1] = first_[i] + static_cast<uint32_t>(building_[i].size());
  child_chars_.resize(first_[n]);
  child_nodes_.resize(first_[n]);
  for (size_t i = 0; i < n; ++i) {
    std::vector<std::pair<char32_t, uint32_t>> kids(building_[i].begin(), building_[i].end());
    std::sort(kids.begin(), kids.end());
    for (size_t k = 0; k < kids.size(); ++k) {
      child_chars_[first_[i] + k] = kids[k].first;
      child_nodes_[first_[i] + k] = kids[k].second;
      if (i == 0 && kids[k].first < 128) root_ascii_[kids[k].first] = kids[k].second;
    }
  }
  building_ = {};
  for (uint64_t& term : terms_) {
    if ((term & HAS_TOKEN) != 0 && word_start_ids.contains(static_cast<uint32_t>(term))) term |= WORD_START;
  }
  frozen_ = true;
}

uint32_t TokenTrie::child(uint32_t node, char32_t c) const {
  if (node == 0 && c < 128) return root_ascii_[c];
  const char32_t* begin = child_chars_.data() + first_[node];
  const char32_t* end = child_chars_.data() + first_[node + 1];
  if (end - begin <= 8) {
    for (const char32_t* p = begin; p != end; ++p) {
      if (*p == c) return child_nodes_[static_cast<size_t>(p - child_chars_.data())];
    }
    return NO_NODE;
  }
  const char32_t* p = std::lower_bound(begin, end, c);
  return p != end && *p == c ? child_nodes_[static_cast<size_t>(p - child_chars_.data())] : NO_NODE;
}

template <bool kWordStart>
std::vector<uint32_t> TokenTrie::run(std::span<const char32_t> s, uint32_t unk_id,
                                     char32_t end_char) const {
  if (!frozen_) throw std::logic_error("TokenTrie used before freeze");
  const size_t n = s.size();
  if (n == 0) return {};
  std::vector<uint32_t> dp(n + 1, NOT_REACHED);
  // back_next[i] == 0 means "nothing recorded" (a recorded next position is always > i).
  std::vector<size_t> back_next(n + 1, 0);
  std::vector<uint32_t> back_id(n + 1, 0);
  dp[n] = 0;
  for (size_t i = n; i-- > 0;) {
    const bool at_word_start = !kWordStart || i == 0 || s[i - 1] == end_char;
    uint32_t node = 0;
    for (size_t j = i; j < n; ++j) {
      node = child(node, s[j]);
      if (node == NO_NODE) break;
      const uint64_t term = terms_[node];
      if ((term & HAS_TOKEN) == 0) continue;
      if (kWordStart && !at_word_start && (term & WORD_START) != 0) continue;
      const uint32_t cand = add_one_saturating(dp[j + 1]);
      // Later candidates are longer, so an equal cost replaces the recorded one.
      if (cand <= dp[i]) {
        dp[i] = cand;
        back_next[i] = j + 1;
        back_id[i] = static_cast<uint32_t>(term);
      }
    }
    if (back_next[i] == 0) {
      dp[i] = add_one_saturating(dp[i + 1]);
      back_next[i] = i + 1;
      back_id[i] = unk_id;
    }
  }
  std::vector<uint32_t> ids;
  ids.reserve(dp[0]);
  for (size_t p = 0; p < n; p = back_next[p]) ids.push_back(back_id[p]);
  return ids;
}

std::vector<uint32_t> TokenTrie::dp_min_ids_allow_unk(std::span<const char32_t> chars,
                                                      uint32_t unk_id) const {
  return run<false>(chars, unk_id, 0);
}

std::vector<uint32_t> TokenTrie::dp_min_ids_allow_unk_require_word_start(
    std::span<const char32_t> chars, uint32_t unk_id, char32_t end_char) const {
  return run<true>(chars, unk_id, end_char);
}

}  // namespace zelkor
