// The fixed texts written into every tokenizer directory, embedded from export/templates/ at
// build time so that the template files are the single source.
#pragma once

#include <string_view>

namespace zelkor::templates {

extern const std::string_view COMPANION_MODULE_TEXT;  // tokenization_zelkor.py
extern const std::string_view README_TEXT;            // README.md

}  // namespace zelkor::templates
