// The entry index of the merge steps.
#include "core/entry_index.hpp"

#include <algorithm>

namespace zelkor {

EntryIndex::EntryIndex(std::vector<SeqEntry>& entries)
    : entries_(entries),
      by_tokens_(0, EntryPositionHash{&hashes_}, EntryPositionEq{&entries}) {
  rebuild();
}

void EntryIndex::rebuild() {
  postings_.clear();
  by_tokens_.clear();
  by_tokens_.reserve(entries_.size());
  dead_.assign(entries_.size(), 0);
  dead_count_ = 0;
  hashes_.resize(entries_.size());
  for (size_t e = 0; e < entries_.size(); ++e) hashes_[e] = hash_of(entries_[e].tokens);
  for (uint32_t e = 0; e < entries_.size(); ++e) {
    auto [it, inserted] = by_tokens_.insert(e);
    if (!inserted) {
      entries_[*it].freq += entries_[e].freq;
      entries_[e] = SeqEntry{};
      dead_[e] = 1;
      ++dead_count_;
      continue;
    }
    const TokenIds& tokens = entries_[e].tokens;
    for (size_t i = 1; i < tokens.size(); ++i) list_under(pair_of(tokens[i - 1], tokens[i]), e);
  }
}

void EntryIndex::list_under(uint64_t pair, uint32_t e) {
  std::vector<uint32_t>& list = postings_[pair];
  // An entry's pairs are listed in one go, so a repeat can only be at the back.
  if (list.empty() || list.back() != e) list.push_back(e);
}

std::pair<std::vector<uint32_t>, uint64_t> EntryIndex::candidates(IdSpan parts) {
  std::vector<uint32_t> list;
  if (parts.size() < 2) {
    for (uint32_t e = 0; e < entries_.size(); ++e) {
      if (!dead_[e]) list.push_back(e);
    }
    return {std::move(list), UINT64_MAX};
  }
  uint64_t rarest = UINT64_MAX;
  const std::vector<uint32_t>* rarest_list = nullptr;
  for (size_t i = 1; i < parts.size(); ++i) {
    const uint64_t pair = pair_of(parts[i - 1], parts[i]);
    auto it = postings_.find(pair);
    if (it == postings_.end()) return {std::move(list), pair};  // no entry holds it
    if (rarest_list == nullptr || it->second.size() < rarest_list->size()) {
      rarest = pair;
      rarest_list = &it->second;
    }
  }
  list = *rarest_list;
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  std::erase_if(list, [&](uint32_t e) { return dead_[e] != 0; });
  return {std::move(list), rarest};
}

void EntryIndex::set_holders(uint64_t pair, std::vector<uint32_t> positions) {
  if (pair == UINT64_MAX) return;
  if (positions.empty()) {
    postings_.erase(pair);
  } else {
    postings_[pair] = std::move(positions);
  }
}

void EntryIndex::attach(uint32_t e, IdSpan tokens, size_t hash, uint32_t new_id) {
  if (auto it = by_tokens_.find(HashedIds{tokens, hash}); it != by_tokens_.end()) {
    entries_[*it].freq += entries_[e].freq;
    entries_[e] = SeqEntry{};
    dead_[e] = 1;
    ++dead_count_;
    return;
  }
  TokenIds& held = entries_[e].tokens;
  if (held.capacity() > 2 * tokens.size()) {
    TokenIds(tokens.begin(), tokens.end()).swap(held);  // give back what the merges freed
  } else {
    held.assign(tokens.begin(), tokens.end());
  }
  hashes_[e] = hash;
  by_tokens_.insert(e);
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i] != new_id) continue;
    if (i > 0) list_under(pair_of(held[i - 1], new_id), e);
    if (i + 1 < held.size()) list_under(pair_of(new_id, held[i + 1]), e);
  }
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
