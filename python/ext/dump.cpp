// A dump table in chunks, for loading it into a store with bounded memory:
// as row tuples, or as ready COPY text for PostgreSQL; and what a new table
// for it needs (column names and types). Files are read and parsed without
// the interpreter lock (see LockReleased); Python objects are made after.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

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
constexpr Param kAllowIncomplete = {
    .name = "allow_incomplete", .kind = Kind::Unsigned, .has_default = true, .default_unsigned = 0};

constexpr parser::ScanOptions kChecked = {.checked = true};

// Raised at the end of a scan of a cut dump; a RuntimeError like the
// reader's other errors.
PyObject* g_incomplete_error = nullptr;

// What is wrong with a dump whose scan gave `r`, in one line, or "" when it
// is whole.
std::string incomplete_reason(const parser::ScanReport& r, std::string_view path, std::string_view table) {
    const std::string where = std::string(path) + ": table `" + std::string(table) + "`";
    const std::string last = r.rows == 0 ? "before any row"
                                         : "after row " + std::to_string(r.rows) + " (ending at byte " +
                                               std::to_string(r.last_row_end) + ")";
    if (r.statements > 0 && !r.terminated) {
        return where + ": an INSERT statement is cut short " + last + " of " + std::to_string(r.size) +
               " bytes; the dump is incomplete or damaged";
    }
    if (r.header && !r.trailer) {
        return where + ": the dump ends at byte " + std::to_string(r.size) +
               " without the '-- Dump completed' line its header promises (" + std::to_string(r.rows) +
               " rows read); it is cut short or still being written";
    }
    return {};
}

std::string changed_reason(const parser::ScanReport& r, std::string_view path, std::string_view table) {
    return std::string(path) + ": the file changed while table `" + std::string(table) + "` was read (" +
           std::to_string(r.rows) + " rows read); read it again once it is complete";
}

PyObject* report_dict(const parser::ScanReport& r, std::string_view path, std::string_view table) {
    Ref d(check(PyDict_New()));
    const auto set = [&](const char* key, PyObject* value) {
        Ref v(value);
        if (PyDict_SetItemString(d.get(), key, v.get()) != 0) throw PyErrorSet{};
    };
    const std::string reason = incomplete_reason(r, path, table);
    set("rows", integer(static_cast<long long>(r.rows)));
    set("statements", integer(static_cast<long long>(r.statements)));
    set("terminated", boolean(r.terminated));
    set("header", boolean(r.header));
    set("trailer", boolean(r.trailer));
    set("changed", boolean(r.changed));
    set("last_row_end", integer(static_cast<long long>(r.last_row_end)));
    set("size", integer(static_cast<long long>(r.size)));
    set("columns", r.columns ? str_list(*r.columns) : none());
    set("incomplete", reason.empty() ? none() : str(reason));
    return d.release();
}

PyObject* definitions_list(const std::optional<std::vector<parser::ColumnDefinition>>& columns) {
    if (!columns) return none();
    return list(*columns, [](const parser::ColumnDefinition& d) {
        Ref name(str(d.name));
        Ref definition(str(d.definition));
        return check(PyTuple_Pack(2, name.get(), definition.get()));
    });
}

// A class that reads a dump table in chunks of at most chunk_rows rows and
// is its own iterator. `Chunk` gives its name and docstring (kName, kDoc),
// the `State` an instance keeps across chunks, and `next`, which reads and
// converts the next chunk, or returns nullptr at the end of the table.
template <typename Chunk>
struct ChunkIterator {
    struct Instance {
        parser::TableCursor cursor;
        std::size_t chunk_rows;
        bool allow_incomplete;
        std::string path, table;
        typename Chunk::State state;
        bool done = false;
    };

    static PyObject* construct(Call& c) {
        if (c.count(2) == 0) raise(PyExc_ValueError, "chunk_rows must be at least 1");
        const std::string path(c.text(0));
        const std::string table(c.text(1));
        auto cursor = without_lock([&] { return parser::TableCursor::open(path, table, kChecked); });
        if (!cursor) raise_dump_error(cursor.error());
        c.init_self(new Instance{std::move(cursor).value(), static_cast<std::size_t>(c.count(2)), c.count(3) != 0,
                                 std::string(c.text(0)), std::string(c.text(1)), {}});
        return none();
    }

