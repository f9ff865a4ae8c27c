// Tokenizer directory writer.
#include "export/hf_export.hpp"

#include <algorithm>

#include "core/interner.hpp"
#include "export/json_writer.hpp"
#include "export/replace_files.hpp"
#include "export/templates.hpp"

namespace zelkor::hf_export {
namespace {

Json str(std::string_view s) { return Json{std::string(s)}; }

Json tokenizer_config() {
  return Json{Json::Object{
      {"auto_map",
       Json{Json::Object{{"AutoTokenizer", Json{Json::Array{str("tokenization_zelkor.Zelkor"),
                                                            Json{nullptr}}}}}}},
      {"bos_token", str("<s>")},
      {"eos_token", str("</s>")},
      {"mask_token", str("<mask>")},
      {"model_max_length", Json{uint64_t{1000000000}}},
      {"pad_token", str("<pad>")},
      {"tokenizer_class", str("Zelkor")},
      {"unk_token", str("<unk>")},
  }};
}

Json special_tokens_map() {
  return Json{Json::Object{
      {"bos_token", str("<s>")},
      {"eos_token", str("</s>")},
      {"mask_token", str("<mask>")},
      {"pad_token", str("<pad>")},
      {"unk_token", str("<unk>")},
  }};
}

}  // namespace

uint32_t special_rank(std::string_view text) {
  for (uint32_t rank = 0; rank < SPECIAL_TOKENS.size(); ++rank) {
    if (SPECIAL_TOKENS[rank] == text) return rank;
  }
  return 100;
}

bool export_token_less(std::string_view a, std::string_view b) {
  const uint32_t ra = special_rank(a), rb = special_rank(b);
  if (ra != rb) return ra < rb;
  return a < b;  // string_view compares bytes as unsigned char
}

Result<StringMap<uint32_t>> export_from_trained(std::span<const std::string> tokens,
                                                const std::string& out_dir) {
  std::vector<std::string_view> texts(tokens.begin(), tokens.end());
  texts.insert(texts.end(), SPECIAL_TOKENS.begin(), SPECIAL_TOKENS.end());
  std::sort(texts.begin(), texts.end(), export_token_less);
  texts.erase(std::unique(texts.begin(), texts.end()), texts.end());

  StringMap<uint32_t> ids;
  ids.reserve(texts.size());
  Json::Object vocab;
  for (size_t i = 0; i < texts.size(); ++i) {
    ids.emplace(std::string(texts[i]), static_cast<uint32_t>(i));
    vocab.emplace_hint(vocab.end(), std::string(texts[i]), Json{uint64_t{i}});
  }

  const std::string vocab_text = json_file_text(Json{std::move(vocab)});
  const std::string config_text = json_file_text(tokenizer_config());
  const std::string specials_text = json_file_text(special_tokens_map());
  const NamedContent files[] = {{"vocab.json", vocab_text},
                                {"tokenizer_config.json", config_text},
                                {"special_tokens_map.json", specials_text},
                                {"tokenization_zelkor.py", templates::COMPANION_MODULE_TEXT},
                                {"README.md", templates::README_TEXT}};
  if (auto written = replace_files(out_dir, files); !written) return std::unexpected(std::move(written.error()));
  return ids;
}

}  // namespace zelkor::hf_export
