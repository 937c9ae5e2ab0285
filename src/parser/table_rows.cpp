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

bool StatementReader::decided(std::string_view start) const noexcept {
    if (open_) {
        std::size_t k = 0;
        while (k < start.size() && (start[k] == ' ' || start[k] == '\t')) ++k;
        return k < start.size();
    }
    if (start.empty()) return false;
    if (start[0] != 'I' && start[0] != 'R') return true;
    for (const std::string& prefix : prefixes_) {
        if (start.size() < prefix.size()) {
            if (std::string_view(prefix).substr(0, start.size()) == start) return false;
        } else if (start.substr(0, prefix.size()) == prefix) {
            // A head: decided once its tuples are seen to start.
            const std::size_t keyword = find_keyword(start, prefix.size());
            return keyword != std::string_view::npos && start.find('(', keyword + kKeyword.size()) != std::string_view::npos;
        }
    }
    return true;
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

// A line is read before its end only beyond this length, which holds any
// line the scan judges by its start (a statement's head, the dump tool's
// header and completion comments).
constexpr std::size_t kShortestLong = 256;

bool TableScan::next_tuples_line() {
    while (next_ < dump_.size()) {
        // Lines end at LF; a CR before it stays in the line.
        const char* p = dump_.data() + next_;
        const std::size_t rest = dump_.size() - next_;
        const std::size_t from = std::max(searched_, next_) - next_;
        const auto* lf = static_cast<const char*>(std::memchr(p + from, '\n', rest - from));
        if (skipping_) {
            next_ = lf != nullptr ? static_cast<std::size_t>(lf - dump_.data()) + 1 : dump_.size();
            skipping_ = lf == nullptr && more_;
            poller_.tick(rest);
            continue;
        }
        if (lf == nullptr && more_) {
            const std::string_view start(p, rest);
            if (rest < std::max(long_line_, kShortestLong) || !reader_.decided(start)) {
                searched_ = dump_.size();  // the line's end is yet to come
                return false;
            }
            // A long line, read as it comes.
            line_start_ = next_;
            poller_.tick(rest);
            if (checked_) note_line(start);
            pos_ = reader_.tuples_start(start);
            if (pos_ == std::string_view::npos) {
                skipping_ = true;
                next_ = dump_.size();
                continue;
            }
            created_ = true;
            line_ = start;
            in_line_ = partial_ = true;
            return true;
        }
        const std::size_t length = lf != nullptr ? static_cast<std::size_t>(lf - p) : rest;
        const std::string_view line(p, length);
        line_start_ = next_;
        next_ += lf != nullptr ? length + 1 : length;
        poller_.tick(length + 1);
        if (checked_) note_line(line);
        const std::size_t start = reader_.tuples_start(line);
        if (start == std::string_view::npos) {
            if (!created_) note_create(line);
            continue;
        }
        created_ = true;  // only a statement before the rows counts
        line_ = line;
        pos_ = start;
        in_line_ = true;
        return true;
    }
    return false;
}

void TableScan::moved(std::string_view window, std::size_t dropped, bool more) noexcept {
    dump_ = window;
    base_ += dropped;
    more_ = more;
    next_ = std::max(next_, dropped) - dropped;
    searched_ = std::max(searched_, dropped) - dropped;
    if (!in_line_) return;
    const std::size_t line_end = line_start_ + line_.size() - dropped;  // as far as the line was seen, from now on
    // The bytes dropped may reach into the line, up to where it is read.
    pos_ -= std::max(line_start_, dropped) - line_start_;
    line_start_ = std::max(line_start_, dropped) - dropped;
    std::size_t end = line_end;
    if (partial_) {
        const auto* lf = static_cast<const char*>(std::memchr(dump_.data() + end, '\n', dump_.size() - end));
        end = lf != nullptr ? static_cast<std::size_t>(lf - dump_.data()) : dump_.size();
        partial_ = lf == nullptr && more;
        if (!partial_) next_ = lf != nullptr ? end + 1 : end;
    }
    line_ = dump_.substr(line_start_, end - line_start_);
}

// A statement longer than this is not a dump's CREATE TABLE; its columns
// are read from what was kept.
constexpr std::size_t kCreateBytes = std::size_t{1} << 20;

void TableScan::note_create(std::string_view line) {
    if (!creating_) {
        if (line.empty() || line[0] != 'C' || !opens_create_table(line, table_)) return;
        creating_ = true;
    }
    create_.append(line).push_back('\n');
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    created_ = (!line.empty() && line.back() == ';') || create_.size() > kCreateBytes;
}

void TableScan::note_line(std::string_view line) noexcept {
    if (base_ + line_start_ < kHeaderBytes && !header_) {
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
    r.size = base_ + dump_.size();
    r.columns = reader_.columns();
    return r;
}

Result<TableCursor> TableCursor::open(const std::string& path, std::string_view table_name, ScanOptions options) {
    if (auto stream = StreamedFile::open_unmappable(path)) return TableCursor(std::move(*stream), table_name, options);
    auto file = MappedFile::open(path);
    if (!file) return std::move(file).error();
    return TableCursor(std::move(file).value(), table_name, options);
}

bool TableCursor::refill() {
    const std::size_t keep = scan_.consumed();
    auto read = stream_->refill(keep);
    if (!read) {
        error_ = std::move(read).error();
        return false;
    }
    scan_.moved(stream_->window(), keep, !stream_->ended());
    return true;
}

Result<std::optional<std::vector<ColumnDefinition>>> TableCursor::definitions() {
    while (!scan_.find_rows() && stream_ && scan_.more()) {
        if (!refill()) return *error_;
    }
    return create_table_definitions(scan_.create_statement(), scan_.table());
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
