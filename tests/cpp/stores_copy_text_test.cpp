// The COPY text writer and the resumable table scan under it, where Python
// sees only their results: every chunk size against the one-shot walk, and
// the bytes the server is handed.
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "parser/table_rows.hpp"
#include "stores/column_types.hpp"
#include "stores/copy_text.hpp"

namespace {

using namespace zemo;

const std::string_view kDump =
    "INSERT INTO `t` VALUES (1,'a'),(2,'b');\n"
    "INSERT INTO `t` VALUES\n(3,'c'),\n(4,'d') ;\n"
    "INSERT INTO `u` VALUES (9);\n"
    "INSERT INTO `t` VALUES (),(5,'e'),(6,'f')\n";

}  // namespace

TEST(stores_scan_in_chunks_of_every_size_gives_the_rows_in_order) {
    std::vector<parser::Row> whole;
    parser::detail::RowVectorSink all(whole);
    parser::read_table_rows(kDump, "t", all);
    CHECK_EQ(whole.size(), 6u);
    for (std::size_t size = 1; size <= 7; ++size) {
        std::vector<parser::Row> rows;
        parser::detail::RowVectorSink sink(rows);
        parser::TableScan scan(kDump, "t");
        std::size_t n = 0;
        while ((n = scan.read(sink, size)) > 0) CHECK(n <= size);
        CHECK(rows == whole);
        CHECK_EQ(scan.read(sink, size), 0u);  // stays at the end
    }
}

TEST(stores_copy_text_of_values) {
    stores::CopyTextWriter writer;
    const std::string_view line =
        "(1,NULL,'tab\\there\\\\ and\\0nul\\nLF\\rCR',-9223372036854775808,18446744073709551616,"
        "2.5,-0.0,1e16,0.0001,1.5e-7),(),(2)";
    std::size_t i = 0;
    std::size_t budget = 10;
    parser::detail::append_tuples(line, i, writer, budget);
    CHECK_EQ(writer.text(),
             "1\t\\N\ttab\\there\\\\ andnul\\nLF\\rCR\t-9223372036854775808\t18446744073709551616\t"
             "2.5\t-0.0\t1e+16\t0.0001\t1.5e-07\n2\n");
}

TEST(stores_float_repr_matches_python) {
    const std::pair<double, std::string_view> cases[] = {
        {0.1, "0.1"}, {100.0, "100.0"}, {1e15, "1000000000000000.0"}, {1e16, "1e+16"}, {1.5e300, "1.5e+300"},
        {1e-5, "1e-05"}, {0.00012, "0.00012"}, {-2.5e-10, "-2.5e-10"}, {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"}, {INFINITY, "inf"}, {-INFINITY, "-inf"},
        {NAN, "nan"}, {123456789.125, "123456789.125"},
    };
    for (const auto& [v, want] : cases) {
        std::string got;
        stores::append_float_repr(got, v);
        CHECK_EQ(got, want);
    }
}

TEST(stores_column_types_widen_with_the_values) {
    stores::ColumnProfile profile;
    parser::read_table_rows("INSERT INTO `t` VALUES (1,1,'a',1.5,NULL),(2,99999999999999999999,3,9007199254740993,NULL);",
                            "t", profile);
    using T = stores::ColumnType;
    CHECK(profile.types() == std::vector<T>({T::Integer, T::Numeric, T::Mixed, T::Numeric, T::Text}));
}
