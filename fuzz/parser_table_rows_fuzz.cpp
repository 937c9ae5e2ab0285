// libFuzzer target for the dump loader on a real file: each input line that
// starts with '(' becomes an INSERT line of table `t`, every other line a
// comment. Loading the file (in one go, and through a cursor in chunks) gives
// exactly the rows of the VALUES parser run line by line. The file ends at a
// page boundary without a final LF, so a read past the mapping faults. Read
// as a stream in pieces of 1 to 64 bytes, it gives the same rows and report.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "parser/row_table.hpp"
#include "parser/table_rows.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo;
    using namespace zemo::parser;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t chunk = 1 + fuzz::take_byte(input) % 4;
    const std::size_t piece = 1 + fuzz::take_byte(input) % 64;
    std::string dump;
    std::vector<Row> expected;
    for (const std::string& line : fuzz::fields(input, 64, 4096)) {
        if (!line.empty() && line[0] == '(') {
            dump += "INSERT INTO `t` VALUES " + line + "\n";
            for (Row& row : parse_sql_values(line)) expected.push_back(std::move(row));
        } else {
            dump += "-- " + line + "\n";
        }
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    dump += "--";
    dump.append((page - dump.size() % page) % page, '-');

    static const std::string path = "/tmp/zemo_dump_fuzz_" + std::to_string(::getpid()) + ".sql";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    fuzz::require(f != nullptr && std::fwrite(dump.data(), 1, dump.size(), f) == dump.size());
    std::fclose(f);

    auto rows = load_table_rows(path, "t");
    fuzz::require(rows.ok() && rows.value() == expected);
    auto table = load_row_table(path, "t");
    fuzz::require(table.ok() && table.value().to_rows() == expected);
    auto cursor = TableCursor::open(path, "t");
    fuzz::require(cursor.ok());
    std::vector<Row> chunked;
    for (;;) {
        RowTable next;
        if (cursor.value().read(next, chunk) == 0) break;
        for (Row& row : next.to_rows()) chunked.push_back(std::move(row));
    }
    fuzz::require(chunked == expected);

    constexpr ScanOptions kChecked = {.checked = true};
    auto mapped = TableCursor::open(path, "t", kChecked);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    fuzz::require(mapped.ok() && fd >= 0);
    TableCursor streamed = TableCursor::streamed(StreamedFile(fd, path, piece), "t", kChecked);
    std::vector<Row> mapped_rows, streamed_rows;
    for (auto [cursor, out] : {std::pair{&mapped.value(), &mapped_rows}, std::pair{&streamed, &streamed_rows}}) {
        for (;;) {
            RowTable next;
            if (cursor->read(next, chunk) == 0) break;
            for (Row& row : next.to_rows()) out->push_back(std::move(row));
        }
    }
    const ScanReport a = mapped.value().report(), b = streamed.report();
    fuzz::require(streamed_rows == mapped_rows && !streamed.error() && a.rows == b.rows && a.size == b.size &&
                  a.statements == b.statements && a.terminated == b.terminated &&
                  a.last_row_end == b.last_row_end && a.header == b.header && a.trailer == b.trailer);
    std::remove(path.c_str());
    return 0;
}
