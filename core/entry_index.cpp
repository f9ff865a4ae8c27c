// The entry index of the merge steps.
#include "core/entry_index.hpp"

#include <algorithm>

namespace zelkor {

EntryIndex::EntryIndex(std::vector<SeqEntry>& entries)
    : entries_(entries),
      by_tokens_(0, EntryPositionHash{&entries, SeededHash{}}, EntryPositionEq{&entries}) {
  rebuild();
}

void EntryIndex::rebuild() {
  postings_.clear();
  by_tokens_.clear();
  by_tokens_.reserve(entries_.size());
  dead_.assign(entries_.size(), 0);
  dead_count_ = 0;
  std::vector<uint32_t> last_seen;  // per token: the last entry listed under it
  for (uint32_t e = 0; e < entries_.size(); ++e) {
    auto [it, inserted] = by_tokens_.insert(e);
    if (!inserted) {
      entries_[*it].freq += entries_[e].freq;
      entries_[e] = SeqEntry{};
      dead_[e] = 1;
      ++dead_count_;
      continue;
    }
    for (uint32_t t : entries_[e].tokens) {
      if (t >= last_seen.size()) last_seen.resize(size_t{t} + 1, UINT32_MAX);
      if (last_seen[t] == e) continue;
      last_seen[t] = e;
      holders(t).push_back(e);
    }
  }
}

std::vector<uint32_t>& EntryIndex::holders(uint32_t token) {
  if (token >= postings_.size()) postings_.resize(size_t{token} + 1);
  return postings_[token];
}

std::pair<std::vector<uint32_t>, uint32_t> EntryIndex::candidates(IdSpan parts) {
  uint32_t rarest = parts[0];
  for (uint32_t t : parts) {
    if (holders(t).size() < holders(rarest).size()) rarest = t;
  }
  std::vector<uint32_t> list = holders(rarest);
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  std::erase_if(list, [&](uint32_t e) { return dead_[e] != 0; });
  return {std::move(list), rarest};
}

void EntryIndex::set_holders(uint32_t token, std::vector<uint32_t> positions) {
  holders(token) = std::move(positions);
}

void EntryIndex::attach(uint32_t e, TokenIds&& tokens, uint32_t new_id) {
  if (auto it = by_tokens_.find(IdSpan(tokens)); it != by_tokens_.end()) {
    entries_[*it].freq += entries_[e].freq;
    entries_[e] = SeqEntry{};
    dead_[e] = 1;
    ++dead_count_;
    return;
  }
  entries_[e].tokens = std::move(tokens);
  by_tokens_.insert(e);
  holders(new_id).push_back(e);
}

void EntryIndex::compact(bool force) {
  if (dead_count_ == 0 || (!force && dead_count_ * 4 < entries_.size())) return;
  size_t out = 0;
  for (size_t e = 0; e < entries_.size(); ++e) {
    if (dead_[e]) continue;
    if (out != e) entries_[out] = std::move(entries_[e]);  // never self-move: it empties
    ++out;
  }
  entries_.resize(out);
  rebuild();
}

}  // namespace zelkor
