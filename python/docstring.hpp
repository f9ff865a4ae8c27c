// Docstrings that open with a signature built from a parameter table, so each signature is
// written once: "name(a, b=2, c=True, d=\"text\", e=None)\n--\n\n" then the text, the form
// from which Python reads __text_signature__.
#pragma once

#include <span>
#include <string_view>

#include "python/args.hpp"

namespace zelkor::py {

// The docstring of a function (or class) `name`. The text lives as long as the process, as
// method tables and types point into it; call only while the module is created.
const char* function_doc(std::string_view name, std::span<const ArgSpec> params,
                         std::string_view text = {});

// The same for a method, whose signature starts with "$self".
const char* method_doc(std::string_view name, std::span<const ArgSpec> params,
                       std::string_view text = {});

}  // namespace zelkor::py
