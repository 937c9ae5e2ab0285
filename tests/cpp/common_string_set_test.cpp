// The open-addressing string set against std::unordered_set: the same
// answers to every insert, add and lookup while the table grows from empty
// or from a reservation, with keys that share slots, prefixes and NUL bytes.
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "check.hpp"
#include "common/string_set.hpp"

using namespace zemo;

namespace {

// Keys from a three-letter alphabet (NUL among them) of length 0 to 20:
// many repeats, many keys that are prefixes of others.
std::string random_key(std::mt19937& rng) {
    static constexpr char kLetters[] = {'a', 'b', '\0'};
    std::string key(rng() % 21, ' ');
    for (char& c : key) c = kLetters[rng() % 3];
    return key;
}

}  // namespace

TEST(string_set_matches_unordered_set) {
    for (const std::size_t reserved : {std::size_t{0}, std::size_t{5}, std::size_t{3000}}) {
        std::mt19937 rng(static_cast<unsigned>(reserved) + 1);
        StringSet set;
        std::unordered_set<std::string> reference;
        set.reserve(reserved);
        std::vector<std::string> order;
        for (int step = 0; step < 6000; ++step) {
            const std::string key = random_key(rng);
            const bool added = reference.insert(key).second;
            if (step % 2 == 0) {
                CHECK_EQ(set.insert(key), added);
                if (added) order.push_back(key);
            } else {  // add: the key's number in the order of first insertion
                if (added) order.push_back(key);
                const std::size_t index = set.add(key);
                CHECK(index < order.size() && order[index] == key);
            }
            const std::string probe = random_key(rng);
            CHECK_EQ(set.contains(probe), reference.contains(probe));
        }
        CHECK_EQ(set.size(), reference.size());
        CHECK(set.keys() == order);
        for (const std::string& key : order) CHECK(set.contains(key));
    }
}

TEST(string_set_empty) {
    StringSet set;
    CHECK(!set.contains(""));
    CHECK(!set.contains("a"));
    CHECK(set.insert(""));
    CHECK(!set.insert(std::string_view("", 0)));
    CHECK(set.contains(""));
    CHECK(!set.contains(std::string_view("\0", 1)));
}
