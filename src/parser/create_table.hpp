#pragma once
// Column names out of a dump's CREATE TABLE statement.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zemo::parser {

// The column names, in order, of the first line-initial
// "CREATE TABLE [IF NOT EXISTS] `table_name` (" statement of `dump` (names
// only: types, keys and constraints are skipped); nothing when the dump has
// no such statement. The statement may span lines, as dumps write it.
std::optional<std::vector<std::string>> create_table_columns(std::string_view dump, std::string_view table_name);

// A column of the statement and the rest of its definition, blanks trimmed
// ("decimal(5,2) NOT NULL DEFAULT 0.00").
struct ColumnDefinition {
    std::string name;
    std::string definition;
};

// The same columns with their definitions, from a statement that comes
// before the table's first INSERT (or REPLACE) line, as in dumps.
std::optional<std::vector<ColumnDefinition>> create_table_definitions(std::string_view dump,
                                                                      std::string_view table_name);

// Whether `line` opens the table's CREATE TABLE [IF NOT EXISTS] statement
// (the line its column list opens on).
bool opens_create_table(std::string_view line, std::string_view table_name);

}  // namespace zemo::parser
