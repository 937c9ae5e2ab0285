// Submodule `pg`: text safe for PostgreSQL TEXT columns.
#include "pg/text.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

PyObject* to_pg_text_form_impl(Call& c) {
    const auto s = c.opt_text(0);
    if (!s) return none();
    std::string scratch;
    return str(pg::to_pg_text_form(*s, scratch));
}

PyObject* batch_to_pg_text_form_impl(Call& c) {
    std::string scratch;
    return list(c.opt_text_list(0), [&scratch](const std::optional<std::string_view>& s) {
        return s ? str(pg::to_pg_text_form(*s, scratch)) : none();
    });
}

constexpr Function kPgFunctions[] = {
    {.name = "to_pg_text_form",
     .params = {{.name = "s", .kind = Kind::OptTextKeep}},
     .doc = "Make `s` acceptable for storage in a PostgreSQL TEXT column.\n"
            "\n"
            "Strips U+0000 (NUL) bytes, which the SQL standard forbids in character\n"
            "types. `None` passes through as `None` so callers writing through\n"
            "`COALESCE(EXCLUDED.col, table.col)` upserts (or psycopg's COPY `\\N`\n"
            "sentinel) continue to skip absent fields rather than overwriting them\n"
            "with the empty string.\n"
            "\n"
            "See ZM-3.B / ZEMO/docs#18 for the strip-at-boundary policy.",
     .impl = &to_pg_text_form_impl},
    {.name = "batch_to_pg_text_form",
     .params = {{.name = "items", .kind = Kind::OptTextList}},
     .doc = "Apply [`to_pg_text_form`] to each input in one cross-FFI call.\n"
            "\n"
            "Each element is treated independently: `None` entries pass through as\n"
            "`None`, `str` entries get the NUL strip. The output list is the same\n"
            "length as the input.",
     .impl = &batch_to_pg_text_form_impl},
};

}  // namespace

void register_pg(PyObject* module) { add_functions<kPgFunctions>(module); }

}  // namespace zemo::py
