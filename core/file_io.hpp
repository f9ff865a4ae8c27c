// Files over POSIX descriptors: an owned descriptor (O_CLOEXEC), read and write loops that retry
// on EINTR and short writes, whole-file read and append, files created inside an open directory.
// Errors are Error::io(errno). Tested through corpus_file_test, encoder_test, export_test and
// log_test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "core/error.hpp"

namespace zelkor {

enum class WriteMode { Truncate, Append };

// An open file, closed when dropped (a close error is then ignored).
class File {
 public:
  static Result<File> open_read(const std::string& path);
  // Creates a missing file with `perms` (0666 unless given) before the umask.
  static Result<File> open_write(const std::string& path, WriteMode mode, unsigned perms = 0666);
  // The directory `path`, for the *_at functions.
  static Result<File> open_directory(const std::string& path);
  // Creates `name` in the directory `dir` for writing with `perms` before the umask, only when
  // nothing by that name exists (a symlink included, which is never followed): EEXIST otherwise.
  static Result<File> create_new_at(const File& dir, const std::string& name, unsigned perms);
  File(File&& other) noexcept;
  File& operator=(File&&) = delete;
  ~File();

  // Reads up to buffer.size() bytes; 0 at the end of the file. With `interruptible`, a read that
  // waits (a pipe) asks this thread's interrupt hook every 50 ms and ends with its error when it
  // says stop (interrupt.hpp): a read that waits on a pipe must not outlast a Ctrl-C.
  Result<size_t> read_some(std::span<char> buffer, bool interruptible = false);
  // Everything from the current position to the end.
  Result<std::string> read_rest();
  Result<void> write_all(std::string_view content);
  Result<void> set_mode(unsigned mode);
  // A regular file (reading it never waits), as opposed to a pipe, FIFO or device.
  bool is_regular() const;
  // Flushes the file's data and metadata to the device.
  Result<void> sync();
  // Closes now and reports the error: a failed close can be the only sign of a lost write.
  Result<void> close();

 private:
  explicit File(int fd) : fd_(fd) {}
  friend Result<struct stat> stat_at(const File&, const std::string&);
  friend Result<void> rename_at(const File&, const std::string&, const std::string&);
  friend Result<void> unlink_at(const File&, const std::string&);
  int fd_;
};

// The loops on a descriptor the caller owns (a pipe, standard input or output).
Result<size_t> read_some_fd(int fd, std::span<char> buffer, bool interruptible = false);
Result<void> write_all_fd(int fd, std::string_view content);

// The whole file; open and read errors alike.
Result<std::string> read_file(const std::string& path);

// What `name` in the directory `dir` is; a symlink is described, not followed.
Result<struct stat> stat_at(const File& dir, const std::string& name);
// Renames `from` to `to` in the directory `dir`, replacing what `to` named (not a directory).
Result<void> rename_at(const File& dir, const std::string& from, const std::string& to);
// Removes the file `name` from the directory `dir`.
Result<void> unlink_at(const File& dir, const std::string& name);

// Appends `content` to `path`, created when missing; only to a regular file, and without ever
// waiting to open it (a FIFO without a reader is an error at once). Content a single write takes
// (any line) does not interleave with other appenders' writes.
Result<void> append_file(const std::string& path, std::string_view content);

}  // namespace zelkor
