#pragma once
// The VALUES grammar of MySQL dump files: one INSERT statement's tuple list,
// as mysqldump and mariadb-dump write it, turned into rows of typed values.
//
// The parser is one forward pass over bytes and never fails: bytes it does
// not recognise become Null values, malformed numbers become zero and an
// unterminated string or tuple ends where the input ends. It never reads past
// the end of the view it is given.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zemo::parser {

struct Null {
    friend bool operator==(Null, Null) = default;
};

using Integer = std::int64_t;
using Float = double;
using Text = std::string;  // always valid UTF-8

// A well-formed integer beyond the signed 64-bit range (BIGINT UNSIGNED,
// DECIMAL(30,0), wide bit literals), kept exactly: an optional '-' and then
// decimal digits without leading zeros.
struct BigInteger {
    std::string digits;
    friend bool operator==(const BigInteger&, const BigInteger&) = default;
};

using SqlValue = std::variant<Null, Integer, Float, Text, BigInteger>;
using Row = std::vector<SqlValue>;

// Every tuple from the first '(' onward, in order. A ';' met between tuples
// ends the list; tuples that yield no value are dropped.
std::vector<Row> parse_sql_values(std::string_view line);

// One value starting at `pos`; `pos` moves past what it consumed (at least
// one byte unless `pos` is already at the end).
SqlValue parse_single_value(std::string_view line, std::size_t& pos);

// The index of the first '(' after the first case-insensitive "VALUES" of the
// line, or nothing.
std::optional<std::size_t> find_values_start(std::string_view line);

namespace detail {

// Numbers beyond this many significant decimal digits (or bits, for bit
// literals) are not plausible column values and cost quadratic time to keep
// exactly; they degrade to 0 like malformed numbers (unless a reader asks
// for whole integers: the chunk readers keep the digits as they are).
inline constexpr std::size_t kMaxExactDigits = 1000;
inline constexpr std::size_t kMaxExactBits = 3000;

}  // namespace detail

}  // namespace zemo::parser
