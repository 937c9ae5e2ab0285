// Dump reader internals the Python face cannot reach: reads that would run
// past the input, the compact row form against the owned one, the callback
// form and the causes kept under the loader's error messages.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check.hpp"
#include "parser/mysql.hpp"
#include "parser/row_table.hpp"
#include "parser/table_rows.hpp"

namespace {

using namespace zemo::parser;

// Two pages, the second inaccessible; text placed at the end of the first,
// so reading a byte past it faults.
class GuardedText {
public:
    GuardedText() {
        page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        base_ = static_cast<char*>(::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ::mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedText() { ::munmap(base_, 2 * page_); }
    GuardedText(const GuardedText&) = delete;
    GuardedText& operator=(const GuardedText&) = delete;

    std::string_view place(std::string_view text) {
        char* at = base_ + page_ - text.size();
        std::memcpy(at, text.data(), text.size());
        return {at, text.size()};
    }

private:
    std::size_t page_;
    char* base_;
};

const std::string_view kRichLine =
    "INSERT INTO `t` VALUES (1,-2.5e-3,'it''s \\'q\\' \\\\ \\n \xC3\xA9 \xF0\x9F\x8E\xB5',NULL,null,"
    "_binary 'b',_utf8mb4'x',0x41FF,X'4142',b'101',0b11,18446744073709551615,1e5.5),(2,'x\\";

}  // namespace

TEST(parser_never_reads_past_any_prefix_of_a_line) {
    GuardedText guard;
    for (std::size_t n = 0; n <= kRichLine.size(); ++n) {
        const std::string_view line = guard.place(kRichLine.substr(0, n));
        (void)parse_sql_values(line);
        // The compact form must hold exactly the owned form's values.
        std::vector<Row> owned;
        detail::RowVectorSink sink(owned);
        read_table_rows(line, "t", sink);
        RowTable compact;
        read_table_rows(line, "t", compact);
        CHECK(compact.to_rows() == owned);
        (void)find_values_start(line);
    }
    const auto rows = parse_sql_values(guard.place(kRichLine));
    CHECK_EQ(rows.size(), 2u);
    CHECK_EQ(rows.back().size(), 2u);
    CHECK(std::get<Text>(rows.back()[1]) == "x\\");
}

TEST(parser_loader_errors_keep_the_system_cause) {
    const std::string missing = "/nonexistent-dir/dump.sql";
    auto result = load_table_rows(missing, "t");
    CHECK_EQ(result.error().message(), "cannot open " + missing);
    CHECK(result.error().cause() != nullptr);
    CHECK(result.error().cause()->message().find("(os error 2)") != std::string::npos);
}

TEST(parser_find_values_start) {
    CHECK(find_values_start("insert into t values (1)") == std::optional<std::size_t>(21));
    CHECK(find_values_start("INSERT INTO `t` VALUES;") == std::nullopt);
    // The first occurrence anywhere, also inside a name.
    CHECK(find_values_start("INSERT INTO `old_values` (a) VALUES (1)") == std::optional<std::size_t>(25));
}
