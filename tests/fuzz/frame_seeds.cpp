// Seed inputs for frame_decode_fuzz: the bodies of a handful of sample messages, written at run
// time so no binary files live in the tree.
#include <filesystem>
#include <fstream>
#include <string>

#include "multiproc/protocol.hpp"

namespace zelkor::mp {

int write_seeds(const char* dir_name) {
  const std::filesystem::path dir(dir_name);
  std::filesystem::create_directories(dir);
  const std::string frames[] = {
      encode_frame(WorkerRequest{Init{{{{1, 2, 3}, 5}, {{}, 1}}, {1, 2, 1u << 20}}}),
      encode_frame(WorkerRequest{Preprocess{{"h\xC3\xA9llo \xE2\x9C\x93", ""}}}),
      encode_frame(WorkerRequest{ApplyMerge{{4, 7}, 9, true, false, 16, "/tmp/zelkor/w0"}}),
      encode_frame(WorkerResponse{Stats{{{NgramKey{4, 7}, Stat{3, 3}}, {NgramKey{1, 2, 3}, Stat{1, 6}}}}}),
      encode_frame(WorkerResponse{Entries{{{{4, 7}, 2}, {{}, 0}}}}),
      encode_frame(WorkerResponse{ErrorReply{"worker not initialized\n\"\x01\""}}),
  };
  int n = 0;
  for (const std::string& frame : frames) {
    std::ofstream(dir / ("seed_" + std::to_string(n++)), std::ios::binary).write(frame.data() + 8, std::streamsize(frame.size() - 8));
  }
  return 0;
}

}  // namespace zelkor::mp
