// A dump table in chunks, for loading it into a store with bounded memory:
// as row tuples, or as ready COPY text for PostgreSQL; and what a new table
// for it needs (column names and types).

#include <cstddef>
#include <string>
#include <utility>

#include "members.hpp"
#include "parser/create_table.hpp"
#include "parser/mapped_file.hpp"
#include "parser/table_rows.hpp"
#include "rows.hpp"
#include "stores/column_types.hpp"
#include "stores/copy_text.hpp"

namespace zemo::py::ext {
namespace {

constexpr std::uint64_t kDefaultChunkRows = 10000;

parser::TableCursor open_cursor(Call& c) {
    if (c.count(2) == 0) raise(PyExc_ValueError, "chunk_rows must be at least 1");
    auto cursor = parser::TableCursor::open(std::string(c.text(0)), c.text(1));
    if (!cursor) raise_runtime(cursor.error());
    return std::move(cursor).value();
}

const Param kPath = {"path", Kind::Text};
const Param kTableName = {"table_name", Kind::Text};
const Param kChunkRows = {"chunk_rows", Kind::Unsigned, true, 0.0, kDefaultChunkRows};

const Function kNoMethods[] = {{nullptr, {}, nullptr, nullptr}};

// ---------------------------------------------------------------------------
// TableRowChunks

struct RowChunks {
    parser::TableCursor cursor;
    std::size_t chunk_rows;
    StrCache strings;  // shared across chunks: a repeated value is one str
};

const Function kRowChunksNew = {
    "__new__", {{kPath, kTableName, kChunkRows}}, "",
    [](Call& c) {
        c.init_self(new RowChunks{open_cursor(c), static_cast<std::size_t>(c.count(2)), {}});
        return none();
    },
    Receiver::Construct};

const Function kRowChunksNext = {
    "__next__", {}, "",
    [](Call& c) -> PyObject* {
        RowChunks& chunks = c.self<RowChunks>();
        parser::RowTable table;
        if (chunks.cursor.read(table, chunks.chunk_rows) == 0) return nullptr;
        return rows_to_tuples(std::move(table), chunks.strings);
    },
    Receiver::Exclusive, true};

ClassInfo kRowChunksClass = {
    "TableRowChunks",
    "Iterate over the rows of a table in a MySQL dump file, in lists of at most chunk_rows tuples.\n\n"
    "Together the chunks hold exactly the rows of parser.load_table_rows(path, table_name), in\n"
    "order, while memory stays bounded by a chunk whatever the size of the table. The file is\n"
    "opened here; errors as load_table_rows.",
    &kRowChunksNew,
    kNoMethods,
    0,
    nullptr,
    nullptr,
    &kRowChunksNext,
};

// ---------------------------------------------------------------------------
// TableCopyChunks

struct CopyChunks {
    parser::TableCursor cursor;
    std::size_t chunk_rows;
    stores::CopyTextWriter writer;
};

const Function kCopyChunksNew = {
    "__new__", {{kPath, kTableName, kChunkRows}}, "",
    [](Call& c) {
        c.init_self(new CopyChunks{open_cursor(c), static_cast<std::size_t>(c.count(2)), {}});
        return none();
    },
    Receiver::Construct};

const Function kCopyChunksNext = {
    "__next__", {}, "",
    [](Call& c) -> PyObject* {
        CopyChunks& chunks = c.self<CopyChunks>();
        chunks.writer.clear();
        if (chunks.cursor.read(chunks.writer, chunks.chunk_rows) == 0) return nullptr;
        return bytes(chunks.writer.text());
    },
    Receiver::Exclusive, true};

ClassInfo kCopyChunksClass = {
    "TableCopyChunks",
    "Iterate over the rows of a table in a MySQL dump file as PostgreSQL COPY text, in bytes\n"
    "objects of at most chunk_rows lines.\n\n"
    "The rows are those of TableRowChunks: values separated by tabs, NULL as \\N, text in the\n"
    "PostgreSQL text form (U+0000 removed) with backslash, tab, LF and CR escaped, numbers as\n"
    "str() writes them.",
    &kCopyChunksNew,
    kNoMethods,
    0,
    nullptr,
    nullptr,
    &kCopyChunksNext,
};

// ---------------------------------------------------------------------------
// Functions

PyObject* table_columns(Call& c) {
    auto file = parser::MappedFile::open(std::string(c.text(0)));
    if (!file) raise_runtime(file.error());
    const auto columns = parser::create_table_columns(file.value().bytes(), c.text(1));
    return columns ? str_list(*columns) : none();
}

PyObject* table_column_types(Call& c) {
    auto cursor = parser::TableCursor::open(std::string(c.text(0)), c.text(1));
    if (!cursor) raise_runtime(cursor.error());
    stores::ColumnProfile profile;
    cursor.value().read(profile, SIZE_MAX);
    return list(profile.types(), [](stores::ColumnType t) { return str(stores::column_type_name(t)); });
}

const Function kFunctions[] = {
    {"table_columns",
     {{kPath, kTableName}},
     "The column names of the table's CREATE TABLE statement in a MySQL dump file, or None\n"
     "when the dump has none.",
     &table_columns},
    {"table_column_types",
     {{kPath, kTableName}},
     "The type each column of the table takes from its values in a MySQL dump file, as wide as\n"
     "its widest row: \"integer\" (64-bit integers), \"numeric\" (integers beyond 64 bits, or floats\n"
     "beside integers a double cannot hold exactly), \"float\", \"text\" (also a column of NULLs\n"
     "only) or \"mixed\" (strings and numbers).",
     &table_column_types},
};

}  // namespace

void register_dump(PyObject* module) {
    add_class<kRowChunksClass, 0>(module);
    add_class<kCopyChunksClass, 0>(module);
    add_functions<kFunctions>(module);
}

}  // namespace zemo::py::ext
