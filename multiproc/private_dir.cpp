// Private temporary directories.
#include "multiproc/private_dir.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

namespace zelkor::mp {
namespace {

constexpr unsigned MAX_ATTEMPTS = 100;

}  // namespace

bool make_private_dirs(const std::string& dir) {
  // Usually only the last component is missing (a worker's directory of each merge step).
  if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  std::filesystem::path partial;
  for (const auto& part : std::filesystem::path(dir)) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

Result<PrivateDir> PrivateDir::create(const std::string& root,
                                      const std::function<std::string(unsigned attempt)>& name) {
  if (!make_private_dirs(root)) return std::unexpected(Error::io(errno));
  for (unsigned attempt = 0;; ++attempt) {
    const std::string path = (std::filesystem::path(root) / name(attempt)).string();
    if (::mkdir(path.c_str(), 0700) == 0) return PrivateDir(path);
    if (errno != EEXIST || attempt + 1 >= MAX_ATTEMPTS) return std::unexpected(Error::io(errno));
  }
}

void PrivateDir::remove() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);  // links inside are removed, not followed
  path_.clear();
}

}  // namespace zelkor::mp
