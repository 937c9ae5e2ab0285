// Path rules and UTF-8 checks of the state file, and the library-level error
// chains that the Python face reduces to their outermost message.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "check.hpp"
#include "state/quoted.hpp"
#include "state/state.hpp"
#include "state/state_file.hpp"

using namespace zemo::state;
using zemo::Result;
using zemo::Status;

namespace {

std::string scratch_dir() {
    char tmpl[] = "/tmp/zemo_state_test_XXXXXX";
    return ::mkdtemp(tmpl);
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

TEST(state_temp_path_rules) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"state.json", "state.tmp"},
        {"run.state.json", "run.state.tmp"},
        {"state", "state.tmp"},
        {".state", ".state.tmp"},
        {"state.", "state.tmp"},
        {"dir.d/state", "dir.d/state.tmp"},
        {"/a/b.c/state.json", "/a/b.c/state.tmp"},
        {"state.tmp", "state.tmp.tmp"},  // never the target itself
        {"/x/.tmp", "/x/.tmp.tmp"},
        {"dir/state.json/", "dir/state.tmp"},
        {"", ""},  // no file name: left as is, writing it fails
        {".", "."},
        {"..", ".."},
        {"/", "/"},
    };
    for (const auto& [path, temp] : cases) CHECK_EQ(temp_path_for(path), temp);
}

TEST(state_parent_directory) {
    CHECK_EQ(detail::parent_directory("state.json"), ".");
    CHECK_EQ(detail::parent_directory("/state.json"), "/");
    CHECK_EQ(detail::parent_directory("/a/b/state.json"), "/a/b");
    CHECK_EQ(detail::parent_directory("a/b/"), "a");
}

TEST(state_utf8_validation) {
    CHECK(detail::is_valid_utf8("plain ascii"));
    CHECK(detail::is_valid_utf8("Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5"));
    CHECK(!detail::is_valid_utf8("\xC3"));              // truncated
    CHECK(!detail::is_valid_utf8("\xC0\xAF"));          // overlong
    CHECK(!detail::is_valid_utf8("\xE0\x80\xAF"));      // overlong
    CHECK(!detail::is_valid_utf8("\xED\xA0\x80"));      // surrogate
    CHECK(!detail::is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    CHECK(!detail::is_valid_utf8("\xFF"));
}

TEST(state_quoted_literal) {
    CHECK_EQ(quoted_literal("a\"b\\c"), "\"a\\\"b\\\\c\"");
    CHECK_EQ(quoted_literal(std::string("\t\r\n\0'", 5)), "\"\\t\\r\\n\\0'\"");
    CHECK_EQ(quoted_literal("\x01\x7F\x1B"), "\"\\u{1}\\u{7f}\\u{1b}\"");
    // No-break space, zero-width space, line separator, private use.
    CHECK_EQ(quoted_literal("\xC2\xA0\xE2\x80\x8B\xE2\x80\xA8\xEE\x80\x80"),
             "\"\\u{a0}\\u{200b}\\u{2028}\\u{e000}\"");
    CHECK_EQ(quoted_literal("caf\xC3\xA9 \xE6\x97\xA5"), "\"caf\xC3\xA9 \xE6\x97\xA5\"");
    CHECK_EQ(quoted_literal("a\xFF"), "\"a\xEF\xBF\xBD\"");
}

TEST(state_load_errors_keep_their_cause) {
    std::string dir = scratch_dir();
    Result<PipelineState> missing = PipelineState::load(dir + "/absent.json");
    CHECK(!missing);
    CHECK_EQ(missing.error().message(), "reading " + dir + "/absent.json");
    CHECK(missing.error().cause() != nullptr);

    write_file(dir + "/broken.json", "{\"version\": 3,");
    Result<PipelineState> broken = PipelineState::load(dir + "/broken.json");
    CHECK(!broken);
    CHECK_EQ(broken.error().message(), "parsing state JSON");
    CHECK(broken.error().cause() != nullptr);

    write_file(dir + "/deep.json", std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']'));
    Result<PipelineState> deep = PipelineState::load(dir + "/deep.json");
    CHECK(!deep);
    CHECK_EQ(deep.error().message(), "parsing state JSON");

    // At the limit the parser decides (here: valid JSON, but not an object).
    write_file(dir + "/limit.json", std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']'));
    CHECK_EQ(PipelineState::load(dir + "/limit.json").error().message(), "Missing version field in state file");

    // Brackets inside strings do not count as nesting.
    write_file(dir + "/brackets.json", R"({"version": 3, "database_url": ")" + std::string(500, '[') +
                                           R"(", "csv_dir": "\"[", "steps": {}})");
    Result<PipelineState> brackets = PipelineState::load(dir + "/brackets.json");
    CHECK(brackets.ok());
    std::filesystem::remove_all(dir);
}

TEST(state_save_refuses_text_that_is_not_utf8) {
    std::string dir = scratch_dir();
    std::string target = dir + "/state.json";
    write_file(target, "old");
    const std::string_view steps[] = {"create_schema"};
    PipelineState state("postgresql:///etl", "/data/csv", steps);
    state.mark_failed("create_schema", "bad byte \xFF");
    Status saved = state.save(target);
    CHECK(!saved);
    CHECK_EQ(saved.error().message(), "serializing pipeline state");
    CHECK_EQ(saved.error().chain(), "serializing pipeline state: invalid UTF-8 in step error");
    std::ifstream in(target);
    std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CHECK_EQ(contents, "old");
    CHECK(::access((dir + "/state.tmp").c_str(), F_OK) != 0);
    std::filesystem::remove_all(dir);
}

TEST(state_copy_steps_overlays_only_named_steps) {
    const std::string_view names[] = {"a", "b"};
    PipelineState state("u", "d", names);
    auto steps = nlohmann::json::parse(
        R"({"a": {"status": "failed", "error": 7}, "b": {"status": "completed"}, "c": {"status": "completed"}})");
    const std::string_view only_a[] = {"a"};
    state.copy_steps(steps, only_a);
    CHECK_EQ(state.step_status("a"), "failed");
    CHECK(!state.step_error("a").has_value());  // an error that is not a string is dropped
    CHECK_EQ(state.step_status("b"), "pending");
    CHECK_EQ(state.step_status("c"), "unknown");
    const std::string_view c[] = {"c"};
    state.copy_steps(steps, c);  // adds names not yet held
    CHECK_EQ(state.step_status("c"), "completed");
    state.copy_steps(nlohmann::json::array(), names);  // not an object: nothing found
    CHECK_EQ(state.step_status("b"), "pending");
}
