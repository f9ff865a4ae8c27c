// The slot index of the merge steps.
#include "core/entry_index.hpp"

#include <algorithm>
#include <string>

#include <absl/container/flat_hash_set.h>

#include "core/error.hpp"

namespace zelkor {
namespace {

// Merges equal token vectors into their first entry (counts wrap), keeping the order of the rest.
void merge_equal_entries(std::vector<SeqEntry>& entries) {
  struct ByTokens {
    using is_transparent = void;
    const std::vector<SeqEntry>* entries;
    SeededHash hash;
    size_t operator()(uint32_t e) const { return hash((*entries)[e].tokens); }
  };
  struct SameTokens {
    const std::vector<SeqEntry>* entries;
    bool operator()(uint32_t a, uint32_t b) const {
      return IdsEq{}((*entries)[a].tokens, (*entries)[b].tokens);
    }
  };
  absl::flat_hash_set<uint32_t, ByTokens, SameTokens> seen(entries.size(), ByTokens{&entries, {}},
                                                          SameTokens{&entries});
  std::vector<uint8_t> dead(entries.size(), 0);
  bool any = false;
  for (uint32_t e = 0; e < entries.size(); ++e) {
    auto [it, inserted] = seen.insert(e);
    if (!inserted) {
      entries[*it].freq += entries[e].freq;
      dead[e] = 1;
      any = true;
    }
  }
  if (!any) return;
  size_t out = 0;
  for (size_t e = 0; e < entries.size(); ++e) {
    if (dead[e]) continue;
    if (out != e) entries[out] = std::move(entries[e]);  // never self-move: it empties
    ++out;
  }
  entries.resize(out);
}

// Whether every entry spells a different text (false when an id has no text).
bool texts_distinct(const std::vector<SeqEntry>& entries, const Interner& interner) {
  absl::flat_hash_map<uint64_t, uint32_t> by_hash;
  by_hash.reserve(entries.size());
  SeededHash hash;
  std::string text;
  for (uint32_t e = 0; e < entries.size(); ++e) {
    text.clear();
    for (uint32_t id : entries[e].tokens) {
      if (id >= interner.id_to_token.size()) return false;
      text += interner.id_to_token[id];
    }
    // Any hash collision answers "maybe not distinct", which is always safe.
    if (!by_hash.emplace(hash(std::string_view(text)), e).second) return false;
  }
  return true;
}

}  // namespace

EntryIndex::EntryIndex(std::vector<SeqEntry>&& entries, const Interner* interner,
                       ListLimits limits)
    : limits_(limits) {
  // Entry numbers and slots are 32-bit, with the largest value kept as a marker.
  if (entries.size() >= NONE) throw Fault("entry index", "more than 2^32 - 2 sequences");
  for (const SeqEntry& entry : entries) {
    if (entry.tokens.size() >= NONE) throw Fault("entry index", "a sequence of 2^32 - 1 tokens or more");
  }
  merge_equal_entries(entries);
  may_collide_ = interner == nullptr || !texts_distinct(entries, *interner);
  build(std::move(entries));
}

void EntryIndex::build(std::vector<SeqEntry>&& entries) {
  slots_.assign(entries.size(), {});
  freqs_.assign(entries.size(), 0);
  dead_.assign(entries.size(), 0);
  live_tokens_ = 0;
  live_entries_ = entries.size();
  for (size_t e = 0; e < entries.size(); ++e) {
    slots_[e] = std::move(entries[e].tokens);
    freqs_[e] = entries[e].freq;
    live_tokens_ += slots_[e].size();
  }
  entries = {};
  list_all_pairs();
  if (may_collide_) index_contents();
}

void EntryIndex::index_contents() {
  hashes_.resize(slots_.size());
  by_content_.reserve(slots_.size());
  for (uint32_t e = 0; e < slots_.size(); ++e) {
    hashes_[e] = content_hash(e);
    by_content_.insert(e);  // the entries were merged when they came in: all distinct
  }
}

uint64_t EntryIndex::content_hash(uint32_t e) const {
  uint64_t h = hasher_.seed, live = 0;  // over the live tokens only: dead slots differ
  for (uint32_t id : slots_[e]) {
    if (id != NONE) h = mix64(h ^ id) + ++live;
  }
  return mix64(h ^ live);
}

bool EntryIndex::same_content(uint32_t a, uint32_t b) const {
  const TokenIds &x = slots_[a], &y = slots_[b];
  size_t i = 0, j = 0;
  while (true) {
    while (i < x.size() && x[i] == NONE) ++i;
    while (j < y.size() && y[j] == NONE) ++j;
    if (i == x.size() || j == y.size()) return i == x.size() && j == y.size();
    if (x[i++] != y[j++]) return false;
  }
}

void EntryIndex::detach(uint32_t e) {
  if (may_collide_) by_content_.erase(e);
}

void EntryIndex::reattach(uint32_t e) {
  if (!may_collide_ || dead_[e]) return;
  hashes_[e] = content_hash(e);
  auto [it, inserted] = by_content_.insert(e);
  if (inserted) return;
  // Equal content: the lower entry number stays, so the survivors keep their order.
  const uint32_t other = *it;
  const uint32_t keep = std::min(e, other), drop = std::max(e, other);
  if (keep == e) {
    by_content_.erase(it);
    by_content_.insert(e);
  }
  freqs_[keep] += freqs_[drop];
  for (uint32_t& id : slots_[drop]) {
    if (id != NONE) --live_tokens_;
    id = NONE;  // stale places of the dropped entry no longer hold any pair
  }
  freqs_[drop] = 0;
  dead_[drop] = 1;
  --live_entries_;
}

void EntryIndex::list_all_pairs() {
  // Two passes, counting first, so every list is allocated at its exact size: lists grown by
  // doubling would hold up to twice the places.
  auto for_each_pair = [&](auto&& f) {
    for (uint32_t e = 0; e < slots_.size(); ++e) {
      Place before{e, NONE};
      for (uint32_t s = 0; s < slots_[e].size(); ++s) {
        if (slots_[e][s] == NONE) continue;
        if (before.slot != NONE) f(pair_of(id(before), slots_[e][s]), before);
        before = Place{e, s};
      }
    }
  };
  postings_.clear();
  // Nothing refers to the slots of merged entries once the lists are rebuilt.
  for (uint32_t e = 0; e < slots_.size(); ++e) {
    if (dead_[e]) TokenIds().swap(slots_[e]);
  }
  absl::flat_hash_map<uint64_t, uint32_t> counts;
  for_each_pair([&](uint64_t pair, Place) { ++counts[pair]; });
  postings_.reserve(counts.size());
  for (const auto& [pair, count] : counts) postings_[pair].reserve(count);
  counts = {};
  listed_ = 0;
  for_each_pair([&](uint64_t pair, Place p) {
    postings_[pair].push_back(p);
    ++listed_;
  });
}

void EntryIndex::after_step(size_t removed) {
  live_tokens_ -= removed;
  if (listed_ > limits_.per_token * live_tokens_ + limits_.slack) list_all_pairs();
}

EntryIndex::Place EntryIndex::next(Place p) const {
  const TokenIds& slots = slots_[p.entry];
  uint32_t s = p.slot + 1;
  while (s < slots.size() && slots[s] == NONE) ++s;
  return Place{p.entry, s < slots.size() ? s : NONE};
}

EntryIndex::Place EntryIndex::prev(Place p) const {
  const TokenIds& slots = slots_[p.entry];
  for (uint32_t s = p.slot; s > 0;) {
    if (slots[--s] != NONE) return Place{p.entry, s};
  }
  return Place{p.entry, NONE};
}

bool EntryIndex::holds(uint64_t pair, Place p) const {
  if (id(p) != static_cast<uint32_t>(pair >> 32)) return false;
  const Place q = next(p);
  return q.slot != NONE && id(q) == static_cast<uint32_t>(pair);
}

std::vector<EntryIndex::Place> EntryIndex::matches(IdSpan parts, uint64_t& pair,
                                                  std::vector<Place>& others) {
  std::vector<Place> found;
  others.clear();
  pair = UINT64_MAX;
  if (parts.empty()) return found;
  if (parts.size() == 1) {
    for (uint32_t e = 0; e < slots_.size(); ++e) {
      for (uint32_t s = 0; s < slots_[e].size(); ++s) {
        if (slots_[e][s] == parts[0]) found.push_back(Place{e, s});
      }
    }
    return found;
  }
  // The occurrences are found through the key's rarest adjacent pair, at offset `at` in it.
  const std::vector<Place>* listed = nullptr;
  size_t at = 0;
  for (size_t j = 0; j + 1 < parts.size(); ++j) {
    const uint64_t candidate = pair_of(parts[j], parts[j + 1]);
    auto it = postings_.find(candidate);
    if (it == postings_.end()) {
      pair = candidate;
      return found;
    }
    if (listed == nullptr || it->second.size() < listed->size()) {
      listed = &it->second;
      at = j;
      pair = candidate;
    }
  }
  std::vector<Place> places = *listed;
  std::sort(places.begin(), places.end());
  places.erase(std::unique(places.begin(), places.end()), places.end());
  uint32_t last_end = 0;  // last slot of the previous accepted match in found.back().entry
  for (const Place p : places) {
    if (!holds(pair, p)) continue;
    Place start = p;
    bool ok = true;
    for (size_t t = at; ok && t > 0; --t) {
      start = prev(start);
      ok = start.slot != NONE && id(start) == parts[t - 1];
    }
    Place last = next(p);
    for (size_t t = at + 2; ok && t < parts.size(); ++t) {
      last = next(last);
      ok = last.slot != NONE && id(last) == parts[t];
    }
    // Greedy from the left: an occurrence overlapping the one accepted before it is not rewritten.
    if (!ok || (!found.empty() && found.back().entry == start.entry && start.slot <= last_end)) {
      others.push_back(p);
      continue;
    }
    found.push_back(start);
    last_end = last.slot;
  }
  return found;
}

void EntryIndex::merge_at(Place p, size_t k, uint32_t new_id) {
  TokenIds& slots = slots_[p.entry];
  Place part = p;
  for (size_t t = 1; t < k; ++t) {
    part = next(part);
    slots[part.slot] = NONE;
  }
  slots[p.slot] = new_id;
}

void EntryIndex::list_pair(uint64_t pair, Place p) {
  postings_[pair].push_back(p);
  ++listed_;
}

void EntryIndex::relist(uint64_t pair, std::vector<Place> others) {
  auto it = postings_.find(pair);
  if (it == postings_.end()) return;
  listed_ -= it->second.size();
  std::erase_if(others, [&](Place p) { return !holds(pair, p); });
  listed_ += others.size();
  if (others.empty()) {
    postings_.erase(pair);
  } else {
    postings_[pair] = std::move(others);
  }
}

std::vector<uint32_t> EntryIndex::live_entry_numbers() const {
  std::vector<uint32_t> out;
  out.reserve(live_entries_);
  for (uint32_t e = 0; e < slots_.size(); ++e) {
    if (!dead_[e]) out.push_back(e);
  }
  return out;
}

void EntryIndex::copy_tokens(uint32_t e, TokenIds& out) const {
  out.clear();
  for (uint32_t id : slots_[e]) {
    if (id != NONE) out.push_back(id);
  }
}

std::vector<SeqEntry> EntryIndex::snapshot() const {
  std::vector<SeqEntry> out;
  out.reserve(live_entries_);
  for (size_t e = 0; e < slots_.size(); ++e) {
    if (dead_[e]) continue;
    copy_tokens(static_cast<uint32_t>(e), out.emplace_back(SeqEntry{{}, freqs_[e]}).tokens);
  }
  return out;
}

std::vector<SeqEntry> EntryIndex::release() && {
  postings_.clear();
  listed_ = 0;
  by_content_.clear();
  std::vector<SeqEntry> out;
  out.reserve(live_entries_);
  for (size_t e = 0; e < slots_.size(); ++e) {
    if (dead_[e]) continue;
    TokenIds& slots = slots_[e];
    std::erase(slots, NONE);
    slots.shrink_to_fit();
    out.push_back(SeqEntry{std::move(slots), freqs_[e]});
  }
  slots_.clear();
  freqs_.clear();
  dead_.clear();
  return out;
}



}  // namespace zelkor
