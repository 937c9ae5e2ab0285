#pragma once
// Reading one table's rows out of a MySQL dump file.
//
// A table's rows are the tuples of the INSERT statements whose line starts
// with "INSERT INTO `<table>`". A statement may run over several lines, as
// mariadb-dump writes it (the head on a line of its own, then one tuple per
// line): after such a head every following line that starts with '(' belongs
// to the statement until a ';' between tuples ends it or a line that does not
// start with '(' comes. Each tuple lies within one line, since dumps escape
// line breaks inside strings, so a damaged tuple never swallows later lines.

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "parser/create_table.hpp"
#include "parser/mapped_file.hpp"
#include "parser/mysql.hpp"
#include "parser/streamed_file.hpp"
#include "parser/row_table.hpp"
#include "parser/tuple_list.hpp"

namespace zemo::parser {

// How a scan reads the dump. The defaults are those of the parser's own
// functions; a checked scan also reads INSERT IGNORE and REPLACE statements,
// keeps integers of any length, drops a tuple cut at the end of its line and
// notes what tells a whole dump from a cut one (ScanReport).
struct ScanOptions {
    bool checked = false;
};

// What a checked scan saw, complete once the table's rows are exhausted.
struct ScanReport {
    std::size_t statements = 0;  // the table's INSERT statements
    bool terminated = false;     // each ended with ';' and no tuple was cut
    bool header = false;         // a dump tool's header comment in the first lines
    bool trailer = false;        // the last non-blank line is the completion comment
    bool changed = false;        // the file changed while it was read
    std::size_t rows = 0;        // rows read
    std::size_t last_row_end = 0;  // the offset just after the last whole tuple
    std::size_t size = 0;        // the bytes scanned
    // The column list of the first statement, when it names its columns.
    std::optional<std::vector<std::string>> columns;
};

namespace detail {

// The line-by-line state of one table's statements.
class StatementReader {
public:
    StatementReader(std::string_view table_name, bool any_verb);

    // Where the tuples of `line` (without its LF) start, or npos when the
    // line holds none of the table's. After a start, tell `tuples_read`
    // whether a ';' ended the statement within the line.
    std::size_t tuples_start(std::string_view line);
    // Whether the start of a line whose end has not come yet tells whether
    // the line holds tuples (tuples_start would say the same of the whole).
    bool decided(std::string_view start) const noexcept;
    void tuples_read(bool statement_ended) noexcept { open_ = !statement_ended; }

    std::size_t statements() const noexcept { return statements_; }
    // Statements that ended without a ';' (the line after them not a tuple
    // line), and whether the last one is still open.
    std::size_t unended() const noexcept { return unended_ + (open_ ? 1 : 0); }
    const std::optional<std::vector<std::string>>& columns() const noexcept { return columns_; }

private:
    std::size_t head_length(std::string_view line) const noexcept;

    std::vector<std::string> prefixes_;  // INSERT INTO `table`, and with any_verb the other verbs
    bool open_ = false;   // a statement of the table has not ended yet
    std::size_t statements_ = 0;
    std::size_t unended_ = 0;
    std::optional<std::vector<std::string>> columns_;
};

}  // namespace detail

// A resumable walk over one table's rows in dump text already in memory:
// each read() hands the next rows, in file order, to a sink of the tuple walk
// (RowTable, detail::RowVectorSink, ...) and may stop in the middle of a
// line, so that the rows come in chunks of a bounded size.
//
// The text may also be a window onto a longer dump that arrives in pieces
// (`more`): the walk then stops before a line whose end it has not seen yet,
// and moved() tells it where the window lies now. A line whose unended part
// reaches `long_line` bytes is read as it comes: its tuples up to the last
// whole one, a tuple cut by the window's end read again from its start once
// the rest has come (one of another table is passed over). So a statement or
// a string cut by a piece's end reads as it would from the whole file, and
// the window holds about a piece and the row being read, however long the
// line.
class TableScan {
public:
    TableScan(std::string_view dump, std::string_view table_name, ScanOptions options = {}, bool more = false,
              std::size_t long_line = SIZE_MAX)
        : dump_(dump), table_(table_name), reader_(table_name, options.checked), checked_(options.checked),
          more_(more), long_line_(long_line) {}

    // Reads at most `max_rows` further rows into `sink`; the count read, 0
    // once the table's rows are exhausted (or, with more bytes to come, the
    // window's whole lines are).
    template <typename Sink>
    std::size_t read(Sink& sink, std::size_t max_rows);

    // Walks up to the table's first row without reading it; false when the
    // window ends first.
    bool find_rows() { return in_line_ || next_tuples_line(); }

    // The window now holds the dump from `dropped` bytes further on than the
    // last one did (what consumed() allowed to drop); `more`: bytes follow it.
    void moved(std::string_view window, std::size_t dropped, bool more) noexcept;
    bool more() const noexcept { return more_; }

    // The table's CREATE TABLE statement, as far as the walk has met it (the
    // lines before the first row; empty when there was none).
    const std::string& create_statement() const noexcept { return create_; }
    const std::string& table() const noexcept { return table_; }

    // The offset before which the scan never reads the dump again (within a
    // line: the tuples already read, so that a single huge line need not
    // stay resident).
    std::size_t consumed() const noexcept { return in_line_ ? line_start_ + pos_ : next_; }

    // What a checked scan saw so far (all of it once read() returned less
    // than asked); `changed` is the caller's to fill.
    ScanReport report() const;

private:
    bool next_tuples_line();
    void note_line(std::string_view line) noexcept;
    void note_create(std::string_view line);

