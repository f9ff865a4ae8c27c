// Message bodies: sizes, encoding and decoding, field by field in wire order.
#include "multiproc/protocol.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include <fmt/format.h>

#include "core/debug_fmt.hpp"
#include "core/unicode.hpp"
#include "multiproc/le_bytes.hpp"

namespace zelkor::mp {
namespace {

// The byte length of the character at text[i] (a truncated last one counts as what is left).
size_t char_len(std::string_view text, size_t i) {
  return std::min(utf8_len(static_cast<unsigned char>(text[i])), text.size() - i);
}

// ---- sizes ----

uint64_t ids_size(size_t ids) { return 8 + 4 * uint64_t{ids}; }
uint64_t entries_size(const std::vector<SeqEntry>& entries) {
  uint64_t n = 8;
  for (const SeqEntry& e : entries) n += ids_size(e.tokens.size()) + 4;
  return n;
}
uint64_t word_seq_size(const std::string& text) {
  uint64_t n = 8;
  for (size_t i = 0; i < text.size(); i += char_len(text, i)) n += 8;
  return n + text.size();
}

uint64_t size_of(const Init& m) { return entries_size(m.entries) + 8 + 8 * uint64_t{m.n_values.size()}; }
uint64_t size_of(const Preprocess& m) {
  uint64_t n = 8;
  for (const std::string& t : m.texts) n += 8 + t.size();
  return n;
}
uint64_t size_of(const ApplyMerge& m) { return ids_size(m.parts.size()) + 4 + 1 + 1 + 8 + 8 + m.dir.size(); }
uint64_t size_of(const PreStats& m) {
  uint64_t n = 8;
  for (const auto& [text, count] : m.stats) n += word_seq_size(text) + 4;
  return n;
}
uint64_t size_of(const Stats& m) {
  uint64_t n = 8;
  for (const auto& [key, stat] : m.stats) n += ids_size(key.size()) + 12;
  return n;
}
uint64_t size_of(const ApplyResult&) { return 8; }
uint64_t size_of(const Entries& m) { return entries_size(m.entries); }
uint64_t size_of(const ErrorReply& m) { return 8 + m.message.size(); }
template <typename T>
  requires std::is_empty_v<T>
uint64_t size_of(const T&) {
  return 0;
}

// ---- encoding ----

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) { put_le(out_, v); }
  void u64(uint64_t v) { put_le(out_, v); }
  void str(std::string_view s) {
    u64(s.size());
    out_.append(s);
  }
  void ids(std::span<const uint32_t> ids) {
    u64(ids.size());
    for (uint32_t id : ids) u32(id);
  }
  void entries(const std::vector<SeqEntry>& entries) {
    u64(entries.size());
    for (const SeqEntry& e : entries) {
      ids(e.tokens);
      u32(e.freq);
    }
  }
  // A normalised text as its list of one-character strings.
  void word_seq(const std::string& text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i += char_len(text, i)) ++count;
    u64(count);
    for (size_t i = 0; i < text.size();) {
      const size_t len = char_len(text, i);
      str(std::string_view(text).substr(i, len));
      i += len;
    }
  }

 private:
  std::string& out_;
};

void put(Writer& w, const Init& m) {
  w.entries(m.entries);
  w.u64(m.n_values.size());
  for (uint64_t n : m.n_values) w.u64(n);
}
void put(Writer& w, const Preprocess& m) {
  w.u64(m.texts.size());
  for (const std::string& t : m.texts) w.str(t);
}
void put(Writer& w, const ApplyMerge& m) {
  w.ids(m.parts);
  w.u32(m.new_id);
  w.u8(m.recompute_each_step);
  w.u8(m.use_diff);
  w.u64(m.buckets);
  w.str(m.dir);
}
void put(Writer& w, const PreStats& m) {
  w.u64(m.stats.size());
  for (const auto& [text, count] : m.stats) {
    w.word_seq(text);
    w.u32(count);
  }
}
void put(Writer& w, const Stats& m) {
  w.u64(m.stats.size());
  for (const auto& [key, stat] : m.stats) {
    w.ids(key);
    w.u32(stat.freq);
    w.u64(stat.score);
  }
}
void put(Writer& w, const ApplyResult& m) { w.u64(m.entry_count); }
void put(Writer& w, const Entries& m) { w.entries(m.entries); }
void put(Writer& w, const ErrorReply& m) { w.str(m.message); }
template <typename T>
  requires std::is_empty_v<T>
void put(Writer&, const T&) {}

template <typename Message>
uint64_t body_size_of(const Message& message) {
  return 4 + std::visit([](const auto& m) { return size_of(m); }, message);
}

