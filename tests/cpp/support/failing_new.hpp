// Allocations that fail on request: replaces the global operator new of the test binary whose one
// source file includes this header (only one may), so that a test can run code as if memory ran out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace zelkor::testing {

// While set, an allocation of `bytes` throws std::bad_alloc when this returns true for it.
inline std::atomic<bool (*)(size_t bytes)> failing_allocation{nullptr};

}  // namespace zelkor::testing

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // this new is malloc
void* operator new(size_t bytes) {
  if (auto fails = zelkor::testing::failing_allocation.load(); fails != nullptr && fails(bytes)) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(bytes != 0 ? bytes : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
