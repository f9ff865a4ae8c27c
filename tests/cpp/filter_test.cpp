// Candidate filter: the punctuation rule with its single-word exceptions and cross-word rule, the
// word, length and class limits, the single-trailing-end test and the alphanumeric class.
#include "core/filter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cpp/support/fixtures.hpp"

namespace zelkor {
namespace {

using testing::key_of;

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
    NgramKey key = key_of(in, row.key);
    uint64_t vocab = row.vocab != 0 ? row.vocab : vocab_size_with_specials(in);
    EXPECT_EQ(passes_candidate_filter(key, row.config, in, vocab), row.passes);
    if (punct_only) {
      EXPECT_EQ(ngram_has_forbidden_punct(key, row.config, in.flags, in.id_to_token), !row.passes);
    }
  }
}

const TrainConfig P{.forbid_punct_tokens = true};

TEST(PunctRule, OtherClassCharacterRejectedWithoutExceptions) {
  run({{P, "a|,", false},
       {P, ",", false},
       {P, ",|_", false},
       {P, "hello,_|world_", false},
       {P, "hel|lo_", true},   // U+0120 is not an other-class character
       {P, "_|_", true},
       {TrainConfig{}, "a|,", true}},  // rule off
      true);
}

TEST(PunctRule, SpacePunctException) {
  const TrainConfig c = with(P, &TrainConfig::allow_space_punct_tokens);
  run({{c, ",|_", true},
       {c, ",|._", true},
       {c, "..._", true},
       {c, "a|,_", false},   // alphanumeric present
       {c, ",_|,", false},   // end mark not at the end
       {c, ",_|._", false},  // an earlier id holds U+0120
       {c, ",|,__", false},  // last id holds U+0120 twice
       {c, ",|_|_", false}},
      true);
}

TEST(PunctRule, AbbrevException) {
  const TrainConfig c = with(P, &TrainConfig::allow_abbrev_tokens);
  run({{c, "e|.|g|._", true},
       {c, "e|.|g_", true},
       {c, "a." + rep(22, 'a') + "_", true},  // 24 characters
       {c, "a." + rep(23, 'a') + "_", false},
       {c, "..|._", false},  // no alphanumeric
       {c, "e.g-x_", false},
       {c, "e|.|g", false}},  // no trailing end
      true);
}

TEST(PunctRule, HyphenException) {
  const TrainConfig c = with(P, &TrainConfig::allow_hyphen_tokens);
  run({{c, "well|-|known_", true},
       {c, "-|well_", false},
       {c, "well|-_", false},
       {c, "a-" + rep(30, 'a') + "_", true},  // 32 characters
       {c, "a-" + rep(31, 'a') + "_", false},
       {c, "well\xE2\x80\x90known_", false}},  // U+2010 is not a hyphen-minus
      true);
}

TEST(PunctRule, ApostropheException) {
  const TrainConfig c = with(P, &TrainConfig::allow_apostrophe_tokens);
  run({{c, "don|'|t_", true},
       {c, "dogs'_", true},
       {c, "'|'_", false},
       {c, "a'" + rep(30, 'a') + "_", true},  // 32 characters
       {c, "a'" + rep(31, 'a') + "_", false},
       {c, "don\xE2\x80\x99t_", false}},  // U+2019 is not an apostrophe
      true);
}

TEST(PunctRule, WordFinalPunctException) {
  const TrainConfig c = with(P, &TrainConfig::allow_word_final_punct_tokens);
  run({{c, "end|?!_", true},
       {c, "end|?!?_", true},
       {c, "end|?!?!_", false},  // run of 4
       {c, "?|!_", false},       // nothing before the run
       {c, "a|(_", false},       // U+0028 not in the set
       {c, "a(|)_", false},      // stem not alphanumeric
       {c, "end}_", true},
       {c, "\xE6\x97\xA5\xE6\x9C\xAC|,_", true},  // non-ASCII stem
       {c, rep(31, 'a') + ",_", true},            // 32 characters
       {c, rep(32, 'a') + ",_", false}},
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
    for (const auto& [key_flag, key] : cases) rows.push_back({with(P, flag), key, flag == key_flag});
  }
  run(rows, true);
}

