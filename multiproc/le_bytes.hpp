// Little-endian fixed-width fields, the byte order of every frame and file the engine writes:
// appending them to a byte string and taking them off the front of one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zelkor::mp {

template <typename T>
void put_le(std::string& out, T v) {
  if constexpr (std::endian::native == std::endian::little) {
    out.append(reinterpret_cast<const char*>(&v), sizeof(T));  // the bucket files' hot path
  } else {
    for (size_t b = 0; b < sizeof(T); ++b) out.push_back(static_cast<char>(v >> (8 * b)));
  }
}

// Reads fields off the front of `bytes`; a take that finds too few bytes left fails and moves
// nothing.
class LeReader {
 public:
  explicit LeReader(std::string_view bytes) : rest_(bytes) {}
  size_t left() const { return rest_.size(); }

  template <typename T>
  bool take(T& out) {
    if (rest_.size() < sizeof(T)) return false;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&out, rest_.data(), sizeof(T));
    } else {
      out = 0;
      for (size_t b = 0; b < sizeof(T); ++b) {
        out |= static_cast<T>(static_cast<T>(static_cast<uint8_t>(rest_[b])) << (8 * b));
      }
    }
    rest_.remove_prefix(sizeof(T));
    return true;
  }
  bool take_bytes(std::string_view& out, size_t n) {
    if (rest_.size() < n) return false;
    out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return true;
  }
  bool take_bytes(std::vector<uint8_t>& out, size_t n) {
    std::string_view bytes;
    if (!take_bytes(bytes, n)) return false;
    out.assign(bytes.begin(), bytes.end());
    return true;
  }

 private:
  std::string_view rest_;
};

}  // namespace zelkor::mp
