// The first error of a parallel section: tasks that start after it see failed() and do nothing.
// Thread-safe. Tested through bucket_readers_test.cpp and preprocess_mp_test.cpp.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

#include "core/error.hpp"

namespace zelkor {

class FirstError {
 public:
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  // Keeps `error` unless an earlier one is kept.
  void record(Error error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    failed_.store(true, std::memory_order_relaxed);
  }
  // Read once the section has ended.
  std::optional<Error>& error() { return error_; }

 private:
  std::atomic<bool> failed_ = false;
  std::mutex mutex_;
  std::optional<Error> error_;
};

}  // namespace zelkor
