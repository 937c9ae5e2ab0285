#include "parser/create_table.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "common/ascii.hpp"

namespace zemo::parser {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_word(char c) {
    return ascii::is_alnum(c) || c == '_' || c == '$' || !ascii::is_ascii(static_cast<unsigned char>(c));
}

// Words that open a key or constraint definition instead of a column.
bool opens_key(std::string_view word) {
    static constexpr std::array<std::string_view, 10> kWords = {
        "PRIMARY", "KEY", "INDEX", "UNIQUE", "CONSTRAINT", "FOREIGN", "FULLTEXT", "SPATIAL", "CHECK", "PERIOD"};
    std::string upper(word);
    for (char& c : upper) c = ascii::upper(c);
    for (std::string_view k : kWords) {
        if (upper == k) return true;
    }
    return false;
}

// The identifier at `pos` (backquoted, with `` for a backquote, or a bare
// word); `pos` moves past it. Empty when there is none.
std::string identifier(std::string_view s, std::size_t& pos) {
    std::string out;
    if (pos < s.size() && s[pos] == '`') {
        ++pos;
        while (pos < s.size()) {
            if (s[pos] == '`') {
                if (pos + 1 < s.size() && s[pos + 1] == '`') {
                    out += '`';
                    pos += 2;
                    continue;
                }
                ++pos;
                break;
            }
            out += s[pos++];
        }
        return out;
    }
    while (pos < s.size() && is_word(s[pos])) out += s[pos++];
    return out;
}

// Past a quoted run opening at `pos` ('...', "..." or `...`), backslash
// escapes and doubled quotes included.
void skip_quoted(std::string_view s, std::size_t& pos) {
    const char quote = s[pos++];
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == '\\' && quote != '`') {
            ++pos;
        } else if (c == quote) {
            if (pos < s.size() && s[pos] == quote) {
                ++pos;
            } else {
                return;
            }
        }
    }
}

// Whether `text` (a line) starts a statement adding rows to `table_name`.
bool adds_rows(std::string_view text, std::string_view table_name) {
    for (std::string_view head : {"INSERT INTO ", "INSERT IGNORE INTO ", "REPLACE INTO "}) {
        if (text.substr(0, head.size()) != head) continue;
        std::size_t pos = head.size();
        return pos < text.size() && text[pos] == '`' && identifier(text, pos) == table_name;
    }
    return false;
}

// Where the column list of a line-initial CREATE TABLE [IF NOT EXISTS]
// `table_name` ( opens in `text`, or npos.
std::size_t column_list(std::string_view text, std::string_view table_name) {
    constexpr std::string_view kHead = "CREATE TABLE ";
    if (text.substr(0, kHead.size()) != kHead) return std::string_view::npos;
    std::size_t pos = kHead.size();
    constexpr std::string_view kIfNotExists = "IF NOT EXISTS ";
    if (text.substr(pos, kIfNotExists.size()) == kIfNotExists) pos += kIfNotExists.size();
    if (pos < text.size() && text[pos] == '`' && identifier(text, pos) == table_name) {
        while (pos < text.size() && is_blank(text[pos])) ++pos;
        if (pos < text.size() && text[pos] == '(') return pos;
    }
    return std::string_view::npos;
}

// Where the statement's column list opens ('(' of line-initial
// CREATE TABLE [IF NOT EXISTS] `name` (), or npos; with `before_rows`, npos
// once a statement adds rows to the table first (dumps create a table before
// filling it, and a file of rows alone is not read through).
std::size_t find_statement(std::string_view dump, std::string_view table_name, bool before_rows = false) {
    for (std::size_t line = 0; line < dump.size();) {
        const std::size_t lf = dump.find('\n', line);
        const std::size_t end = lf == std::string_view::npos ? dump.size() : lf;
        std::string_view text = dump.substr(line, end - line);
        const std::size_t open = column_list(text, table_name);
        if (open != std::string_view::npos) return line + open;
        if (before_rows && adds_rows(text, table_name)) return std::string_view::npos;
        line = end + 1;
    }
    return std::string_view::npos;
}

}  // namespace

bool opens_create_table(std::string_view line, std::string_view table_name) {
    return column_list(line, table_name) != std::string_view::npos;
}

std::optional<std::vector<ColumnDefinition>> create_table_definitions(std::string_view dump,
                                                                      std::string_view table_name) {
    std::size_t pos = find_statement(dump, table_name, true);
    if (pos == std::string_view::npos) return std::nullopt;
    ++pos;
    std::vector<ColumnDefinition> columns;
    // One definition per comma at the list's own depth; its first word tells
    // a column from a key.
    bool at_definition = true;
    bool in_column = false;  // the definition being read is a column's
    std::size_t definition = 0;
    const auto end_definition = [&](std::size_t end) {
        if (!in_column) return;
        std::string_view text = dump.substr(definition, end - definition);
        while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
        while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
        columns.back().definition = std::string(text);
        in_column = false;
    };
    int depth = 0;
    while (pos < dump.size()) {
        const char c = dump[pos];
        if (is_blank(c)) {
            ++pos;
        } else if (at_definition) {
            at_definition = false;
            if (c == ')') break;
            const bool quoted = c == '`';
            std::string name = identifier(dump, pos);
            if (name.empty()) {
                ++pos;
            } else if (quoted || !opens_key(name)) {
                columns.push_back({std::move(name), {}});
                in_column = true;
                definition = pos;
            }
        } else if (c == '\'' || c == '"' || c == '`') {
            skip_quoted(dump, pos);
        } else if (c == '/' && pos + 1 < dump.size() && dump[pos + 1] == '*') {
            const std::size_t close = dump.find("*/", pos + 2);
            pos = close == std::string_view::npos ? dump.size() : close + 2;
        } else if (c == '(') {
            ++depth;
            ++pos;
        } else if (c == ')') {
            if (depth == 0) break;
            --depth;
            ++pos;
        } else if (c == ',' && depth == 0) {
            end_definition(pos);
            at_definition = true;
            ++pos;
        } else {
            ++pos;
        }
    }
    end_definition(std::min(pos, dump.size()));
    return columns;
}

std::optional<std::vector<std::string>> create_table_columns(std::string_view dump, std::string_view table_name) {
    auto definitions = create_table_definitions(dump, table_name);
    if (!definitions) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(definitions->size());
    for (ColumnDefinition& d : *definitions) names.push_back(std::move(d.name));
    return names;
}

}  // namespace zemo::parser
