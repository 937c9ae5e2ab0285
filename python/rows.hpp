#pragma once
// Parsed dump rows as Python tuples, shared by `parser` and `_ext`.

#include <cstddef>
#include <string_view>
#include <vector>

#include "parser/mysql.hpp"
#include "parser/row_table.hpp"
#include "shell.hpp"

namespace zemo::py {

// Short strings that repeat down a column (genres, formats, dates) become one
// shared str per distinct value: fewer objects, less memory. Holds references
// until it goes away (with the interpreter lock held).
class StrCache {
public:
    StrCache() = default;
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;
    ~StrCache();

    PyObject* get(std::string_view s);  // a new reference

private:
    static constexpr std::size_t kSlots = 4096;
    static constexpr std::size_t kMaxLength = 24;
    struct Slot {
        PyObject* obj = nullptr;
        unsigned char length = 0;
        char key[kMaxLength];
    };

    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

// A new list of one tuple per row. Each block is freed once its rows are
// converted, so the parsed rows and their Python objects are not both held
// in full.
PyObject* rows_to_tuples(parser::RowTable&& table, StrCache& strings);
PyObject* rows_to_lists(parser::RowTable&& table, StrCache& strings);  // one list per row

}  // namespace zemo::py
