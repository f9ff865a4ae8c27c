// Files over POSIX descriptors.
#include "core/file_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/interrupt.hpp"

namespace zelkor {
namespace {

std::unexpected<Error> last_os_error() { return std::unexpected(Error::io(errno)); }

Result<void> ok_or_last_error(int rc) {
  if (rc != 0) return last_os_error();
  return {};
}

}  // namespace

Result<File> File::open_read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  return File(fd);
}

Result<File> File::open_write(const std::string& path, WriteMode mode, unsigned perms) {
  const int how = mode == WriteMode::Append ? O_APPEND : O_TRUNC;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | how, perms);
  if (fd < 0) return last_os_error();
  return File(fd);
}

Result<File> File::open_directory(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  return File(fd);
}

Result<File> File::create_new_at(const File& dir, const std::string& name, unsigned perms) {
  const int fd =
      ::openat(dir.fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, perms);
  if (fd < 0) return last_os_error();
  return File(fd);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<size_t> read_some_fd(int fd, std::span<char> buffer, bool interruptible) {
  while (true) {
    if (interruptible) {
      // Wait in short slices, asking between them: the signal may have reached another thread,
      // so this one would not see EINTR.
      pollfd ready{fd, POLLIN, 0};
      const int events = ::poll(&ready, 1, 50);
      if (events < 0 && errno != EINTR) return last_os_error();
      if (events <= 0) {
        if (auto go_on = check_interrupt_now(); !go_on) return std::unexpected(std::move(go_on.error()));
        continue;
      }
    }
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return last_os_error();
  }
}

Result<void> write_all_fd(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return last_os_error();
    content.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

bool File::is_regular() const {
  struct stat st {};
  return ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

Result<size_t> File::read_some(std::span<char> buffer, bool interruptible) {
  return read_some_fd(fd_, buffer, interruptible);
}

Result<std::string> File::read_rest() {
  std::string text;
  char buffer[8192];
  while (true) {
    auto n = read_some(buffer);
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return text;
    text.append(buffer, *n);
  }
}

Result<void> File::write_all(std::string_view content) { return write_all_fd(fd_, content); }

Result<void> File::set_mode(unsigned mode) { return ok_or_last_error(::fchmod(fd_, mode)); }

Result<void> File::sync() { return ok_or_last_error(::fsync(fd_)); }

Result<void> File::close() {
  if (::close(std::exchange(fd_, -1)) != 0) return last_os_error();
  return {};
}

Result<std::string> read_file(const std::string& path) {
  auto file = File::open_read(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return file->read_rest();
}

Result<struct stat> stat_at(const File& dir, const std::string& name) {
  struct stat st {};
  if (::fstatat(dir.fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return last_os_error();
  return st;
}

Result<void> rename_at(const File& dir, const std::string& from, const std::string& to) {
  return ok_or_last_error(::renameat(dir.fd_, from.c_str(), dir.fd_, to.c_str()));
}

Result<void> unlink_at(const File& dir, const std::string& name) {
  return ok_or_last_error(::unlinkat(dir.fd_, name.c_str(), 0));
}

Result<void> append_file(const std::string& path, std::string_view content) {
  // Non-blocking: opening a FIFO that has no reader would otherwise wait forever.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return last_os_error();
  struct stat st {};
  Result<void> written = ::fstat(fd, &st) != 0  ? Result<void>(last_os_error())
                         : !S_ISREG(st.st_mode) ? Result<void>(std::unexpected(Error::io(EINVAL)))
                                                : write_all_fd(fd, content);
  if (::close(fd) != 0 && written) return last_os_error();
  return written;
}

}  // namespace zelkor
