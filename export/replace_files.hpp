// Replacing a set of files in a directory so that a failure leaves it as it was: every file is
// written to a new temporary name beside its own (created exclusively, never through a symlink),
// and only when all are written are they renamed over their names. Tested by export_test.cpp
// and test_train_file.py.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace zelkor {

struct NamedContent {
  std::string name;  // a plain file name inside the directory
  std::string_view content;
};

// Writes `files` into the directory `dir`, created with its missing parents (0777 before the
// umask) when needed. A name that stands for a symlink or a special file is replaced by a regular
// file; a directory by that name is an error ("Is a directory") before anything is written. A
// new file gets an old regular file's permission bits, else 0666 less the umask. On an error no
// temporary file and no directory created here is left, and nothing was renamed unless a rename
// itself failed (the files renamed before it then stay).
Result<void> replace_files(const std::string& dir, std::span<const NamedContent> files);

}  // namespace zelkor
