#pragma once
// Parsed dump rows in PostgreSQL's COPY text format, written while the dump
// is parsed, so that a load hands the server ready bytes and no value passes
// through Python.
//
// One line per row, values separated by tabs, NULL as \N. Text values are in
// the PostgreSQL text form (U+0000 removed) with backslash, tab, LF and CR
// escaped. Numbers are written as Python writes the values the dump reader
// gives (floats as repr() does: the shortest digits that read back exactly),
// so a number stored in a text column reads the same either way. Columns
// read by their declared types (read_columns) give a DECIMAL's literal as it
// is and binary values in bytea's hex form.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/tuple_list.hpp"

namespace zemo::stores {

// A sink of the tuple walk; the rows accumulate in text().
class CopyTextWriter {
public:
    void start_row() noexcept {
        row_start_ = out_.size();
        first_ = true;
        column_ = 0;
    }
    void read(std::string_view line, std::size_t& pos);
    void finish_row(bool keep);

    const std::string& text() const noexcept { return out_; }
    void clear() noexcept { out_.clear(); }
    void read_columns(std::vector<parser::detail::ColumnRead> columns) { columns_ = std::move(columns); }

private:
    std::string out_;
    std::string value_;    // one value's bytes from the reader
    std::string scratch_;  // its PostgreSQL text form, when that differs
    std::vector<parser::detail::ColumnRead> columns_;
    std::size_t row_start_ = 0;
    std::size_t column_ = 0;
    bool first_ = true;
};

// `v` as Python's repr() writes a float.
void append_float_repr(std::string& out, double v);

}  // namespace zemo::stores
