#include "parser/table_rows.hpp"

#include <span>
#include <utility>

#include "common/ascii.hpp"
#include "parser/mapped_file.hpp"

namespace zemo::parser {

namespace detail {

namespace {

constexpr std::string_view kKeyword = "VALUES";

bool keyword_at(std::string_view line, std::size_t p) {
    for (std::size_t k = 0; k < kKeyword.size(); ++k) {
        if (ascii::upper(line[p + k]) != kKeyword[k]) return false;
    }
    return true;
}

// The first case-insensitive VALUES at or after `from`, outside `quoted`
// identifiers, so that a table or column called `values` in the statement
// head is not taken for the keyword.
std::size_t find_keyword(std::string_view line, std::size_t from) {
    for (std::size_t p = from; p + kKeyword.size() <= line.size(); ++p) {
        if (line[p] == '`') {
            const std::size_t close = line.find('`', p + 1);
            if (close == std::string_view::npos) return std::string_view::npos;
            p = close;
        } else if (keyword_at(line, p)) {
            return p;
        }
    }
    return std::string_view::npos;
}

// The names in a statement head's column list, "(`a`,`b`)", between `from`
// and `to`; none when it has no list.
std::optional<std::vector<std::string>> head_columns(std::string_view line, std::size_t from, std::size_t to) {
    const std::size_t open = line.find('(', from);
    if (open == std::string_view::npos || open >= to) return std::nullopt;
    std::vector<std::string> names;
    for (std::size_t p = open + 1; p < to;) {
        if (line[p] == ')') break;
        if (line[p] == '`') {
            std::string name;
            std::size_t q = p + 1;
            for (; q < to; ++q) {
                if (line[q] != '`') {
                    name += line[q];
                } else if (q + 1 < to && line[q + 1] == '`') {
                    name += '`';  // a doubled backtick inside the name
                    ++q;
                } else {
                    break;
                }
            }
            names.push_back(std::move(name));
            p = q + 1;
        } else {
            ++p;
        }
    }
    return names;
}

}  // namespace

StatementReader::StatementReader(std::string_view table_name, bool any_verb) {
    const char* verbs[] = {"INSERT INTO `", "INSERT IGNORE INTO `", "REPLACE INTO `"};
    for (const char* verb : std::span(verbs, any_verb ? 3 : 1)) {
        std::string& prefix = prefixes_.emplace_back(verb);
        prefix += table_name;
        prefix += '`';
    }
}

std::size_t StatementReader::head_length(std::string_view line) const noexcept {
    for (const std::string& prefix : prefixes_) {
        if (line.size() >= prefix.size() && std::memcmp(line.data(), prefix.data(), prefix.size()) == 0) {
            return prefix.size();
        }
    }
    return 0;
}

std::size_t StatementReader::tuples_start(std::string_view line) {
    constexpr std::size_t npos = std::string_view::npos;
    if (open_) {
        std::size_t k = 0;
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
        if (k < line.size() && line[k] == '(') return k;
        open_ = false;
        ++unended_;
    }
    // Most lines fail here: too short, or not a prefix at their start.
    const std::size_t head = line.empty() || (line[0] != 'I' && line[0] != 'R') ? 0 : head_length(line);
    if (head == 0) return npos;
    const std::size_t keyword = find_keyword(line, head);
    if (keyword == npos) return npos;
    if (statements_++ == 0) columns_ = head_columns(line, head, keyword);
    const std::size_t after = keyword + kKeyword.size();
    const std::size_t paren = line.find('(', after);
    if (paren == npos) {
        // The head alone: its tuples follow on the next lines, unless a ';'
        // already ended the statement.
        open_ = line.find(';', after) == npos;
    }
    return paren;
}

}  // namespace detail

namespace {

bool starts_with(std::string_view line, std::string_view prefix) noexcept {
    return line.size() >= prefix.size() && std::memcmp(line.data(), prefix.data(), prefix.size()) == 0;
}

// The dump tools write their header within the first few lines, after at
// most a sandbox-mode comment.
constexpr std::size_t kHeaderBytes = 4096;

}  // namespace

void TableScan::note_line(std::string_view line) noexcept {
    if (line_start_ < kHeaderBytes && !header_) {
        header_ = starts_with(line, "-- MySQL dump") || starts_with(line, "-- MariaDB dump");
    }
    // Blank lines (a CR alone included) do not end the file's last word.
    if (line.empty() || line == "\r") return;
    trailer_ = starts_with(line, "-- Dump completed");
}

ScanReport TableScan::report() const {
    ScanReport r;
    r.statements = reader_.statements();
    r.terminated = r.statements > 0 && reader_.unended() == 0 && !cut_;
    r.header = header_;
    r.trailer = trailer_;
    r.rows = rows_;
    r.last_row_end = last_row_end_;
    r.size = dump_.size();
    r.columns = reader_.columns();
    return r;
}

Result<TableCursor> TableCursor::open(const std::string& path, std::string_view table_name, ScanOptions options) {
    auto file = MappedFile::open(path);
    if (!file) return std::move(file).error();
    return TableCursor(std::move(file).value(), table_name, options);
}

// The one-shot loaders read through a cursor too, so that the file's pages
// do not stay resident beside the rows (a dump of one huge line included).
Result<std::vector<Row>> load_table_rows(const std::string& path, std::string_view table_name) {
    auto cursor = TableCursor::open(path, table_name);
    if (!cursor) return std::move(cursor).error();
    std::vector<Row> rows;
    detail::RowVectorSink sink(rows);
    cursor.value().read(sink, SIZE_MAX);
    return rows;
}

Result<RowTable> load_row_table(const std::string& path, std::string_view table_name) {
    auto cursor = TableCursor::open(path, table_name);
    if (!cursor) return std::move(cursor).error();
    RowTable table;
    cursor.value().read(table, SIZE_MAX);
    return table;
}

}  // namespace zemo::parser
