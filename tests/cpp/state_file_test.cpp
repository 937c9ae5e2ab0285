// What the Python face cannot reach: the path rules at their corners and
// serialising text that is not UTF-8.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "common/atomic_file.hpp"
#include "state/state.hpp"
#include "state/state_file.hpp"

using namespace zemo::state;

TEST(state_temp_path_rules) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"state.", "state.tmp"},       {"dir.d/state", "dir.d/state.tmp"},
        {"/x/.tmp", "/x/.tmp.tmp"},    {"dir/state.json/", "dir/state.tmp"},
        {"dir/a.tmp/", "dir/a.tmp.tmp"},
        {"", ""}, {".", "."}, {"..", ".."}, {"/", "/"},  // no file name: left as is, writing fails
    };
    for (const auto& [path, temp] : cases) CHECK_EQ(temp_path_for(path), temp);
    CHECK_EQ(zemo::parent_folder("state.json"), ".");
    CHECK_EQ(zemo::parent_folder("/state.json"), "/");
    CHECK_EQ(zemo::parent_folder("/a/b/state.json/"), "/a/b");
}

TEST(state_save_refuses_text_that_is_not_utf8) {
    auto dir = std::filesystem::temp_directory_path() / "zemo_state_test_utf8";
    std::filesystem::create_directories(dir);
    std::string target = dir / "state.json";
    std::ofstream(target) << "old";
    PipelineState state("postgresql:///etl", "/data/csv", {});
    state.mark_failed("create_schema", "bad byte \xFF");
    CHECK_EQ(state.save(target).error().chain(), "serializing pipeline state: invalid UTF-8 in step error");
    std::ifstream in(target);
    CHECK_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old");
    CHECK_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);  // no temporary file left
    std::filesystem::remove_all(dir);
}
