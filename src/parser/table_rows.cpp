#include "parser/table_rows.hpp"

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

// Hands each row to a callback as soon as it is complete.
class CallbackSink {
public:
    explicit CallbackSink(const std::function<void(Row&&)>& on_row) : on_row_(on_row) {}
    void start_row() {}
    void read(std::string_view line, std::size_t& pos) { row_.push_back(parse_single_value(line, pos)); }
    void finish_row(bool keep) {
        if (keep) on_row_(std::move(row_));
        row_ = Row();
    }

private:
    const std::function<void(Row&&)>& on_row_;
    Row row_;
};

}  // namespace

StatementReader::StatementReader(std::string_view table_name) {
    prefix_.reserve(table_name.size() + 14);
    prefix_ += "INSERT INTO `";
    prefix_ += table_name;
    prefix_ += '`';
}

std::size_t StatementReader::tuples_start(std::string_view line) {
    constexpr std::size_t npos = std::string_view::npos;
    if (open_) {
        std::size_t k = 0;
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
        if (k < line.size() && line[k] == '(') return k;
        open_ = false;
    }
    // Most lines fail here: too short, or not the prefix at their start.
    if (line.size() < prefix_.size() || std::memcmp(line.data(), prefix_.data(), prefix_.size()) != 0) return npos;
    const std::size_t keyword = find_keyword(line, prefix_.size());
    if (keyword == npos) return npos;
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

Result<TableCursor> TableCursor::open(const std::string& path, std::string_view table_name) {
    auto file = MappedFile::open(path);
    if (!file) return std::move(file).error();
    return TableCursor(std::move(file).value(), table_name);
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

Status for_each_table_row(const std::string& path, std::string_view table_name,
                          const std::function<void(Row&&)>& on_row) {
    auto cursor = TableCursor::open(path, table_name);
    if (!cursor) return std::move(cursor).error();
    detail::CallbackSink sink(on_row);
    cursor.value().read(sink, SIZE_MAX);
    return ok_status();
}

}  // namespace zemo::parser
