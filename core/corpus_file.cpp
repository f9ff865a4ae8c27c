// Corpus file reader.
#include "core/corpus_file.hpp"

#include "core/file_io.hpp"
#include "core/interrupt.hpp"
#include "core/unicode.hpp"

namespace zelkor {
namespace {

// Keeps `line` unless it is blank; false when it is not valid UTF-8.
bool keep_line(std::string_view line, CorpusLines& out) {
  if (!is_valid_utf8(line)) return false;
  if (!trim_white_space(line).empty()) {
    out.total_chars += utf8_count(line);
    out.lines.emplace_back(line);
  }
  return true;
}

}  // namespace

Result<CorpusLines> read_corpus_lines(const std::string& path) {
  auto file = File::open_read(path);
  if (!file) return std::unexpected(std::move(file.error()));
  CorpusLines out;
  std::string pending;  // the current line's bytes read so far
  char buffer[8192];
  const bool may_wait = !file->is_regular();  // only a pipe's read needs its interrupt polls
  auto invalid = [] { return fail("stream did not contain valid UTF-8"); };
  while (true) {
    auto n = file->read_some(buffer, may_wait);
    if (!n) return std::unexpected(std::move(n.error()));
    if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
    if (*n == 0) break;
    std::string_view chunk(buffer, *n);
    size_t newline;
    while ((newline = chunk.find('\n')) != std::string_view::npos) {
      pending.append(chunk.substr(0, newline));
      chunk.remove_prefix(newline + 1);
      std::string_view line = pending;
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (!keep_line(line, out)) return invalid();
      pending.clear();
    }
    pending.append(chunk);
  }
  if (!pending.empty() && !keep_line(pending, out)) return invalid();
  return out;
}

}  // namespace zelkor