    // The end of the table is also where the whole dump is judged: a file
    // that changed, or (unless allowed) one cut short, raises instead.
    static PyObject* next(Call& c) {
        Instance& it = c.self<Instance>();
        if (it.done) return nullptr;
        PyObject* chunk = Chunk::next(it.cursor, it.chunk_rows, it.state);
        if (chunk != nullptr) return chunk;
        it.done = true;
        if (it.cursor.error()) raise_dump_error(*it.cursor.error());
        const parser::ScanReport r = it.cursor.report();
        if (r.changed) raise(dump_error_type(), changed_reason(r, it.path, it.table));
        if (!it.allow_incomplete) {
            const std::string reason = incomplete_reason(r, it.path, it.table);
            if (!reason.empty()) raise(g_incomplete_error, reason);
        }
        return nullptr;
    }

    // "value", "decimal", "bytes" or "bytes:N" (a bit literal as at least N
    // bytes) per column, from the first.
    static PyObject* read_columns(Call& c) {
        using Mode = parser::detail::ColumnRead::Mode;
        std::vector<parser::detail::ColumnRead> columns;
        for (std::string_view mode : c.text_list(0)) {
            parser::detail::ColumnRead column;
            if (mode == "decimal") {
                column.mode = Mode::Decimal;
            } else if (mode.substr(0, 5) == "bytes") {
                column.mode = Mode::Bytes;
                std::uint32_t width = 0;
                if (mode.size() > 5) {
                    const auto r = std::from_chars(mode.data() + 6, mode.data() + mode.size(), width);
                    if (mode[5] != ':' || r.ec != std::errc{} || r.ptr != mode.data() + mode.size()) {
                        raise(PyExc_ValueError, "unknown column mode " + std::string(mode));
                    }
                }
                column.width = width;
            } else if (mode != "value") {
                raise(PyExc_ValueError, "unknown column mode " + std::string(mode));
            }
            columns.push_back(column);
        }
        Chunk::read_columns(c.self<Instance>().state, std::move(columns));
        return none();
    }

    static PyObject* table_definitions(Call& c) {
        Instance& it = c.self<Instance>();
        auto columns = without_lock([&] { return it.cursor.definitions(); });
        if (!columns) raise_dump_error(columns.error());
        return definitions_list(columns.value());
    }

    static PyObject* report(Call& c) {
        Instance& it = c.self<Instance>();
        return report_dict(it.cursor.report(), it.path, it.table);
    }

    static constexpr Function kNew = {
        .name = "__new__",
        .params = {kPath, kTableName, kChunkRows, kAllowIncomplete},
        .impl = &construct,
        .receiver = Receiver::Construct,
    };
    static constexpr Function kNext = {
        .name = "__next__", .impl = &next, .receiver = Receiver::Exclusive, .no_args = true};
    static constexpr Function kMethods[] = {
        {.name = "read_columns",
         .params = {{.name = "modes", .kind = Kind::TextList}},
         .doc = "Reads the columns by their declared types from the next chunk on, one mode per column\n"
                "from the first: \"value\" (as before), \"decimal\" (a number as decimal.Decimal of its\n"
                "literal), \"bytes\" (strings, hex and bit literals as bytes, UTF-8 or not) or \"bytes:N\"\n"
                "(the same, a bit literal as at least N bytes).",
         .impl = &read_columns,
         .receiver = Receiver::Exclusive},
        {.name = "table_definitions",
         .doc = "(name, definition) of each column of the table's CREATE TABLE statement, as\n"
                "table_column_definitions gives them, or None when the dump has none before the table's\n"
                "first row; reads the dump up to that row, which the chunks then start with.",
         .impl = &table_definitions,
         .receiver = Receiver::Exclusive,
         .no_args = true},
        {.name = "report",
         .doc = "What the scan saw of the dump so far, complete once the chunks are exhausted: rows,\n"
                "statements, terminated, header, trailer, changed, last_row_end, size, columns (the\n"
                "first INSERT's column list or None) and incomplete (why the dump is cut short, or None).",
         .impl = &report,
         .receiver = Receiver::Exclusive,
         .no_args = true},
    };
    static constexpr ClassInfo kClass = {
        .name = Chunk::kName, .doc = Chunk::kDoc, .constructor = &kNew, .methods = kMethods, .next = &kNext};
};

