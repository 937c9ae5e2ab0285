// resolve_one, the library's single-name form, which Python does not reach:
// it answers as the batch does.

#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "fuzzy/resolve.hpp"

using namespace zemo::fuzzy;

TEST(fuzzy_resolve_one_answers_as_the_batch) {
    const std::vector<std::string_view> catalog = {"radiohead", "radio head", "stereolab", "bj\xc3\xb6rk"};
    const std::vector<std::string_view> names = {"radiohed", "radiohead", "stereo lab", "bjork", "", "portishead"};
    int found = 0;
    for (const ResolveOptions o : {ResolveOptions{0.85, 2, 0.02}, ResolveOptions{0.5, 1, 0.0}}) {
        const auto batch = batch_fuzzy_resolve(names, catalog, o);
        for (std::size_t i = 0; i < names.size(); ++i) {
            CHECK(resolve_one(names[i], catalog, o) == batch[i]);
            found += batch[i].has_value();
        }
        CHECK(!resolve_one("radiohead", {}, o));
    }
    CHECK(found >= 4);
}
