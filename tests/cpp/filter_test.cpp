// Candidate filter: the punctuation rule with its single-word exceptions and cross-word rule, the
// word, length and class limits.
#include "core/filter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cpp/support/fixtures.hpp"

namespace zelkor {
namespace {

struct Row {
  TrainConfig config;
  std::string key;  // ids separated by "|", "_" for U+0120
  bool passes;
  uint64_t vocab = 0;  // vocab_size passed to the filter; 0: that of the fresh interner
};

std::string rep(size_t n, char c) { return std::string(n, c); }

TrainConfig with(TrainConfig c, bool TrainConfig::*flag) {
  c.*flag = true;
  return c;
}

// Each row runs on a fresh interner. With `punct_only` the rows set no limit besides the
// punctuation rule, so that rule alone must agree with the whole filter.
void run(const std::vector<Row>& rows, bool punct_only) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    Interner in;
    const NgramKey key = testing::key_of(in, row.key);
    const uint64_t vocab = row.vocab != 0 ? row.vocab : vocab_size_with_specials(in);
    EXPECT_EQ(passes_candidate_filter(key, row.config, in, vocab), row.passes);
    if (punct_only) {
      EXPECT_EQ(ngram_has_forbidden_punct(key, row.config, in.flags, in.id_to_token), !row.passes);
    }
  }
}

const TrainConfig P{.forbid_punct_tokens = true};

TEST(PunctRule, SingleWordExceptions) {
  const TrainConfig sp = with(P, &TrainConfig::allow_space_punct_tokens);
  const TrainConfig ab = with(P, &TrainConfig::allow_abbrev_tokens);
  const TrainConfig hy = with(P, &TrainConfig::allow_hyphen_tokens);
  const TrainConfig ap = with(P, &TrainConfig::allow_apostrophe_tokens);
  const TrainConfig wf = with(P, &TrainConfig::allow_word_final_punct_tokens);
  run({{P, "a|,", false}, {P, ",|_", false}, {P, "hel|lo_", true},  // U+0120 is not punctuation
       {TrainConfig{}, "a|,", true},                                  // rule off
       {sp, ",|._", true}, {sp, "..._", true}, {sp, "a|,_", false},  // alphanumeric present
       {sp, ",_|,", false}, {sp, ",_|._", false}, {sp, ",|,__", false},
       {sp, ",|_,", false}, {sp, ",|_|_", false},  // end marks elsewhere than once at the end
       {ab, "e|.|g|._", true}, {ab, "e|.|g", false}, {ab, "..|._", false},
       {ab, "a." + rep(22, 'a') + "_", true}, {ab, "a." + rep(23, 'a') + "_", false},
       {hy, "well|-|known_", true}, {hy, "-|well_", false}, {hy, "well|-_", false},
       {hy, "a-" + rep(30, 'a') + "_", true}, {hy, "a-" + rep(31, 'a') + "_", false},
       {hy, "well\xE2\x80\x90known_", false},  // U+2010 is not a hyphen-minus
       {ap, "don|'|t_", true}, {ap, "dogs'_", true}, {ap, "'|'_", false},
       {ap, "a'" + rep(30, 'a') + "_", true}, {ap, "a'" + rep(31, 'a') + "_", false},
       {wf, "end|?!?_", true}, {wf, "end|?!?!_", false},  // runs of 3 and 4
       {wf, "?|!_", false}, {wf, "a|(_", false}, {wf, "a(|)_", false}, {wf, "end}_", true},
       {wf, "\xE6\x97\xA5\xE6\x9C\xAC|,_", true},  // non-ASCII stem
       {wf, rep(31, 'a') + ",_", true}, {wf, rep(32, 'a') + ",_", false}},
      true);
}

