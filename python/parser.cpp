// Submodule `parser`: the MySQL dump reader.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "parser/mysql.hpp"
#include "parser/row_table.hpp"
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

using Block = parser::RowTable::Block;

// Short strings that repeat down a column (genres, formats, dates) become one
// shared str per distinct value within a load: fewer objects, less memory.
class StrCache {
public:
    StrCache() = default;
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;
    ~StrCache() {
        for (Slot& slot : slots_) Py_XDECREF(slot.obj);
    }

    PyObject* get(std::string_view s) {
        if (s.size() > kMaxLength) return str(s);
        Slot& slot = slots_[hash(s) & (kSlots - 1)];
        if (slot.obj != nullptr && slot.length == s.size() && std::memcmp(slot.key, s.data(), s.size()) == 0) {
            Py_INCREF(slot.obj);
            return slot.obj;
        }
        PyObject* obj = str(s);
        Py_XDECREF(slot.obj);
        Py_INCREF(obj);
        slot.obj = obj;
        slot.length = static_cast<unsigned char>(s.size());
        std::memcpy(slot.key, s.data(), s.size());
        return obj;
    }

private:
    static constexpr std::size_t kSlots = 4096;
    static constexpr std::size_t kMaxLength = 24;
    struct Slot {
        PyObject* obj = nullptr;
        unsigned char length = 0;
        char key[kMaxLength];
    };

    static std::size_t hash(std::string_view s) {
        std::uint64_t h = 0xcbf29ce484222325ULL ^ s.size();
        for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }

    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

PyObject* cell_value(const Block& block, const parser::RowTable::Cell& cell, StrCache& strings) {
    using Kind = parser::RowTable::Kind;
    switch (cell.kind()) {
        case Kind::Integer: return integer(cell.integer());
        case Kind::Float: return floating(cell.floating());
        case Kind::Text: return strings.get(block.bytes(cell));
        case Kind::BigInteger: return integer_from_decimal(block.bytes(cell));
        case Kind::Null: break;
    }
    return none();
}

// The whole table is parsed before the first Python object is made; each
// block is freed once its rows are converted, so the parsed table and its
// Python objects are not both held in full.
PyObject* rows_to_tuples(parser::RowTable&& table) {
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(table.size()))));
    std::vector<Block> blocks = std::move(table).take_blocks();
    StrCache strings;
    Py_ssize_t i = 0;
    for (Block& block : blocks) {
        for (std::size_t r = 0; r < block.size(); ++r) {
            const auto row = block.row(r);
            Ref tuple(check(PyTuple_New(static_cast<Py_ssize_t>(row.size()))));
            Py_ssize_t k = 0;
            for (const auto& cell : row) PyTuple_SetItem(tuple.get(), k++, cell_value(block, cell, strings));  // steals
            PyList_SetItem(out.get(), i++, tuple.release());
        }
        block = Block();
    }
    return out.release();
}

PyObject* load_table_rows_impl(Call& c) {
    auto table = parser::load_row_table(std::string(c.text(0)), c.text(1));
    if (!table) raise_runtime(table.error());
    return rows_to_tuples(std::move(table).value());
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
