#include "parser/table_rows.hpp"

#include <cstring>
#include <utility>

#include "parser/mapped_file.hpp"

namespace zemo::parser {

namespace detail {

namespace {

constexpr std::string_view kKeyword = "VALUES";

bool keyword_at(std::string_view line, std::size_t p) {
    for (std::size_t k = 0; k < kKeyword.size(); ++k) {
        char c = line[p + k];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
        if (c != kKeyword[k]) return false;
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

}  // namespace

StatementReader::StatementReader(std::string_view table_name) {
    prefix_.reserve(table_name.size() + 14);
    prefix_ += "INSERT INTO `";
    prefix_ += table_name;
    prefix_ += '`';
}

void StatementReader::read_line(std::string_view line, std::vector<Row>& out) {
    if (open_) {
        std::size_t k = 0;
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
        if (k < line.size() && line[k] == '(') {
            open_ = !append_tuples(line.substr(k), out);
            return;
        }
        open_ = false;
    }
    // Most lines fail here: too short, or not the prefix at their start.
    if (line.size() < prefix_.size() || std::memcmp(line.data(), prefix_.data(), prefix_.size()) != 0) return;
    read_head(line, out);
}

void StatementReader::read_head(std::string_view line, std::vector<Row>& out) {
    const std::size_t keyword = find_keyword(line, prefix_.size());
    if (keyword == std::string_view::npos) return;
    const std::size_t after = keyword + kKeyword.size();
    const std::size_t paren = line.find('(', after);
    if (paren == std::string_view::npos) {
        // The head alone: its tuples follow on the next lines, unless a ';'
        // already ended the statement.
        open_ = line.find(';', after) == std::string_view::npos;
        return;
    }
    open_ = !append_tuples(line.substr(paren), out);
}

}  // namespace detail

std::vector<Row> table_rows_in(std::string_view dump, std::string_view table_name) {
    std::vector<Row> rows;
    detail::StatementReader reader(table_name);
    detail::for_each_line(dump, [&](std::string_view line) { reader.read_line(line, rows); });
    return rows;
}

Result<std::vector<Row>> load_table_rows(const std::string& path, std::string_view table_name) {
    auto file = MappedFile::open(path);
    if (!file) return std::move(file).error();
    return table_rows_in(file.value().bytes(), table_name);
}

Status for_each_table_row(const std::string& path, std::string_view table_name,
                          const std::function<void(Row&&)>& on_row) {
    auto file = MappedFile::open(path);
    if (!file) return std::move(file).error();
    std::vector<Row> rows;
    detail::StatementReader reader(table_name);
    detail::for_each_line(file.value().bytes(), [&](std::string_view line) {
        reader.read_line(line, rows);
        for (Row& row : rows) on_row(std::move(row));
        rows.clear();
    });
    return ok_status();
}

}  // namespace zemo::parser
