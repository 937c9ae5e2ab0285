// Submodule `parser`: the MySQL dump reader.
#include <string>
#include <utility>

#include "parser/mysql.hpp"
#include "parser/table_rows.hpp"
#include "rows.hpp"
#include "submodules.hpp"

namespace zemo::py {

namespace {

PyObject* load_table_rows_impl(Call& c) {
    auto table = parser::load_row_table(std::string(c.text(0)), c.text(1));
    if (!table) raise_dump_error(table.error());  // a RuntimeError, as specified
    StrCache strings;
    return rows_to_tuples(std::move(table).value(), strings);
}

PyObject* parse_sql_values_impl(Call& c) {
    // The rows of parse_sql_values, held flat on the way rather than as
    // vectors of variants: no value is built, moved and destroyed twice.
    parser::RowTable table;
    parser::detail::append_tuples(c.text(0), table);
    StrCache strings;
    return rows_to_lists(std::move(table), strings);
}

constexpr Param kPath = {.name = "path", .kind = Kind::Text};
constexpr Param kTableName = {.name = "table_name", .kind = Kind::Text};

constexpr Function kParserFunctions[] = {
    {.name = "load_table_rows",
     .params = {kPath, kTableName},
     .doc = "Load all rows for a given table from a MySQL dump file.\n\n"
            "Returns a list of tuples, matching the sqldump_native API.",
     .impl = &load_table_rows_impl},
    {.name = "iter_table_rows",
     .params = {kPath, kTableName},
     .doc = "Load all rows for a given table (same as load_table_rows for API compatibility).\n\n"
            "The library's own form of this operation hands each row to a callback;\n"
            "for Python compatibility this function collects all rows and returns them as a list, "
            "matching the sqldump_native API.",
     .impl = &load_table_rows_impl},
    {.name = "parse_sql_values",
     .params = {{.name = "line", .kind = Kind::Text}},
     .doc = "Parse a single INSERT VALUES clause.\n\n"
            "Takes a string like \"(1,'a'),(2,'b')\" and returns a list of lists.",
     .impl = &parse_sql_values_impl},
};

}  // namespace

void register_parser(PyObject* module) { add_functions<kParserFunctions>(module); }

}  // namespace zemo::py