struct RowChunk {
    static constexpr const char* kName = "TableRowChunks";
    static constexpr const char* kDoc =
        "Iterate over the rows of a table in a MySQL dump file, in lists of at most chunk_rows tuples.\n\n"
        "Together the chunks hold the rows of parser.load_table_rows(path, table_name), in order,\n"
        "while memory stays bounded by a chunk whatever the size of the table; INSERT IGNORE and\n"
        "REPLACE statements are read too, integers keep all their digits (a Decimal beyond a thousand)\n"
        "and a tuple cut at the end of its line is left out. The file is opened here; errors as\n"
        "load_table_rows. At the end a dump cut short raises IncompleteDumpError unless\n"
        "allow_incomplete is true, and a file that changed while read raises RuntimeError.";
    struct State {
        StrCache strings;  // shared across chunks: a repeated value is one str
        std::vector<parser::detail::ColumnRead> columns;
    };

    static void read_columns(State& state, std::vector<parser::detail::ColumnRead> columns) {
        state.columns = std::move(columns);
    }

    static PyObject* next(parser::TableCursor& cursor, std::size_t chunk_rows, State& state) {
        parser::RowTable table;
        table.keep_whole_integers();
        table.read_columns(state.columns);
        if (without_lock([&] { return cursor.read(table, chunk_rows); }) == 0) return nullptr;
        return rows_to_tuples(std::move(table), state.strings);
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

    static void read_columns(State& writer, std::vector<parser::detail::ColumnRead> columns) {
        writer.read_columns(std::move(columns));
    }

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
    if (!file) raise_dump_error(file.error());
    return columns ? str_list(*columns) : none();
}

PyObject* table_column_definitions(Call& c) {
    const std::string path(c.text(0));
    const std::string table(c.text(1));
    std::optional<std::vector<parser::ColumnDefinition>> columns;
    auto file = without_lock([&] {
        auto opened = parser::MappedFile::open(path);
        if (opened) columns = parser::create_table_definitions(opened.value().bytes(), table);
        return opened;
    });
    if (!file) raise_dump_error(file.error());
    return definitions_list(columns);
}

PyObject* table_column_types(Call& c) {
    const std::string path(c.text(0));
    const std::string table(c.text(1));
    stores::ColumnProfile profile;
    auto cursor = without_lock([&] {
        auto opened = parser::TableCursor::open(path, table, kChecked);
        if (opened) opened.value().read(profile, SIZE_MAX);
        return opened;
    });
    if (!cursor) raise_dump_error(cursor.error());
    if (cursor.value().error()) raise_dump_error(*cursor.value().error());
    return list(profile.types(), [](stores::ColumnType t) { return str(stores::column_type_name(t)); });
}

constexpr Function kFunctions[] = {
    {.name = "table_columns",
     .params = {kPath, kTableName},
     .doc = "The column names of the table's CREATE TABLE statement in a MySQL dump file, or None\n"
            "when the dump has none.",
     .impl = &table_columns},
    {.name = "table_column_definitions",
     .params = {kPath, kTableName},
     .doc = "(name, definition) of each column of the table's CREATE TABLE statement in a MySQL dump\n"
            "file, the definition being the rest of the column's line (\"decimal(5,2) NOT NULL\"), or\n"
            "None when the dump has none.",
     .impl = &table_column_definitions},
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
    PyObject* dump_error = check(dump_error_type());
    if (g_incomplete_error == nullptr) {
        g_incomplete_error = check(PyErr_NewException("zemo_etl._ext.IncompleteDumpError", dump_error, nullptr));
    }
    add_class<ChunkIterator<RowChunk>::kClass>(module);
    add_class<ChunkIterator<CopyChunk>::kClass>(module);
    Py_INCREF(dump_error);
    add_member(module, "DumpError", dump_error);
    Py_INCREF(g_incomplete_error);
    add_member(module, "IncompleteDumpError", g_incomplete_error);
    add_functions<kFunctions>(module);
}

}  // namespace zemo::py::ext
