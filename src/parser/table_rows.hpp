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

#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "parser/mysql.hpp"
#include "parser/row_table.hpp"
#include "parser/tuple_list.hpp"

namespace zemo::parser {

// All rows of `table_name` in the dump at `path`, in file order. A file
// without such rows, or an empty file, gives no rows; only opening, fstat
// and mapping fail.
Result<std::vector<Row>> load_table_rows(const std::string& path, std::string_view table_name);

// The same rows in the compact form.
Result<RowTable> load_row_table(const std::string& path, std::string_view table_name);

// The same rows handed one at a time to `on_row`, in file order.
Status for_each_table_row(const std::string& path, std::string_view table_name,
                          const std::function<void(Row&&)>& on_row);

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

// Calls on_line(line) for every LF-terminated piece of `bytes` and for a last
// piece without LF; a CR before the LF stays in the line.
template <typename OnLine>
void for_each_line(std::string_view bytes, OnLine&& on_line) {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p < end) {
        const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* line_end = lf != nullptr ? lf : end;
        on_line(std::string_view(p, static_cast<std::size_t>(line_end - p)));
        p = lf != nullptr ? lf + 1 : end;
    }
}

}  // namespace detail

// The rows of `table_name` in dump text already in memory, into `sink` (a
// sink of the tuple walk: RowTable, detail::RowVectorSink, ...).
template <typename Sink>
void read_table_rows(std::string_view dump, std::string_view table_name, Sink& sink) {
    detail::StatementReader reader(table_name);
    detail::for_each_line(dump, [&](std::string_view line) {
        const std::size_t start = reader.tuples_start(line);
        if (start != std::string_view::npos) reader.tuples_read(detail::append_tuples(line.substr(start), sink));
    });
}

}  // namespace zemo::parser
