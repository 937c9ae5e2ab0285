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
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "parser/mapped_file.hpp"
#include "parser/mysql.hpp"
#include "parser/row_table.hpp"
#include "parser/tuple_list.hpp"

namespace zemo::parser {

namespace detail {

// The line-by-line state of one table's statements.
class StatementReader {
public:
    explicit StatementReader(std::string_view table_name);

    // Where the tuples of `line` (without its LF) start, or npos when the
    // line holds none of the table's. After a start, tell `tuples_read`
    // whether a ';' ended the statement within the line.
    std::size_t tuples_start(std::string_view line);
    void tuples_read(bool statement_ended) noexcept { open_ = !statement_ended; }

private:
    std::string prefix_;  // INSERT INTO `table`
    bool open_ = false;   // a statement of the table has not ended yet
};

}  // namespace detail

// A resumable walk over one table's rows in dump text already in memory:
// each read() hands the next rows, in file order, to a sink of the tuple walk
// (RowTable, detail::RowVectorSink, ...) and may stop in the middle of a
// line, so that the rows come in chunks of a bounded size.
class TableScan {
public:
    TableScan(std::string_view dump, std::string_view table_name) : dump_(dump), reader_(table_name) {}

    // Reads at most `max_rows` further rows into `sink`; the count read, 0
    // once the table's rows are exhausted.
    template <typename Sink>
    std::size_t read(Sink& sink, std::size_t max_rows);

    // The offset before which the scan never reads the dump again (within a
    // line: the tuples already read, so that a single huge line need not
    // stay resident).
    std::size_t consumed() const noexcept { return in_line_ ? line_start_ + pos_ : next_; }

private:
    std::string_view dump_;
    detail::StatementReader reader_;
    std::size_t next_ = 0;        // offset of the next line
    bool in_line_ = false;        // a line's tuples are partly read
    std::size_t line_start_ = 0;  // that line: offset, bytes, read position
    std::string_view line_;
    std::size_t pos_ = 0;
    InterruptPoller poller_;
};

template <typename Sink>
std::size_t TableScan::read(Sink& sink, std::size_t max_rows) {
    std::size_t budget = max_rows;
    while (budget > 0) {
        if (!in_line_) {
            if (next_ >= dump_.size()) break;
            // Lines end at LF; a CR before it stays in the line.
            const char* p = dump_.data() + next_;
            const std::size_t rest = dump_.size() - next_;
            const auto* lf = static_cast<const char*>(std::memchr(p, '\n', rest));
            const std::size_t length = lf != nullptr ? static_cast<std::size_t>(lf - p) : rest;
            const std::string_view line(p, length);
            line_start_ = next_;
            next_ += lf != nullptr ? length + 1 : length;
            poller_.tick(length + 1);
            const std::size_t start = reader_.tuples_start(line);
            if (start == std::string_view::npos) continue;
            line_ = line;
            pos_ = start;
            in_line_ = true;
        }
        const detail::TuplesEnd end = detail::append_tuples(line_, pos_, sink, budget, poller_);
        if (end == detail::TuplesEnd::Limit) break;
        reader_.tuples_read(end == detail::TuplesEnd::Statement);
        in_line_ = false;
    }
    return max_rows - budget;
}

// All rows of the table in dump text already in memory, into `sink`.
template <typename Sink>
void read_table_rows(std::string_view dump, std::string_view table_name, Sink& sink) {
    TableScan(dump, table_name).read(sink, SIZE_MAX);
}

// A TableScan over a mapped dump file. Pages behind the scan are handed back
// after each read, so the process keeps only about a chunk's worth of the
// file resident however large the file is.
class TableCursor {
public:
    // Errors as MappedFile::open.
    static Result<TableCursor> open(const std::string& path, std::string_view table_name);

    // The pages are released every megabyte or so of the file, even within
    // a read of many rows or of one line.
    template <typename Sink>
    std::size_t read(Sink& sink, std::size_t max_rows) {
        std::size_t total = 0;
        while (total < max_rows) {
            const std::size_t from = scan_.consumed();
            const std::size_t step = std::min(max_rows - total, step_);
            const std::size_t n = scan_.read(sink, step);
            file_.release_before(scan_.consumed());
            total += n;
            if (n < step) break;  // the table's rows are exhausted
            const std::size_t bytes_per_row = std::max<std::size_t>(1, (scan_.consumed() - from) / n);
            step_ = std::clamp<std::size_t>(kReleaseBytes / bytes_per_row, 1, kMaxStep);
        }
        return total;
    }

    std::string_view bytes() const noexcept { return file_.bytes(); }

private:
    TableCursor(MappedFile file, std::string_view table_name)
        : file_(std::move(file)), scan_(file_.bytes(), table_name) {}

    static constexpr std::size_t kReleaseBytes = std::size_t{1} << 20;
    static constexpr std::size_t kMaxStep = 4096;

    MappedFile file_;
    TableScan scan_;
    std::size_t step_ = 1;  // rows per scan read between releases, adapted to the row size
};

// All rows of `table_name` in the dump at `path`, in file order. A file
// without such rows, or an empty file, gives no rows; only opening, fstat
// and mapping fail.
Result<std::vector<Row>> load_table_rows(const std::string& path, std::string_view table_name);

// The same rows in the compact form.
Result<RowTable> load_row_table(const std::string& path, std::string_view table_name);

// The same rows handed one at a time to `on_row`, in file order.
Status for_each_table_row(const std::string& path, std::string_view table_name,
                          const std::function<void(Row&&)>& on_row);

}  // namespace zemo::parser
