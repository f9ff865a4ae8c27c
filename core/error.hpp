// Error values with a chain of context labels, Result<T>, and Fault for unrecoverable faults.
// Fallible operations return Result<T>; Fault is thrown only for faults that end the call
// (the Python boundary turns it into the panic exception).
#pragma once

#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelkor {

// A failure with its messages, outermost context first; rendered joined by ": ".
class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // The OS error `code` with its description, rendered as "<description> (os error N)".
  static Error io(int code);
  // The code of an io() error, also under context labels; 0 for any other error.
  int os_code() const { return os_code_; }

  // "interrupted": a call stopped on request (interrupt.hpp), also under context labels.
  static Error interrupted();
  bool is_interrupted() const { return interrupted_; }

  // Adds an outer context label (it becomes the first element of the chain).
  Error context(std::string label) &&;

  const std::vector<std::string>& chain() const { return chain_; }
  std::string render() const;

 private:
  std::vector<std::string> chain_;  // outermost first
  int os_code_ = 0;
  bool interrupted_ = false;
};

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}

// An unrecoverable fault of the current call ("build pool", ...). `label` names what failed;
// `detail` describes the cause. what() is "label: detail" (or the label alone).
class Fault : public std::runtime_error {
 public:
  Fault(std::string label, std::string detail = {});
  const std::string& label() const { return label_; }
  const std::string& detail() const { return detail_; }

 private:
  std::string label_;
  std::string detail_;
};

}  // namespace zelkor
