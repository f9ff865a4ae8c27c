// Error chains and faults.
#include "core/error.hpp"

#include <cstring>
#include <fmt/format.h>

namespace zelkor {

Error Error::io(int code) {
  Error error(fmt::format("{} (os error {})", std::strerror(code), code));
  error.os_code_ = code;
  return error;
}

Error Error::interrupted() {
  Error error("interrupted");
  error.interrupted_ = true;
  return error;
}

Error Error::context(std::string label) && {
  chain_.insert(chain_.begin(), std::move(label));
  return std::move(*this);
}

std::string Error::render() const {
  std::string out;
  for (size_t i = 0; i < chain_.size(); ++i) {
    if (i) out += ": ";
    out += chain_[i];
  }
  return out;
}

Fault::Fault(std::string label, std::string detail)
    : std::runtime_error(detail.empty() ? label : fmt::format("{}: {}", label, detail)),
      label_(std::move(label)),
      detail_(std::move(detail)) {}

}  // namespace zelkor
