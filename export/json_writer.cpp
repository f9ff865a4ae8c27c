// Pretty JSON.
#include "export/json_writer.hpp"

#include <fmt/format.h>

namespace zelkor {
namespace {

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += fmt::format("\\u{:04x}", c);
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

void indent(std::string& out, int depth) { out.append(static_cast<size_t>(depth) * 2, ' '); }

}  // namespace

void append_json_pretty(std::string& out, const Json& json, int depth) {
  if (std::holds_alternative<std::nullptr_t>(json.value)) {
    out += "null";
  } else if (const auto* n = std::get_if<uint64_t>(&json.value)) {
    out += std::to_string(*n);
  } else if (const auto* s = std::get_if<std::string>(&json.value)) {
    append_quoted(out, *s);
  } else if (const auto* array = std::get_if<Json::Array>(&json.value)) {
    if (array->empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (size_t i = 0; i < array->size(); ++i) {
      indent(out, depth + 1);
      append_json_pretty(out, (*array)[i], depth + 1);
      out += i + 1 < array->size() ? ",\n" : "\n";
    }
    indent(out, depth);
    out += "]";
  } else {
    const auto& object = std::get<Json::Object>(json.value);
    if (object.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    size_t i = 0;
    for (const auto& [key, member] : object) {
      indent(out, depth + 1);
      append_quoted(out, key);
      out += ": ";
      append_json_pretty(out, member, depth + 1);
      out += ++i < object.size() ? ",\n" : "\n";
    }
    indent(out, depth);
    out += "}";
  }
}

std::string json_file_text(const Json& value) {
  std::string out;
  append_json_pretty(out, value);
  out += '\n';
  return out;
}

}  // namespace zelkor
