// All-or-nothing replacement of the files of a directory.
#include "export/replace_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/file_io.hpp"
#include "core/hash.hpp"

namespace zelkor {
namespace {

// The permission bits of the regular file that `name` replaces (a rewrite in place keeps them);
// nothing when there is none, and the new file gets 0666 less the umask, as any new file. A
// directory by that name is refused.
Result<std::optional<unsigned>> kept_mode(const File& dir, const std::string& name) {
  auto st = stat_at(dir, name);
  if (!st) {
    if (st.error().os_code() == ENOENT) return std::nullopt;
    return std::unexpected(std::move(st.error()));
  }
  if (S_ISDIR(st->st_mode)) return std::unexpected(Error::io(EISDIR));
  if (S_ISREG(st->st_mode)) return static_cast<unsigned>(st->st_mode & 07777);
  return std::nullopt;
}

// The temporary files of one replacement; those not renamed yet are removed when it ends.
class TempFiles {
 public:
  explicit TempFiles(const File& dir) : dir_(dir) {}
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;
  ~TempFiles() {
    for (size_t i = renamed_; i < temps_.size(); ++i) (void)unlink_at(dir_, temps_[i].first);
  }

  // Writes `content` to a new temporary name for `name`, hidden until it is complete.
  Result<void> write(const std::string& name, std::string_view content, std::optional<unsigned> mode) {
    auto file = create(name);
    if (!file) return std::unexpected(std::move(file.error()));
    if (auto r = file->write_all(content); !r) return r;
    if (mode) {
      if (auto r = file->set_mode(*mode); !r) return r;
    }
    // The data reaches the device before the rename can make it the file's content.
    if (auto r = file->sync(); !r) return r;
    return file->close();
  }

  Result<void> rename_all() {
    for (; renamed_ < temps_.size(); ++renamed_) {
      if (auto r = rename_at(dir_, temps_[renamed_].first, temps_[renamed_].second); !r) return r;
    }
    return {};
  }

 private:
  Result<File> create(const std::string& name) {
    for (int attempt = 0;; ++attempt) {
      std::string temp = fmt::format(".{}.{:016x}.tmp", name, next_map_seed());
      auto file = File::create_new_at(dir_, temp, 0666);
      if (file) {
        temps_.emplace_back(std::move(temp), name);
        return file;
      }
      if (attempt == 100 || file.error().os_code() != EEXIST) return file;
    }
  }

  const File& dir_;
  std::vector<std::pair<std::string, std::string>> temps_;  // (temporary name, final name)
  size_t renamed_ = 0;
};

// Removes the directories create_directories made, innermost first, where they are still empty.
void remove_directories(const std::vector<std::string>& created) {
  for (auto it = created.rbegin(); it != created.rend(); ++it) ::rmdir(it->c_str());
}

// Creates `dir` and its missing parents; the ones created, outermost first.
Result<std::vector<std::string>> create_directories(const std::string& dir) {
  std::vector<std::string> missing;  // innermost first
  for (std::filesystem::path p(dir); !p.empty() && p != p.parent_path(); p = p.parent_path()) {
    std::error_code ec;
    if (!p.has_filename()) continue;  // "a/b/" names a/b
    if (std::filesystem::exists(p, ec)) break;
    missing.push_back(p.string());
  }
  std::vector<std::string> created;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) == 0) {
      created.push_back(*it);
    } else if (const int code = errno; code != EEXIST || !std::filesystem::is_directory(*it)) {
      remove_directories(created);
      return std::unexpected(Error::io(code));
    }
  }
  return created;
}

// replace_files in a directory that exists.
Result<void> replace_in(const std::string& dir_path, std::span<const NamedContent> files) {
  auto dir = File::open_directory(dir_path);
  if (!dir) return std::unexpected(std::move(dir.error()));
  std::vector<std::optional<unsigned>> modes;
  for (const NamedContent& file : files) {
    auto mode = kept_mode(*dir, file.name);
    if (!mode) return std::unexpected(std::move(mode.error()));
    modes.push_back(*mode);
  }
  TempFiles temps(*dir);
  for (size_t i = 0; i < files.size(); ++i) {
    if (auto r = temps.write(files[i].name, files[i].content, modes[i]); !r) return r;
  }
  if (auto r = temps.rename_all(); !r) return r;
  (void)dir->sync();  // best effort: the renames are done, whether or not this reaches the device
  return {};
}

}  // namespace

Result<void> replace_files(const std::string& dir, std::span<const NamedContent> files) {
  auto created = create_directories(dir);
  if (!created) return std::unexpected(std::move(created.error()));
  auto replaced = replace_in(dir, files);
  if (!replaced) remove_directories(*created);
  return replaced;
}

}  // namespace zelkor