template <typename Message>
std::string frame_of(const Message& message) {
  const uint64_t size = body_size_of(message);
  std::string out;
  out.reserve(8 + size);
  Writer w(out);
  w.u64(size);
  w.u32(static_cast<uint32_t>(message.index()));
  std::visit([&](const auto& m) { put(w, m); }, message);
  return out;
}

// ---- decoding ----

// What a list may reserve before its elements arrive: at most its cap, and no more elements
// than the bytes left could hold at their smallest size.
struct ListLimit {
  size_t cap;
  size_t min_bytes;
};
constexpr ListLimit CAP_ENTRIES{32768, 12};  // lists of SeqEntry and of word-sequence pairs
constexpr ListLimit CAP_STRINGS{43690, 8};
constexpr ListLimit CAP_U64{131072, 8};
constexpr ListLimit CAP_IDS{262144, 4};
constexpr ListLimit CAP_MAP{4096, 20};

class Reader {
 public:
  explicit Reader(std::span<const char> body) : rest_(std::string_view(body.data(), body.size())) {}

  Result<uint64_t> u64() { return fixed<uint64_t>(); }
  Result<uint32_t> u32() { return fixed<uint32_t>(); }
  Result<bool> flag() {
    auto b = fixed<uint8_t>();
    if (!b) return std::unexpected(std::move(b.error()));
    if (*b > 1) {
      return fail(fmt::format("invalid u8 while decoding bool, expected 0 or 1, found {}", *b));
    }
    return *b == 1;
  }
  Result<std::string> str() {
    auto n = u64();
    if (!n) return std::unexpected(std::move(n.error()));
    std::string_view bytes;
    if (*n > rest_.left() || !rest_.take_bytes(bytes, static_cast<size_t>(*n))) return eof();  // no cut to size_t
    if (auto bad = first_invalid_utf8(bytes); bad != std::string_view::npos) {
      return fail(fmt::format("string is not valid utf8: invalid utf-8 sequence at byte {}", bad));
    }
    return std::string(bytes);
  }
  Result<TokenIds> ids() {
    TokenIds out;
    auto ok = list(CAP_IDS, out, [&]() -> Result<void> {
      auto id = u32();
      if (!id) return std::unexpected(std::move(id.error()));
      out.push_back(*id);
      return {};
    });
    if (!ok) return std::unexpected(std::move(ok.error()));
    return out;
  }
  Result<std::vector<SeqEntry>> entries() {
    std::vector<SeqEntry> out;
    auto ok = list(CAP_ENTRIES, out, [&]() -> Result<void> {
      auto tokens = ids();
      if (!tokens) return std::unexpected(std::move(tokens.error()));
      auto freq = u32();
      if (!freq) return std::unexpected(std::move(freq.error()));
      out.push_back(SeqEntry{std::move(*tokens), *freq});
      return {};
    });
    if (!ok) return std::unexpected(std::move(ok.error()));
    return out;
  }

  // Reads a count, reserves within `limit`, then calls `element` count times.
  template <typename Container, typename F>
  Result<void> list(ListLimit limit, Container& out, F&& element) {
    auto n = u64();
    if (!n) return std::unexpected(std::move(n.error()));
    out.reserve(std::min({static_cast<size_t>(std::min<uint64_t>(*n, limit.cap)),
                          rest_.left() / limit.min_bytes}));
    for (uint64_t i = 0; i < *n; ++i) {
      if (auto ok = element(); !ok) return ok;
    }
    return {};
  }

  static std::unexpected<Error> eof() { return fail("io error: unexpected end of file"); }

 private:
  template <typename T>
  Result<T> fixed() {
    T v = 0;
    if (!rest_.take(v)) return eof();
    return v;
  }

  LeReader rest_;
};

#define ZK_TRY(var, expr)                                           \
  auto var = (expr);                                                \
  if (!var) return std::unexpected(std::move(var.error()))

Result<uint32_t> variant_index(Reader& r) {
  ZK_TRY(index, r.u32());
  if (*index > 5) {
    return fail(fmt::format("invalid value: integer `{}`, expected variant index 0 <= i < 6", *index));
  }
  return *index;
}

