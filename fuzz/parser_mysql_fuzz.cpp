// libFuzzer target for the VALUES parser and the table row loader: any bytes
// parse without faults, every string comes out as valid UTF-8, no row is
// empty, and a dump holding the bytes as one statement gives the table the
// same rows as parsing the bytes directly, in the owned and the compact form
// and read in chunks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/mysql.hpp"
#include "parser/table_rows.hpp"

namespace {

// A plain, independent check of UTF-8 well-formedness.
bool well_formed(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo::parser;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto rows = parse_sql_values(input);
    for (const Row& row : rows) {
        if (row.empty()) std::abort();
        for (const SqlValue& v : row) {
            if (const auto* text = std::get_if<Text>(&v); text != nullptr && !well_formed(*text)) std::abort();
        }
    }
    // One line, starting with '(': the loader takes it as the statement's
    // first tuple line.
    if (input.find('\n') == std::string_view::npos && !input.empty() && input[0] == '(') {
        const std::string dump = "INSERT INTO `t` VALUES " + std::string(input) + "\n";
        std::vector<Row> loaded;
        detail::RowVectorSink sink(loaded);
        read_table_rows(dump, "t", sink);
        RowTable compact;
        read_table_rows(dump, "t", compact);
        if (loaded != rows || compact.to_rows() != rows) std::abort();
        // In chunks, as a load reads it, the same rows in the same order.
        std::vector<Row> chunked;
        detail::RowVectorSink chunk_sink(chunked);
        TableScan scan(dump, "t");
        const std::size_t chunk = 1 + size % 3;
        while (scan.read(chunk_sink, chunk) > 0) {
        }
        if (chunked != rows) std::abort();
    }
    return 0;
}
