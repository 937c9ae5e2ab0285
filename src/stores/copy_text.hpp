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

// A sink of the tuple walk; the rows accumulate in text(). Its buffer grows
// in steps and is written through a pointer, so a value costs no call into
// the string's library code.
class CopyTextWriter {
public:
    void start_row() noexcept {
        row_start_ = used_;
        first_ = true;
        column_ = 0;
    }
    void read(std::string_view line, std::size_t& pos);
    void finish_row(bool keep);

    std::string_view text() const noexcept { return {out_.data(), used_}; }
    void clear() noexcept { used_ = 0; }
    void read_columns(std::vector<parser::detail::ColumnRead> columns) { columns_ = std::move(columns); }

private:
    // Room for `n` more bytes after the text, written through the pointer
    // returned; the text then ends where the caller's writing did (commit).
    char* room(std::size_t n) {
        if (out_.size() - used_ < n) grow(n);
        return out_.data() + used_;
    }
    void commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - out_.data()); }
    void grow(std::size_t n);

    std::string out_;        // the text, then room: its size is the room's end
    std::size_t used_ = 0;   // bytes of text
    ByteBuffer value_;       // one value's bytes from the reader
    std::vector<parser::detail::ColumnRead> columns_;
    std::size_t row_start_ = 0;
    std::size_t column_ = 0;
    bool first_ = true;
};

// `v` as Python's repr() writes a float, at `w`, which has room for
// kFloatReprMax bytes; returns the end.
constexpr std::size_t kFloatReprMax = 32;
char* write_float_repr(char* w, double v);

}  // namespace zemo::stores
