// Directories that one call creates for itself under a shared root: fresh (created exclusively,
// so an existing path, a planted link included, is never reused or followed; a taken name makes
// the next one be tried), private (0700, missing parents too), and removed with everything in
// them when dropped. Nothing but the path the call created is ever removed.
// Tested by process_pool_test.cpp and preprocess_mp_test.cpp.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace zelkor::mp {

// Creates `dir` and its missing parents with mode 0700; false when it could not.
bool make_private_dirs(const std::string& dir);

class PrivateDir {
 public:
  // Creates `root` (with its missing parents) and then `root`/name(attempt) for attempt 0, 1, ...
  // until a name is free; the error is the I/O error of the last attempt.
  static Result<PrivateDir> create(const std::string& root,
                                   const std::function<std::string(unsigned attempt)>& name);
  PrivateDir(PrivateDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  PrivateDir& operator=(PrivateDir&&) = delete;
  ~PrivateDir() { remove(); }

  const std::string& path() const { return path_; }
  // Removes the directory and everything in it now (failures ignored). Idempotent.
  void remove();

 private:
  explicit PrivateDir(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace zelkor::mp
