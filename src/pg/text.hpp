#pragma once
// Text safe for a PostgreSQL TEXT column, which cannot hold U+0000.

#include <string>
#include <string_view>

namespace zemo::pg {

// `s` itself when it holds no U+0000; otherwise `s` without its U+0000
// characters, written to `scratch` and returned as a view of it.
std::string_view to_pg_text_form(std::string_view s, std::string& scratch);

}  // namespace zemo::pg
