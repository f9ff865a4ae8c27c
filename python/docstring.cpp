// Docstrings with signatures from parameter tables.
#include "python/docstring.hpp"

#include <deque>
#include <stdexcept>
#include <string>

namespace zelkor::py {
namespace {

// The default of an optional parameter as Python writes it.
std::string rendered_default(const ArgSpec& spec) {
  switch (spec.kind) {
    case ArgKind::U64:
      return std::to_string(spec.default_u64);
    case ArgKind::Bool:
      return spec.default_bool ? "True" : "False";
    case ArgKind::OptStr:
      if (spec.default_str == nullptr) return "None";
      [[fallthrough]];
    case ArgKind::Str:
    case ArgKind::Path:
      return '"' + std::string(spec.default_str != nullptr ? spec.default_str : "") + '"';
    case ArgKind::Object:
      break;
  }
  throw std::logic_error(std::string("no default to show for ") + spec.name);
}

const char* kept_doc(std::string_view name, bool method, std::span<const ArgSpec> params,
                     std::string_view text) {
  std::string doc(name);
  doc += method ? "($self" : "(";
  for (size_t k = 0; k < params.size(); ++k) {
    if (method || k != 0) doc += ", ";
    doc += params[k].name;
    if (!params[k].required) doc += '=' + rendered_default(params[k]);
  }
  doc += ")\n--\n\n";
  doc += text;
  static std::deque<std::string> kept;  // a deque never moves its elements
  return kept.emplace_back(std::move(doc)).c_str();
}

}  // namespace

const char* function_doc(std::string_view name, std::span<const ArgSpec> params,
                         std::string_view text) {
  return kept_doc(name, false, params, text);
}

const char* method_doc(std::string_view name, std::span<const ArgSpec> params,
                       std::string_view text) {
  return kept_doc(name, true, params, text);
}

}  // namespace zelkor::py