TEST(PunctRule, CrossWordRule) {
  const TrainConfig c = with(P, &TrainConfig::allow_cross_word_punct_word_mix_tokens);
  const TrainConfig c_wf = with(c, &TrainConfig::allow_word_final_punct_tokens);
  const std::string w39 = rep(39, 'a') + ",";
  run({{c, "hello,_|world_", true},
       {c, "hello,_", false},       // one word
       {c, "hello,_|wor", false},   // ends inside a word
       {c, "_|a,_|b_", false},      // empty first word
       {c, "a,__|b_", false},       // empty word in the middle
       {c, "ok_|,_", true},
       {c, "..._|ok_", true},
       {c, "!!!!!!_|ok_", true},    // punctuation word of 6
       {c, "!!!!!!!_|ok_", false},  // of 7
       {c, "(ok)_|ok_", false},
       {c, "-ok_|ok_", false},
       {c, "a." + rep(22, 'a') + "_|ok_", true},  // abbreviation of 24
       {c, "a." + rep(23, 'a') + "_|ok_", false},
       {c, "a-" + rep(30, 'a') + "_|ok_", true},  // hyphenated word of 32
       {c, "a-" + rep(31, 'a') + "_|ok_", false},
       {c, "a'" + rep(30, 'a') + "_|ok_", true},  // apostrophe word of 32
       {c, "a'" + rep(31, 'a') + "_|ok_", false},
       {c, "ok?!?_|ok_", true},
       {c, "ok?!?!_|ok_", false},
       {c, w39 + "_|ok_", true},  // closing punctuation allows 48 across words
       {P, w39 + "_", false},
       {with(P, &TrainConfig::allow_word_final_punct_tokens), w39 + "_", false},
       {c, rep(47, 'a') + ",_|ok_", true},  // 48 characters
       {c, rep(48, 'a') + ",_|ok_", false},
       {c, rep(48, 'a') + "_|ok,_", true},
       {c, rep(49, 'a') + "_|ok,_", false},
       {c, "\xE6\x97\xA5\xE6\x9C\xAC,_|\xE8\xAA\x9E_", true},
       {c_wf, "hello,_", true}},  // a single-word exception still applies
      true);
}

TEST(Limits, MaxTokenWords) {
  const TrainConfig one{.max_token_words = 1};
  const TrainConfig w255{.max_token_words = 255};
  const TrainConfig w254{.max_token_words = 254};
  const std::string ends300 = rep(200, '_') + "|" + rep(100, '_');  // sum saturates at 255
  run({{one, "a_|b_", false},
       {one, "a__", false},
       {one, "a_|b", true},
       {one, "a|b", true},
       {w255, ends300, true},
       {w254, ends300, false}},
      false);
}

TEST(Limits, CrossWordStartVocab) {
  const TrainConfig c{.cross_word_start_vocab = 1000};
  run({{c, "a_|b_", false, 999},
       {c, "a__", false, 999},
       {c, "a_|b", true, 999},
       {c, "a|b", true, 999},
       {c, "a_|b_", true, 1000},
       {c, "a__", true, 1000}},
      false);
}

TEST(Limits, ForbidIncompleteCrossWord) {
  const TrainConfig c{.forbid_incomplete_cross_word = true};
  run({{c, "a_|b", false}, {c, "_|a", false}, {c, "a|b_", true}, {c, "a|b", true}}, false);
}

TEST(Limits, MaxTokenChars) {
  const TrainConfig c{.max_token_chars = 3};
  run({{c, "ab|cd", false},
       {c, "ab|x", true},
       {c, "\xE6\x97\xA5\xE6\x9C\xAC|\xE8\xAA\x9E", true},  // 3 characters, 9 bytes
       {c, "\xE6\x97\xA5\xE6\x9C\xAC|\xE8\xAA\x9Ex", false},
       {c, "ab|_", true}},
      false);
}

TEST(Limits, ForbidPunctWordMix) {
  const TrainConfig c{.forbid_punct_word_mix = true};
  run({{c, "a|,", false},  // no single id mixes the classes
       {c, "a,", false},
       {c, ",|.", true},
       {c, "a|b", true},
       {c, "a_|b_", true}},  // U+0120 is neither class
      false);
}

TEST(Filter, EmptyKeyPassesEverything) {
  TrainConfig c{.max_token_chars = 1, .cross_word_start_vocab = 1000, .max_token_words = 1,
                .forbid_punct_word_mix = true, .forbid_punct_tokens = true,
                .forbid_incomplete_cross_word = true};
  Interner in;
  EXPECT_TRUE(passes_candidate_filter({}, c, in, 5));
  EXPECT_FALSE(ngram_has_forbidden_punct({}, c, in.flags, in.id_to_token));
  EXPECT_FALSE(ngram_has_single_trailing_end({}, in.flags, in.id_to_token));
}

TEST(Filter, SingleTrailingEnd) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"a|b_", true}, {"_", true},      {"a|,|._", true}, {"a_|b_", false},
      {"a_|b", false}, {"a|b__", false}, {"a|_b", false},  {"a|b", false}};
  for (const auto& [spec, expected] : rows) {
    SCOPED_TRACE(spec);
    Interner in;
    EXPECT_EQ(ngram_has_single_trailing_end(key_of(in, spec), in.flags, in.id_to_token), expected);
  }
}

TEST(Filter, AllAlphanumeric) {
  const std::vector<std::pair<std::u32string, bool>> rows = {
      {U"", true},
      {U"azAZ09", true},
      {U"\u65E5\u672C", true},  // CJK letters
      {U"\u0663\u0664", true},  // Arabic-Indic digits (Nd)
      {U"\u216B", true},        // Roman numeral (Nl)
      {U"\u00B2", true},        // superscript two (No)
      {U"\u00E9", true},
      {U"a-b", false},
      {U"a b", false},
      {U"@", false}, {U"[", false}, {U"`", false}, {U"{", false}, {U"/", false}, {U":", false},
      {U"a\u20AC", false},  // euro sign
      {U"\u3002", false}};  // ideographic full stop
  for (const auto& [chars, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::vector<uint32_t>(chars.begin(), chars.end())));
    EXPECT_EQ(all_alphanumeric(chars), expected);
  }
}

}  // namespace
}  // namespace zelkor
