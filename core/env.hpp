// Environment switches, read where they are used. A variable counts as present only with a
// valid UTF-8 value; numeric switches are unsigned 64-bit decimals with an optional leading "+".
// Tested by env_test.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelkor {

// The variable's value when it is present and valid UTF-8.
std::optional<std::string> env_var(const char* name);

// True when the variable is present with a valid UTF-8 value, whatever the value.
bool env_is_set(const char* name);

// The variable as an unsigned 64-bit number; absent, invalid or out of range gives nullopt.
std::optional<uint64_t> env_u64(const char* name);

// The system temporary directory: TMPDIR when it is set and not empty (an empty value means
// unset, as the system's tools take it), else /tmp.
std::string system_temp_dir();

// Parses an unsigned 64-bit decimal: digits only, one optional leading "+", no white space.
std::optional<uint64_t> parse_u64(std::string_view text);

}  // namespace zelkor
