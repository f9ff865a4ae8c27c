// Hash tables that stay whole when memory runs out. An absl table sets its new capacity before
// it allocates the grown array, so a std::bad_alloc while growing leaves a table that, when
// destroyed, walks and frees past the end of its old array. Table<T> wraps the inserting members
// of the absl table T: when growing fails, the old capacity is put back and the insertion fails
// as if it had never been tried. A slot, once reserved, is built in place; so keys that allocate
// are built before (operator[] and try_emplace do that themselves), and other insertions must be
// given keys and values that are moved in, which cannot throw. Tested by table_test.cpp.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include <absl/container/internal/hashtable_debug_hooks.h>

namespace zelkor::detail {
struct TableRepair {};
}  // namespace zelkor::detail

namespace absl {
ABSL_NAMESPACE_BEGIN
namespace container_internal::hashtable_debug_internal {

// The tables' debugging hook is the one way to their bookkeeping from outside absl.
template <typename Set>
struct HashtableDebugAccess<Set, zelkor::detail::TableRepair> {
  using Raw = typename Set::raw_hash_set;
  static const void* array(const Set& set) { return static_cast<const Raw&>(set).ctrl_; }
  static void set_capacity(Set& set, size_t capacity) { static_cast<Raw&>(set).capacity_ = capacity; }
};

}  // namespace container_internal::hashtable_debug_internal
ABSL_NAMESPACE_END
}  // namespace absl

namespace zelkor {

template <typename Base>
class Table : public Base {
  using Access =
      absl::container_internal::hashtable_debug_internal::HashtableDebugAccess<Base, detail::TableRepair>;

 public:
  using typename Base::iterator;
  using typename Base::key_type;

  using Base::Base;
  Table() = default;
  Table(Table&&) = default;
  Table& operator=(Table&&) = default;
  // Element by element: absl's own copy leaves a half-built slot when copying an element throws.
  Table(const Table& other)
      : Base(0, other.hash_function(), other.key_eq(), other.get_allocator()) {
    reserve(other.size());
    for (const auto& value : other) {
      typename Base::init_type copy(value);
      growing([&] { return Base::insert(std::move(copy)); });
    }
  }
  Table& operator=(const Table& other) {
    if (this != &other) *this = Table(other);
    return *this;
  }

  template <typename K, typename... Args>
  std::pair<iterator, bool> try_emplace(K&& key, Args&&... args) {
    if constexpr (std::is_nothrow_constructible_v<key_type, K&&>) {  // a moved key, a number
      return growing([&] { return Base::try_emplace(std::forward<K>(key), std::forward<Args>(args)...); });
    } else {
      if (auto it = this->find(key); it != this->end()) return {it, false};
      key_type owned = make_key(std::forward<K>(key));
      return growing([&] { return Base::try_emplace(std::move(owned), std::forward<Args>(args)...); });
    }
  }
  template <typename K>
  auto& operator[](K&& key) {
    return try_emplace(std::forward<K>(key)).first->second;
  }
  template <typename... Args>
  auto emplace(Args&&... args) {
    return growing([&] { return Base::emplace(std::forward<Args>(args)...); });
  }
  template <typename... Args>
  auto insert(Args&&... args) {
    return growing([&] { return Base::insert(std::forward<Args>(args)...); });
  }
  template <typename... Args>
  auto insert_or_assign(Args&&... args) {
    return growing([&] { return Base::insert_or_assign(std::forward<Args>(args)...); });
  }
  // `construct` must not throw.
  template <typename K, typename F>
  iterator lazy_emplace(const K& key, F&& construct) {
    return growing([&] { return Base::lazy_emplace(key, std::forward<F>(construct)); });
  }
  void reserve(size_t n) {
    growing([&] { Base::reserve(n); });
  }
  void rehash(size_t n) {
    growing([&] { Base::rehash(n); });
  }

 private:
  template <typename K>
  static key_type make_key(K&& key) {
    if constexpr (std::is_constructible_v<key_type, K&&>) {
      return key_type(std::forward<K>(key));
    } else {
      return key_type(key.data(), key.data() + key.size());
    }
  }

  template <typename F>
  decltype(auto) growing(F&& insertion) {
    const size_t capacity = this->capacity();
    const void* array = Access::array(*this);
    try {
      return insertion();
    } catch (...) {
      // Still the old array: the growth failed after the capacity was raised.
      if (Access::array(*this) == array) Access::set_capacity(*this, capacity);
      throw;
    }
  }
};

}  // namespace zelkor
