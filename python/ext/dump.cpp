// A dump table in chunks, for loading it into a store with bounded memory:
// as row tuples, or as ready COPY text for PostgreSQL; and what a new table
// for it needs (column names and types). Files are read and parsed without
// the interpreter lock (see LockReleased); Python objects are made after.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>
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

constexpr Param kPath = {.name = "path", .kind = Kind::Text};
constexpr Param kTableName = {.name = "table_name", .kind = Kind::Text};
constexpr Param kChunkRows = {
    .name = "chunk_rows", .kind = Kind::Unsigned, .has_default = true, .default_unsigned = kDefaultChunkRows};

// A class that reads a dump table in chunks of at most chunk_rows rows and
// is its own iterator. `Chunk` gives its name and docstring (kName, kDoc),
// the `State` an instance keeps across chunks, and `next`, which reads and
// converts the next chunk, or returns nullptr at the end of the table.
template <typename Chunk>
struct ChunkIterator {
    struct Instance {
        parser::TableCursor cursor;
        std::size_t chunk_rows;
        typename Chunk::State state;
    };

    static PyObject* construct(Call& c) {
        if (c.count(2) == 0) raise(PyExc_ValueError, "chunk_rows must be at least 1");
        const std::string path(c.text(0));
        const std::string table(c.text(1));
        auto cursor = without_lock([&] { return parser::TableCursor::open(path, table); });
        if (!cursor) raise_runtime(cursor.error());
        c.init_self(new Instance{std::move(cursor).value(), static_cast<std::size_t>(c.count(2)), {}});
        return none();
    }

    static PyObject* next(Call& c) {
        Instance& it = c.self<Instance>();
        return Chunk::next(it.cursor, it.chunk_rows, it.state);
    }

    static constexpr Function kNew = {
        .name = "__new__",
        .params = {kPath, kTableName, kChunkRows},
        .impl = &construct,
        .receiver = Receiver::Construct,
    };
    static constexpr Function kNext = {
        .name = "__next__", .impl = &next, .receiver = Receiver::Exclusive, .no_args = true};
    static constexpr ClassInfo kClass = {
        .name = Chunk::kName, .doc = Chunk::kDoc, .constructor = &kNew, .next = &kNext};
};

struct RowChunk {
    static constexpr const char* kName = "TableRowChunks";
    static constexpr const char* kDoc =
        "Iterate over the rows of a table in a MySQL dump file, in lists of at most chunk_rows tuples.\n\n"
        "Together the chunks hold exactly the rows of parser.load_table_rows(path, table_name), in\n"
        "order, while memory stays bounded by a chunk whatever the size of the table. The file is\n"
        "opened here; errors as load_table_rows.";
    using State = StrCache;  // shared across chunks: a repeated value is one str

    static PyObject* next(parser::TableCursor& cursor, std::size_t chunk_rows, StrCache& strings) {
        parser::RowTable table;
        if (without_lock([&] { return cursor.read(table, chunk_rows); }) == 0) return nullptr;
        return rows_to_tuples(std::move(table), strings);
    }
};

struct CopyChunk {
    static constexpr const char* kName = "TableCopyChunks";
    static constexpr const char* kDoc =
        "Iterate over the rows of a table in a MySQL dump file as PostgreSQL COPY text, in bytes\n"
        "objects of at most chunk_rows lines.\n\n"
        "The rows are those of TableRowChunks: values separated by tabs, NULL as \\N, text in the\n"
        "PostgreSQL text form (U+0000 removed) with backslash, tab, LF and CR escaped, numbers as\n"
        "str() writes them.";
    using State = stores::CopyTextWriter;

    static PyObject* next(parser::TableCursor& cursor, std::size_t chunk_rows, stores::CopyTextWriter& writer) {
        writer.clear();
        if (without_lock([&] { return cursor.read(writer, chunk_rows); }) == 0) return nullptr;
        return bytes(writer.text());
    }
};

// ---------------------------------------------------------------------------
// Functions

PyObject* table_columns(Call& c) {
    const std::string path(c.text(0));
    const std::string table(c.text(1));
    std::optional<std::vector<std::string>> columns;
    auto file = without_lock([&] {
        auto opened = parser::MappedFile::open(path);
        if (opened) columns = parser::create_table_columns(opened.value().bytes(), table);
        return opened;
    });
    if (!file) raise_runtime(file.error());
    return columns ? str_list(*columns) : none();
}

PyObject* table_column_types(Call& c) {
    const std::string path(c.text(0));
    const std::string table(c.text(1));
    stores::ColumnProfile profile;
    auto cursor = without_lock([&] {
        auto opened = parser::TableCursor::open(path, table);
        if (opened) opened.value().read(profile, SIZE_MAX);
        return opened;
    });
    if (!cursor) raise_runtime(cursor.error());
    return list(profile.types(), [](stores::ColumnType t) { return str(stores::column_type_name(t)); });
}

constexpr Function kFunctions[] = {
    {.name = "table_columns",
     .params = {kPath, kTableName},
     .doc = "The column names of the table's CREATE TABLE statement in a MySQL dump file, or None\n"
            "when the dump has none.",
     .impl = &table_columns},
    {.name = "table_column_types",
     .params = {kPath, kTableName},
     .doc = "The type each column of the table takes from its values in a MySQL dump file, as wide as\n"
            "its widest row: \"integer\" (64-bit integers), \"numeric\" (integers beyond 64 bits, or floats\n"
            "beside integers a double cannot hold exactly), \"float\", \"text\" (also a column of NULLs\n"
            "only) or \"mixed\" (strings and numbers).",
     .impl = &table_column_types},
};

}  // namespace

void register_dump(PyObject* module) {
    add_class<ChunkIterator<RowChunk>::kClass>(module);
    add_class<ChunkIterator<CopyChunk>::kClass>(module);
    add_functions<kFunctions>(module);
}

}  // namespace zemo::py::ext
