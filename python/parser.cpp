// Submodule `parser`: the MySQL dump reader.
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "parser/mysql.hpp"
#include "parser/table_rows.hpp"
#include "submodules.hpp"

namespace zemo::py {

namespace {

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

PyObject* value(const parser::SqlValue& v) {
    return std::visit(Overloaded{
                          [](parser::Null) { return none(); },
                          [](parser::Integer i) { return integer(i); },
                          [](parser::Float f) { return floating(f); },
                          [](const parser::Text& s) { return str(s); },
                          [](const parser::BigInteger& b) { return integer_from_decimal(b.digits); },
                      },
                      v);
}

PyObject* row_to_py_tuple(const parser::Row& row) {
    Ref tuple(check(PyTuple_New(static_cast<Py_ssize_t>(row.size()))));
    Py_ssize_t i = 0;
    for (const auto& v : row) PyTuple_SetItem(tuple.get(), i++, value(v));  // steals
    return tuple.release();
}

// Each parsed row is freed once converted, so the parsed table and its
// Python objects are not both held in full.
PyObject* rows_to_tuples(std::vector<parser::Row>& rows) {
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(rows.size()))));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), row_to_py_tuple(rows[i]));
        parser::Row().swap(rows[i]);
    }
    return out.release();
}

PyObject* load_table_rows_impl(Call& c) {
    auto rows = parser::load_table_rows(std::string(c.text(0)), c.text(1));
    if (!rows) raise_runtime(rows.error());
    return rows_to_tuples(rows.value());
}

PyObject* parse_sql_values_impl(Call& c) {
    const auto rows = parser::parse_sql_values(c.text(0));
    return list(rows, [](const parser::Row& row) { return list(row, value); });
}

const Function kParserFunctions[] = {
    {"load_table_rows",
     {{{"path", Kind::Text}, {"table_name", Kind::Text}}},
     "Load all rows for a given table from a MySQL dump file.\n\n"
     "Returns a list of tuples, matching the sqldump_native API.",
     &load_table_rows_impl},
    {"iter_table_rows",
     {{{"path", Kind::Text}, {"table_name", Kind::Text}}},
     "Load all rows for a given table (same as load_table_rows for API compatibility).\n\n"
     "The library's own form of this operation hands each row to a callback;\n"
     "for Python compatibility this function collects all rows and returns them as a list, "
     "matching the sqldump_native API.",
     &load_table_rows_impl},
    {"parse_sql_values",
     {{{"line", Kind::Text}}},
     "Parse a single INSERT VALUES clause.\n\n"
     "Takes a string like \"(1,'a'),(2,'b')\" and returns a list of lists.",
     &parse_sql_values_impl},
};

}  // namespace

void register_parser(PyObject* module) { add_functions<kParserFunctions>(module); }

}  // namespace zemo::py
