// The naive model: every window is rescanned and tested for overlap one by one.
#include "tests/cpp/support/naive_trainer.hpp"

#include <algorithm>

namespace zelkor::testing {

StatsTable to_table(const GlobalStats& stats) {
  StatsTable out;
  stats.for_each([&](const NgramKey& key, const Stat& stat) { out.emplace(key, stat); });
  return out;
}

StatsTable to_table(const StatsMap& stats) { return StatsTable(stats.begin(), stats.end()); }

StatsTable overlapping_windows(const TokenIds& seq, const std::vector<uint64_t>& spans,
                               uint64_t k, std::span<const uint64_t> n_values) {
  StatsTable out;
  for (uint64_t n : n_values) {
    for (uint64_t s = 0; s + n <= seq.size(); ++s) {
      if (std::ranges::none_of(spans, [&](uint64_t p) { return s < p + k && p < s + n; })) continue;
      Stat& stat = out[NgramKey(seq.begin() + s, seq.begin() + s + n)];
      stat.freq += 1;
      stat.score += n - 1;
    }
  }
  return out;
}

TokenIds rewrite(const TokenIds& seq, std::span<const uint32_t> parts, uint32_t new_id,
                 std::vector<uint64_t>& matches, std::vector<uint64_t>& placed) {
  TokenIds now;
  for (size_t i = 0; i < seq.size();) {
    if (i + parts.size() <= seq.size() && std::equal(parts.begin(), parts.end(), seq.begin() + i)) {
      matches.push_back(i);
      placed.push_back(now.size());
      now.push_back(new_id);
      i += parts.size();
    } else {
      now.push_back(seq[i++]);
    }
  }
  return now;
}

StatsTable count_all_windows(const std::vector<SeqEntry>& entries,
                             std::span<const uint64_t> n_values) {
  StatsTable out;
  for (const SeqEntry& e : entries) {
    for (const auto& [key, d] : overlapping_windows(e.tokens, {0}, e.tokens.size(), n_values)) {
      out[key].freq += e.freq * d.freq;
      out[key].score += uint64_t{e.freq} * d.score;
    }
  }
  return out;
}

std::vector<SeqEntry> canonical(std::vector<SeqEntry> entries) {
  std::map<TokenIds, uint32_t> merged;
  for (SeqEntry& e : entries) merged[std::move(e.tokens)] += e.freq;
  std::vector<SeqEntry> out;
  for (auto& [tokens, freq] : merged) out.push_back(SeqEntry{tokens, freq});
  return out;
}

std::vector<SeqEntry> NaiveTrainer::step(const std::vector<SeqEntry>& entries,
                                         const NgramKey& parts, uint32_t new_id,
                                         const std::function<void(const NgramKey&)>& offer) {
  std::vector<SeqEntry> rewritten;
  for (const SeqEntry& e : entries) {
    std::vector<uint64_t> matches, placed;
    const TokenIds now = rewrite(e.tokens, parts, new_id, matches, placed);
    rewritten.push_back(SeqEntry{now, e.freq});
    // Weighted by the count, freq clamped to 32 bits (the scores here never overflow).
    auto w = [&](const Stat& d) {
      return Stat{static_cast<uint32_t>(std::min<uint64_t>(uint64_t{e.freq} * d.freq, UINT32_MAX)),
                  e.freq * d.score};
    };
    for (const auto& [key, d] : overlapping_windows(e.tokens, matches, parts.size(), n_values)) {
      if (offer) offer(key);
      auto it = stats.find(key);
      if (it == stats.end()) continue;  // losses of unknown keys are ignored
      Stat& s = it->second;
      const Stat loss = w(d);  // saturating at 0
      s = {s.freq - std::min(s.freq, loss.freq), s.score - std::min(s.score, loss.score)};
      if (s.freq <= 1) stats.erase(it);
    }
    for (const auto& [key, d] : overlapping_windows(now, placed, 1, n_values)) {
      if (const Stat gain = w(d); gain.freq > 1) {  // a gain of 1 is dropped, even for a known key
        Stat& s = stats[key];
        s = {s.freq + gain.freq, s.score + gain.score};
        if (s.freq < 2) stats.erase(key);
      }
      if (offer) offer(key);
    }
  }
  return canonical(std::move(rewritten));
}

std::optional<std::pair<NgramKey, Stat>> NaiveTrainer::best(const CandidateFilter& filter) const {
  std::optional<std::pair<NgramKey, Stat>> best;
  auto rank = [](const NgramKey& k, const Stat& s) { return std::tuple(s.score, k.size(), k); };
  for (const auto& [key, stat] : stats) {
    if (filter.admits(key, stat) && (!best || rank(best->first, best->second) < rank(key, stat))) {
      best = std::pair(key, stat);
    }
  }
  return best;
}

void NaiveHeap::push(const NgramKey& key, const StatsTable& stats, const CandidateFilter& filter) {
  auto it = stats.find(key);
  if (it != stats.end() && filter.admits(key, it->second)) {
    items_.emplace(it->second.score, key.size(), key);
  }
}

std::optional<std::pair<NgramKey, Stat>> NaiveHeap::pop(const StatsTable& stats,
                                                        const CandidateFilter& filter) {
  while (!items_.empty()) {
    auto [score, len, key] = items_.extract(std::prev(items_.end())).value();
    auto it = stats.find(key);
    if (it == stats.end() || it->second.freq < 2) continue;
    if (it->second.score != score) {
      items_.emplace(it->second.score, len, key);
    } else if (filter.passes(key)) {
      return *it;
    }
  }
  return std::nullopt;
}

}  // namespace zelkor::testing
