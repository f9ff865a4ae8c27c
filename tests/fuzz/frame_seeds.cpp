// Seed inputs for frame_decode_fuzz: the body of one sample message of every request and
// response kind, written at run time so no binary files live in the tree.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "multiproc/protocol.hpp"

namespace zelkor::mp {
namespace {

template <typename Message>
void write_body(const std::filesystem::path& dir, const std::string& name, const Message& message) {
  const std::string frame = encode_frame(message);
  std::ofstream(dir / name, std::ios::binary).write(frame.data() + 8, std::streamsize(frame.size() - 8));
}

}  // namespace

int write_seeds(const char* dir_name) {
  const std::filesystem::path dir(dir_name);
  std::filesystem::create_directories(dir);
  const WorkerRequest requests[] = {
      Init{{{{1, 2, 3}, 5}, {{}, 1}}, {1, 2, 1u << 20}},
      Preprocess{{"hello world", "h\xC3\xA9llo \xE2\x9C\x93", ""}},
      ComputeStats{},
      ApplyMerge{{4, 7}, 9, true, false, 16, "/tmp/zelkor/w0"},
      DumpEntries{},
      Shutdown{},
  };
  Stats stats;
  stats.stats[NgramKey{4, 7}] = Stat{3, 3};
  stats.stats[NgramKey{1, 2, 3, 4, 5, 6, 7}] = Stat{1, 6};
  const WorkerResponse responses[] = {
      Ack{},
      PreStats{{{"h\xC3\xA9llo", 3}, {"\xF0\x9F\x99\x82!", 1}, {"", 2}}},
      std::move(stats),
      ApplyResult{5},
      Entries{{{{4, 7}, 2}, {{}, 0}}},
      ErrorReply{"worker not initialized\n\"\x01\""},
  };
  int n = 0;
  for (const auto& m : requests) write_body(dir, "request_" + std::to_string(n++), m);
  n = 0;
  for (const auto& m : responses) write_body(dir, "response_" + std::to_string(n++), m);
  return 0;
}

}  // namespace zelkor::mp
