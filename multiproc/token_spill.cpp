// The symbol spill: written through one buffer per file, read back file by file in parallel.
#include "multiproc/token_spill.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "core/debug_fmt.hpp"
#include "core/env.hpp"
#include "core/file_io.hpp"
#include "core/log.hpp"
#include "core/unicode.hpp"
#include "multiproc/private_dir.hpp"

namespace zelkor::mp {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* TAG = "build_vocab_mp";
constexpr size_t BUFFER_BYTES = 8192;
constexpr uint64_t PROGRESS_EVERY = 1000000;

// The 2048 files, each behind a buffer of its own. A full buffer is appended to its file, which
// is open only for that: holding all 2048 open would exceed the usual limit of 1024 descriptors.
class SpillFiles {
 public:
  // Creates every file, empty, in `dir`.
  static Result<SpillFiles> create(const std::string& dir) {
    SpillFiles files;
    for (uint64_t i = 0; i < SPILL_FILES; ++i) {
      files.paths_.push_back((std::filesystem::path(dir) / fmt::format("bucket_{}.txt", i)).string());
      auto file = File::open_write(files.paths_.back(), WriteMode::Truncate, 0600);
      if (!file) return std::unexpected(file.error());
      if (auto closed = file->close(); !closed) return std::unexpected(closed.error());
    }
    files.buffers_.resize(SPILL_FILES);
    return files;
  }

  // Appends one record: the symbol and a line feed.
  Result<void> add(uint64_t file, std::string_view symbol) {
    std::string& buffer = buffers_[file];
    if (buffer.size() + symbol.size() + 1 > BUFFER_BYTES) {
      if (auto flushed = flush(file); !flushed) return flushed;
    }
    buffer.append(symbol);
    buffer.push_back('\n');
    return {};
  }

  Result<void> flush_all() {
    for (uint64_t i = 0; i < SPILL_FILES; ++i) {
      if (auto flushed = flush(i); !flushed) return flushed;
    }
    return {};
  }

  const std::vector<std::string>& paths() const { return paths_; }

 private:
  Result<void> flush(uint64_t file) {
    std::string& buffer = buffers_[file];
    if (buffer.empty()) return {};
    auto out = File::open_write(paths_[file], WriteMode::Append, 0600);
    if (!out) return std::unexpected(out.error());
    auto written = out->write_all(buffer);
    if (written) written = out->close();
    buffer.clear();
    return written;
  }

  std::vector<std::string> paths_;
  std::vector<std::string> buffers_;
};

// Writes every symbol occurrence of the keys of `maps` to the file its hash picks; the number
// written.
Result<uint64_t> spill(std::span<const SeqCounts> maps, SpillFiles& files, Clock::time_point t0) {
  const SeededHash hash;  // the symbol hasher of this call
  constexpr uint64_t mask = SPILL_FILES - 1;
  std::array<uint64_t, 128> ascii_file{};
  for (size_t c = 0; c < ascii_file.size(); ++c) {
    const char byte = static_cast<char>(c);
    ascii_file[c] = hash(std::string_view(&byte, 1)) & mask;
  }
  uint64_t tokens = 0;
  for (const SeqCounts& counts : maps) {
    for (const auto& [key, count] : counts) {
      for (size_t i = 0; i < key.size();) {
        const auto lead = static_cast<unsigned char>(key[i]);
        const size_t len = lead < 0x80 ? 1 : std::min(utf8_len(lead), key.size() - i);
        const std::string_view symbol(key.data() + i, len);
        const uint64_t file = lead < 0x80 ? ascii_file[lead] : hash(symbol) & mask;
        if (auto added = files.add(file, symbol); !added) return std::unexpected(added.error());
        i += len;
        if (++tokens % PROGRESS_EVERY == 0) {
          log_at(3, TAG, "token spill progress tokens={} elapsed_total={:.2f}s", tokens, elapsed_seconds(t0));
        }
      }
    }
  }
  if (auto flushed = files.flush_all(); !flushed) return std::unexpected(flushed.error());
  return tokens;
}

// Every file's set, concatenated in file order (a symbol lives in one file only).
Result<std::vector<std::string>> read_back(const std::vector<std::string>& paths, Clock::time_point t0) {
  std::vector<Result<StringSet>> sets(paths.size());
  tbb::parallel_for(tbb::blocked_range<size_t>(0, paths.size()), [&](const tbb::blocked_range<size_t>& range) {
    for (size_t i = range.begin(); i != range.end(); ++i) sets[i] = read_bucket_sets(paths[i], t0);
  });
  size_t total = 0;
  for (const Result<StringSet>& set : sets) {
    if (!set) return std::unexpected(set.error());
    total += set->size();
  }
  std::vector<std::string> out;
  out.reserve(total);
  for (Result<StringSet>& set : sets) {
    for (auto it = set->begin(); it != set->end();) out.push_back(std::move(set->extract(it++).value()));
  }
  return out;
}

}  // namespace

std::string spill_dir_name(pid_t pid, float elapsed, unsigned attempt) {
  return fmt::format("zk_tok_buckets_{}_{}", pid, std::bit_cast<uint32_t>(elapsed) + attempt);
}

Result<StringSet> read_bucket_sets(const std::string& path, Clock::time_point t0) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size == 0) {
    log_at(3, TAG, "warn: empty bucket file {} (elapsed_total={:.2f}s)", debug_quoted(path), elapsed_seconds(t0));
  }
  auto text = read_file(path);
  if (!text) return std::unexpected(text.error());
  if (!is_valid_utf8(*text)) return fail("stream did not contain valid UTF-8");
  StringSet set;
  for (std::string_view rest = *text; !rest.empty();) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!set.contains(line)) set.emplace(std::string(line));  // the key built before its slot
  }
  return set;
}

Result<std::vector<std::string>> distinct_symbols(std::span<const SeqCounts> maps, Clock::time_point t0) {
  uint64_t unique_seqs = 0;
  for (const SeqCounts& counts : maps) unique_seqs += counts.size();
  log_at(2, TAG, "token spill start unique_seqs={} elapsed_total={:.2f}s", unique_seqs, elapsed_seconds(t0));
  // Created exclusively and private: nothing another user planted at the name is used.
  const float elapsed = elapsed_seconds(t0);
  auto dir = PrivateDir::create(system_temp_dir(), [&](unsigned attempt) {
    return spill_dir_name(::getpid(), elapsed, attempt);
  });
  if (!dir) return std::unexpected(dir.error());
  auto files = SpillFiles::create(dir->path());
  if (!files) return std::unexpected(files.error());
  auto tokens = spill(maps, *files, t0);
  if (!tokens) return std::unexpected(tokens.error());
  log_at(2, TAG, "token spill done tokens={} buckets={} elapsed_total={:.2f}s", *tokens, SPILL_FILES,
         elapsed_seconds(t0));
  log_resources("after_token_spill", t0);
  const auto read_start = Clock::now();
  auto symbols = read_back(files->paths(), t0);
  dir->remove();
  if (!symbols) return symbols;
  log_at(2, TAG, "token buckets dedup done unique_tokens={} buckets={} elapsed={:.2f}s", symbols->size(),
         SPILL_FILES, elapsed_seconds(read_start));
  log_resources("after_token_dedup", t0);
  return symbols;
}

}  // namespace zelkor::mp
