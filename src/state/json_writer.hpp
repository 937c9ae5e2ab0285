#pragma once
// The written form of the state file: two-space indent, members in a fixed
// order, non-ASCII text as raw UTF-8, one LF at the end.

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo::state {

class PipelineState;

// Fails (without context) when a string is not valid UTF-8.
Result<std::string> write_state_json(const PipelineState& state);

namespace detail {

// `s` as a JSON string literal: '"' and '\' escaped, BS, FF, LF, CR, TAB as
// \b \f \n \r \t, other characters below 0x20 as \u00xx, the rest raw.
void append_json_string(std::string& out, std::string_view s);

}  // namespace detail

}  // namespace zemo::state
