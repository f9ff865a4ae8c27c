// TrainConfig: the configuration of one training call, copied whole into the trainer.
#pragma once

#include <cstdint>
#include <vector>

namespace zelkor {

struct TrainConfig {
  std::vector<uint64_t> n_values = {2, 3, 4, 5, 6};  // n-gram lengths counted, ascending
  uint64_t num_merges = 50000;        // largest number of merge steps
  uint64_t aim_token_num = 20000;     // stop at this vocabulary size with specials; 0: no stop
  uint64_t max_token_chars = 0;       // largest merged token in characters; 0: no limit
  uint64_t cross_word_start_vocab = 0;  // multi-word keys only from this vocabulary size on
  uint64_t max_token_words = 0;       // largest number of words in a merged token; 0: no limit
  uint64_t num_workers = 0;           // per-call pool threads (or worker processes); 0: default
  bool forbid_punct_word_mix = false;
  bool forbid_punct_tokens = false;
  bool allow_space_punct_tokens = false;
  bool allow_abbrev_tokens = false;
  bool allow_hyphen_tokens = false;
  bool allow_word_final_punct_tokens = false;
  bool allow_apostrophe_tokens = false;
  bool allow_cross_word_punct_word_mix_tokens = false;
  bool forbid_incomplete_cross_word = false;
  bool recompute_each_step = false;   // no entry point sets it
  bool use_heap = false;              // heap selection instead of the parallel scan
  bool multi_process = false;
};

}  // namespace zelkor