// Each exception's key is accepted by its own flag and by no other one.
TEST(PunctRule, EachExceptionAnswersOnlyToItsFlag) {
  const std::vector<std::pair<bool TrainConfig::*, std::string>> cases = {
      {&TrainConfig::allow_space_punct_tokens, ",|._"},
      {&TrainConfig::allow_abbrev_tokens, "e|.|g|._"},
      {&TrainConfig::allow_hyphen_tokens, "well|-|known_"},
      {&TrainConfig::allow_apostrophe_tokens, "don|'|t_"},
      {&TrainConfig::allow_word_final_punct_tokens, "end|?!_"}};
  std::vector<Row> rows;
  for (const auto& [flag, _] : cases) {
    for (const auto& [own, key] : cases) rows.push_back({with(P, flag), key, flag == own});
  }
  run(rows, true);
}

TEST(PunctRule, CrossWordRule) {
  const TrainConfig c = with(P, &TrainConfig::allow_cross_word_punct_word_mix_tokens);
  const std::string w39 = rep(39, 'a') + ",";
  run({{c, "hello,_|world_", true}, {P, "hello,_|world_", false},
       {c, "hello,_", false},                       // one word
       {c, "hello,_|wor", false},                   // ends inside a word
       {c, "_|a,_|b_", false}, {c, "a,__|b_", false},  // empty words
       {c, "..._|ok_", true}, {c, "!!!!!!_|ok_", true}, {c, "!!!!!!!_|ok_", false},
       {c, "(ok)_|ok_", false}, {c, "-ok_|ok_", false},
       {c, "a.b_|ok_", true}, {c, "well-known_|ok_", true}, {c, "don't_|ok_", true},
       {c, "a-" + rep(30, 'a') + "_|ok_", true}, {c, "a-" + rep(31, 'a') + "_|ok_", false},
       {c, "a'" + rep(30, 'a') + "_|ok_", true}, {c, "a'" + rep(31, 'a') + "_|ok_", false},
       {c, "ok?!?_|ok_", true}, {c, "ok?!?!_|ok_", false},
       {c, w39 + "_|ok_", true},  // closing punctuation allows 48 characters across words
       {with(P, &TrainConfig::allow_word_final_punct_tokens), w39 + "_", false},
       {c, rep(47, 'a') + ",_|ok_", true}, {c, rep(48, 'a') + ",_|ok_", false},
       {c, rep(48, 'a') + "_|ok,_", true}, {c, rep(49, 'a') + "_|ok,_", false},
       {c, "\xE6\x97\xA5\xE6\x9C\xAC,_|\xE8\xAA\x9E_", true},
       {with(c, &TrainConfig::allow_word_final_punct_tokens), "hello,_", true}},
      true);
}

TEST(Limits, WordsVocabularyCharsAndClasses) {
  const TrainConfig one{.max_token_words = 1}, w254{.max_token_words = 254};
  const TrainConfig vocab{.cross_word_start_vocab = 1000};
  const TrainConfig incomplete{.forbid_incomplete_cross_word = true};
  const TrainConfig chars{.max_token_chars = 3};
  const TrainConfig mix{.forbid_punct_word_mix = true};
  const std::string ends300 = rep(200, '_') + "|" + rep(100, '_');  // sum saturates at 255
  run({{one, "a_|b_", false}, {one, "a__", false}, {one, "a_|b", true},
       {w254, ends300, false}, {TrainConfig{.max_token_words = 255}, ends300, true},
       {vocab, "a_|b_", false, 999}, {vocab, "a__", false, 999}, {vocab, "a_|b", true, 999},
       {vocab, "a_|b_", true, 1000},
       {incomplete, "a_|b", false}, {incomplete, "_|a", false}, {incomplete, "a|b_", true},
       {incomplete, "a|b", true},
       {chars, "ab|cd", false}, {chars, "ab|_", true},
       {chars, "\xE6\x97\xA5\xE6\x9C\xAC|\xE8\xAA\x9E", true},  // 3 characters, 9 bytes
       {chars, "\xE6\x97\xA5\xE6\x9C\xAC|\xE8\xAA\x9Ex", false},
       {mix, "a|,", false}, {mix, ",|.", true}, {mix, "a_|b_", true}},  // U+0120 is neither
      false);
}

}  // namespace
}  // namespace zelkor
