// A scratch directory for tests that read and write files; removed with its contents.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelkor::testing {

class TempDir {
 public:
  // Under the system temporary directory, or under `parent`.
  explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path())
      : root_((parent / "zelkor-test-XXXXXX").string()) {
    if (::mkdtemp(root_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() { std::error_code ec; std::filesystem::remove_all(root_, ec); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory itself, or `name` inside it.
  std::string path(std::string_view name = {}) const {
    return name.empty() ? root_ : root_ + "/" + std::string(name);
  }
  // Writes `content` to `name` (created or truncated).
  void write(std::string_view name, std::string_view content) const {
    std::ofstream(path(name), std::ios::binary) << content;
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

 private:
  std::string root_;
};

}  // namespace zelkor::testing