    std::string_view dump_;
    std::string table_;
    detail::StatementReader reader_;
    std::size_t base_ = 0;        // the dump offset of dump_'s first byte
    std::size_t searched_ = 0;    // no LF before this offset after next_
    std::size_t next_ = 0;        // offset of the next line
    bool in_line_ = false;        // a line's tuples are partly read
    std::size_t line_start_ = 0;  // that line: offset, bytes, read position
    std::string_view line_;
    std::size_t pos_ = 0;
    InterruptPoller poller_;
    bool checked_ = false;
    bool more_ = false;
    std::size_t long_line_ = SIZE_MAX;
    bool partial_ = false;   // the line being read has not ended within the window
    bool skipping_ = false;  // the rest of a long line of no tuples of the table is passed over
    bool header_ = false, trailer_ = false, cut_ = false;
    std::size_t rows_ = 0, last_row_end_ = 0;
    std::string create_;
    bool creating_ = false, created_ = false;
};

template <typename Sink>
std::size_t TableScan::read(Sink& sink, std::size_t max_rows) {
    std::size_t budget = max_rows;
    while (budget > 0) {
        if (!in_line_ && !next_tuples_line()) break;
        detail::TupleMarks marks;
        const std::size_t from = pos_;
        const detail::TuplesEnd end =
            detail::append_tuples(line_, pos_, sink, budget, poller_, checked_ || partial_ ? &marks : nullptr);
        if (marks.closed) last_row_end_ = base_ + line_start_ + marks.last_end;
        if (end == detail::TuplesEnd::Line && partial_) {
            // The window ends within the line: a tuple it cut (left out) is
            // read again from its start once the rest has come.
            pos_ = marks.closed ? marks.last_end : from;
            break;
        }
        cut_ |= marks.cut;
        if (end == detail::TuplesEnd::Limit) break;
        reader_.tuples_read(end == detail::TuplesEnd::Statement);
        in_line_ = false;
        if (partial_) {  // a ';' ended the statement: the rest of the line is passed over
            partial_ = false;
            skipping_ = true;
            next_ = line_start_ + pos_;
        }
    }
    rows_ += max_rows - budget;
    return max_rows - budget;
}

// All rows of the table in dump text already in memory, into `sink`.
template <typename Sink>
void read_table_rows(std::string_view dump, std::string_view table_name, Sink& sink) {
    TableScan(dump, table_name).read(sink, SIZE_MAX);
}

// A TableScan over a dump file: a regular file is mapped, and pages behind
// the scan are handed back after each read, so the process keeps only about a
// chunk's worth of the file resident however large the file is; a pipe
// is read in pieces (see TableScan for what the window holds).
class TableCursor {
public:
    // Errors as MappedFile::open.
    static Result<TableCursor> open(const std::string& path, std::string_view table_name,
                                    ScanOptions options = {});
    // A cursor reading `stream` in pieces, whatever it is.
    static TableCursor streamed(StreamedFile stream, std::string_view table_name, ScanOptions options = {}) {
        return TableCursor(std::move(stream), table_name, options);
    }

    // The scan's report, with whether the file changed since it was opened
    // (a stream is judged by whoever writes it).
    ScanReport report() const {
        ScanReport r = scan_.report();
        r.changed = file_ && file_->changed();
        return r;
    }

    // Reads up to the table's first row; the columns of its CREATE TABLE
    // statement met on the way, as create_table_definitions gives them.
    Result<std::optional<std::vector<ColumnDefinition>>> definitions();

    // The pages are released every megabyte or so of the file, even within
    // a read of many rows or of one line.
    template <typename Sink>
    std::size_t read(Sink& sink, std::size_t max_rows) {
        if (stream_) return read_streamed(sink, max_rows);
        std::size_t total = 0;
        while (total < max_rows) {
            const std::size_t from = scan_.consumed();
            const std::size_t step = std::min(max_rows - total, step_);
            const std::size_t n = scan_.read(sink, step);
            file_->release_before(scan_.consumed());
            total += n;
            if (n < step) break;  // the table's rows are exhausted
            const std::size_t bytes_per_row = std::max<std::size_t>(1, (scan_.consumed() - from) / n);
            step_ = std::clamp<std::size_t>(kReleaseBytes / bytes_per_row, 1, kMaxStep);
        }
        return total;
    }

    // A read error of a stream, once read() has returned less than asked.
    const std::optional<Error>& error() const noexcept { return error_; }

private:
    TableCursor(MappedFile file, std::string_view table_name, ScanOptions options)
        : file_(std::move(file)), scan_(file_->bytes(), table_name, options) {}
    TableCursor(StreamedFile stream, std::string_view table_name, ScanOptions options)
        : stream_(std::move(stream)), scan_({}, table_name, options, true, stream_->piece()) {}

    // The next piece of a stream into the scan's window; false at its end.
    bool refill();

    template <typename Sink>
    std::size_t read_streamed(Sink& sink, std::size_t max_rows) {
        std::size_t total = 0;
        while (total < max_rows) {
            total += scan_.read(sink, max_rows - total);
            if (total == max_rows || !scan_.more() || !refill()) break;
        }
        return total;
    }

    static constexpr std::size_t kReleaseBytes = std::size_t{1} << 20;
    static constexpr std::size_t kMaxStep = 4096;

    std::optional<MappedFile> file_;  // a regular file's mapping
    std::optional<StreamedFile> stream_;  // or a pipe's pieces
    std::optional<Error> error_;
    TableScan scan_;
    std::size_t step_ = 1;  // rows per scan read between releases, adapted to the row size
};

// All rows of `table_name` in the dump at `path`, in file order. A file
// without such rows, or an empty file, gives no rows; only opening, fstat
// and mapping fail.
Result<std::vector<Row>> load_table_rows(const std::string& path, std::string_view table_name);

// The same rows in the compact form.
Result<RowTable> load_row_table(const std::string& path, std::string_view table_name);

}  // namespace zemo::parser
