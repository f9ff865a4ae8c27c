// A scratch directory for tests that read and write files; removed with its contents.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelkor::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelkor-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory itself, or `name` inside it.
  std::string path(std::string_view name = {}) const {
    return name.empty() ? root_ : root_ + "/" + std::string(name);
  }

  // Writes `content` to `name` (created or truncated) and returns its path.
  std::string write(std::string_view name, std::string_view content) const {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    return p;
  }

  static std::string read(const std::string& file) {
    std::ostringstream out;
    out << std::ifstream(file, std::ios::binary).rdbuf();
    return out.str();
  }

 private:
  std::string root_;
};

}  // namespace zelkor::testing
