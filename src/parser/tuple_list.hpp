#pragma once
// The tuple-list walk shared by every form of parsed rows. A sink receives
// the values: start_row(), read(line, pos) for each value (it parses one
// value at `pos`, usually through read_value) and finish_row(keep), where
// keep is false for a tuple that yielded no value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/byte_buffer.hpp"
#include "common/interrupt.hpp"
#include "parser/mysql.hpp"

namespace zemo::parser::detail {

// Bytes and Decimal come only from read_column_value, for columns whose
// declared type asks for them.
enum class ValueKind : std::uint8_t { Null, Integer, Float, Text, BigInteger, Bytes, Decimal };

// A value whose bytes (Text: valid UTF-8; BigInteger: its digits; Bytes: any
// bytes; Decimal: the number as the dump writes it) the reader appended to
// the caller's buffer.
struct Scalar {
    ValueKind kind = ValueKind::Null;
    Integer integer = 0;
    Float floating = 0.0;
};

// One value at `pos`, as parse_single_value reads it; with `whole_integers`
// an integer of any length keeps its digits instead of degrading to 0.
Scalar read_value(std::string_view line, std::size_t& pos, ByteBuffer& out, bool whole_integers = false);

// How the values of one column are read, after its declared type.
struct ColumnRead {
    enum class Mode : std::uint8_t {
        Value,    // as read_value reads them, integers whole
        Decimal,  // a number keeps its literal (DECIMAL, NUMERIC)
        Bytes,    // strings, hex and bit literals keep their bytes, valid UTF-8 or not (BLOB, BINARY, BIT)
    };
    Mode mode = Mode::Value;
    std::uint32_t width = 0;  // Bytes: a bit literal's length in bytes (BIT(n): (n + 7) / 8)
};

// One value at `pos` of a column read as `column` says; NULL and what the
// mode does not cover are read as read_value reads them.
Scalar read_column_value(std::string_view line, std::size_t& pos, ByteBuffer& out, ColumnRead column);

// Where a walk over a line's tuples stopped.
enum class TuplesEnd : std::uint8_t {
    Line,       // the end of the line
    Statement,  // a ';' between tuples: the statement is over
    Limit,      // `budget` rows were kept; `i` is where the next tuple is looked for
};

// What a strict walk notes of the tuples: a tuple that runs to the end of
// its line without ')' (a cut line, since dumps escape line breaks) is not
// kept but noted, and the end of the last whole tuple is kept.
struct TupleMarks {
    std::size_t last_end = 0;  // in the line, just after the last whole tuple's ')'
    bool closed = false;       // a whole tuple ended within this walk
    bool cut = false;
};

// Reads the tuples of `line` from `i` on, from the first '(' at or after it.
// Each kept row takes one from `budget`; once it is spent the walk stops
// before looking for another tuple, so that a later call with the same `i`
// resumes exactly there. Every tuple counts its bytes on `poller`. With
// `marks` the walk is strict (see TupleMarks).
template <typename Sink>
TuplesEnd append_tuples(std::string_view line, std::size_t& i, Sink& sink, std::size_t& budget,
                        InterruptPoller& poller, TupleMarks* marks = nullptr) {
    const std::size_t n = line.size();
    std::size_t polled = i;
    while (i < n) {
        poller.tick(i - polled + 16);
        polled = i;
        if (budget == 0) return TuplesEnd::Limit;
        while (line[i] != '(') {
            if (line[i] == ';') return TuplesEnd::Statement;
            if (++i == n) return TuplesEnd::Line;
            if ((i & 0xFFFF) == 0) poller.tick(0x10000);  // a line of anything but tuples
        }
        ++i;
        sink.start_row();
        bool empty = true;
        bool closed = false;
        std::uint32_t values = 0;
        while (i < n) {
            const char c = line[i];
            if (c == ' ') {
                ++i;
            } else if (c == ')') {
                ++i;
                closed = true;
                break;
            } else if (c == ',' && empty) {
                ++i;
            } else {
                sink.read(line, i);
                empty = false;
                if (++values % 1024 == 0) {  // a tuple may hold any number of values
                    poller.tick(i - polled);
                    polled = i;
                }
                if (i < n && line[i] == ',') ++i;
            }
        }
        if (marks != nullptr) {
            if (closed) {
                marks->last_end = i;
                marks->closed = true;
            } else {
                marks->cut = true;
                empty = true;
            }
        }
        sink.finish_row(!empty);
        if (!empty) --budget;
    }
    return TuplesEnd::Line;
}

template <typename Sink>
TuplesEnd append_tuples(std::string_view line, std::size_t& i, Sink& sink, std::size_t& budget) {
    InterruptPoller poller;
    return append_tuples(line, i, sink, budget, poller);
}

// Every tuple of the line; true when a ';' met while looking for the next
// tuple ended the statement.
template <typename Sink>
bool append_tuples(std::string_view line, Sink& sink) {
    std::size_t i = 0;
    std::size_t budget = SIZE_MAX;
    return append_tuples(line, i, sink, budget) == TuplesEnd::Statement;
}

// One value at `pos`, as parse_single_value reads it, built at the end of
// `row`; `scratch` holds its bytes on the way.
void read_into(Row& row, std::string_view line, std::size_t& pos, ByteBuffer& scratch);

// Rows as vectors of owned values.
class RowVectorSink {
public:
    explicit RowVectorSink(std::vector<Row>& out) : out_(out) {}
    void start_row() { row_.reserve(width_); }  // rows of one table share a width
    void read(std::string_view line, std::size_t& pos) { read_into(row_, line, pos, scratch_); }
    void finish_row(bool keep) {
        if (keep) {
            width_ = row_.size();
            out_.push_back(std::move(row_));
        }
        row_ = Row();
    }

private:
    std::vector<Row>& out_;
    Row row_;
    ByteBuffer scratch_;
    std::size_t width_ = 0;
};

}  // namespace zemo::parser::detail
