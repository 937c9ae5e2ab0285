#pragma once
// The type a new table's column gets from the values a dump holds for it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.hpp"

namespace zemo::stores {

enum class ColumnType : std::uint8_t {
    Integer,  // integers within 64 bits
    Numeric,  // integers beyond 64 bits, or floats beside integers a double cannot hold exactly
    Float,    // floats, and integers a double holds exactly
    Text,     // strings only, or no value but NULL
    Mixed,    // strings and numbers
};

// "integer", "numeric", "float", "text", "mixed".
std::string_view column_type_name(ColumnType type) noexcept;

// A sink of the tuple walk that notes the kinds of value each column holds.
class ColumnProfile {
public:
    void start_row() noexcept { column_ = 0; }
    void read(std::string_view line, std::size_t& pos);
    void finish_row(bool) noexcept {}

    // One type per column, as many columns as the widest row.
    std::vector<ColumnType> types() const;

private:
    struct Seen {
        bool integer = false;
        bool inexact = false;  // an integer beyond 2^53, which a double rounds
        bool wide = false;     // an integer beyond 64 bits
        bool floating = false;
        bool text = false;
    };
    std::vector<Seen> seen_;
    std::size_t column_ = 0;
    ByteBuffer scratch_;
};

}  // namespace zemo::stores