Result<WorkerRequest> read_request(Reader& r) {
  ZK_TRY(index, variant_index(r));
  switch (*index) {
    case 0: {
      Init m;
      ZK_TRY(entries, r.entries());
      m.entries = std::move(*entries);
      ZK_TRY(ok, r.list(CAP_U64, m.n_values, [&]() -> Result<void> {
        ZK_TRY(n, r.u64());
        m.n_values.push_back(*n);
        return {};
      }));
      return m;
    }
    case 1: {
      Preprocess m;
      ZK_TRY(ok, r.list(CAP_STRINGS, m.texts, [&]() -> Result<void> {
        ZK_TRY(text, r.str());
        m.texts.push_back(std::move(*text));
        return {};
      }));
      return m;
    }
    case 2:
      return ComputeStats{};
    case 3: {
      ApplyMerge m;
      ZK_TRY(parts, r.ids());
      ZK_TRY(new_id, r.u32());
      ZK_TRY(recompute, r.flag());
      ZK_TRY(use_diff, r.flag());
      ZK_TRY(buckets, r.u64());
      ZK_TRY(dir, r.str());
      m.parts = std::move(*parts);
      m.new_id = *new_id;
      m.recompute_each_step = *recompute;
      m.use_diff = *use_diff;
      m.buckets = *buckets;
      m.dir = std::move(*dir);
      return m;
    }
    case 4:
      return DumpEntries{};
    default:
      return Shutdown{};
  }
}

Result<WorkerResponse> read_response(Reader& r) {
  ZK_TRY(index, variant_index(r));
  switch (*index) {
    case 0:
      return Ack{};
    case 1: {
      PreStats m;
      ZK_TRY(ok, r.list(CAP_ENTRIES, m.stats, [&]() -> Result<void> {
        std::string text;  // the characters are joined as they arrive
        ZK_TRY(chars, r.list(CAP_STRINGS, text, [&]() -> Result<void> {
          ZK_TRY(c, r.str());
          text += *c;
          return {};
        }));
        ZK_TRY(count, r.u32());
        m.stats.emplace_back(std::move(text), *count);
        return {};
      }));
      return m;
    }
    case 2: {
      Stats m;
      ZK_TRY(ok, r.list(CAP_MAP, m.stats, [&]() -> Result<void> {
        ZK_TRY(key, r.ids());
        ZK_TRY(freq, r.u32());
        ZK_TRY(score, r.u64());
        m.stats.insert_or_assign(NgramKey(key->begin(), key->end()), Stat{*freq, *score});
        return {};
      }));
      return m;
    }
    case 3: {
      ZK_TRY(count, r.u64());
      return ApplyResult{*count};
    }
    case 4: {
      ZK_TRY(entries, r.entries());
      return Entries{std::move(*entries)};
    }
    default: {
      ZK_TRY(text, r.str());
      return ErrorReply{std::move(*text)};
    }
  }
}

#undef ZK_TRY

// ---- debug rendering ----

std::string render_stats(const StatsMap& stats) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, stat] : stats) {
    out += first ? "" : ", ";
    first = false;
    out += debug_list(key) + ": " + debug_string(stat);
  }
  return out + "}";
}

std::string render_word_seqs(const std::vector<WordSeqCount>& pairs) {
  std::string out = "[";
  for (size_t p = 0; p < pairs.size(); ++p) {
    if (p) out += ", ";
    out += "([";
    const std::string& text = pairs[p].first;
    for (size_t i = 0, n = 0; i < text.size(); ++n) {
      const size_t len = char_len(text, i);
      out += (n ? ", " : "") + debug_quoted(std::string_view(text).substr(i, len));
      i += len;
    }
    out += fmt::format("], {})", pairs[p].second);
  }
  return out + "]";
}

std::string render_entries(const std::vector<SeqEntry>& entries) {
  std::string out = "[";
  for (size_t i = 0; i < entries.size(); ++i) out += (i ? ", " : "") + debug_string(entries[i]);
  return out + "]";
}

}  // namespace

uint64_t body_size(const WorkerRequest& message) { return body_size_of(message); }
uint64_t body_size(const WorkerResponse& message) { return body_size_of(message); }
std::string encode_frame(const WorkerRequest& message) { return frame_of(message); }
std::string encode_frame(const WorkerResponse& message) { return frame_of(message); }

Result<WorkerRequest> decode_request(std::span<const char> body) {
  Reader r(body);
  return read_request(r);
}

Result<WorkerResponse> decode_response(std::span<const char> body) {
  Reader r(body);
  return read_response(r);
}

std::string debug_string(const WorkerResponse& message) {
  struct Render {
    std::string operator()(const Ack&) const { return "Ack"; }
    std::string operator()(const PreStats& m) const {
      return "PreStats { stats: " + render_word_seqs(m.stats) + " }";
    }
    std::string operator()(const Stats& m) const { return "Stats { stats: " + render_stats(m.stats) + " }"; }
    std::string operator()(const ApplyResult& m) const {
      return fmt::format("ApplyResult {{ entry_count: {} }}", m.entry_count);
    }
    std::string operator()(const Entries& m) const {
      return "Entries { entries: " + render_entries(m.entries) + " }";
    }
    std::string operator()(const ErrorReply& m) const { return "Error(" + debug_quoted(m.message) + ")"; }
  };
  return std::visit(Render{}, message);
}

}  // namespace zelkor::mp
