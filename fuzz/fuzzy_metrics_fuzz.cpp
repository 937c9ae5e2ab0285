// Compares the fast measures with the plain ones on arbitrary input: the
// first byte picks where the input splits into the two strings, and the
// strings are made valid UTF-8 the way the binding layer guarantees.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzzy_reference.hpp"
#include "common/utf8.hpp"
#include "fuzzy/metrics.hpp"

namespace {

// Keeps well-formed UTF-8 sequences and replaces every other byte by '?'.
std::string valid_utf8(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string out;
    for (std::size_t i = 0; i < size;) {
        std::size_t len = std::min<std::size_t>(4, size - i);
        while (len > 0 && !zemo::utf8::is_valid(in.substr(i, len))) --len;
        out += len > 0 ? in.substr(i, len) : "?";
        i += len > 0 ? len : 1;
    }
    return out;
}

void same(double fast, double plain) {
    if (fast != plain) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cut = 1 + data[0] * (size - 1) / 256;
    const std::string a = valid_utf8(data + 1, cut - 1);
    const std::string b = valid_utf8(data + cut, size - cut);
    using namespace zemo::fuzzy;
    same(fuzz_ratio(a, b), reference::fuzz_ratio(a, b));
    same(token_sort_ratio(a, b), reference::token_sort_ratio(a, b));
    same(token_set_ratio(a, b), reference::token_set_ratio(a, b));
    same(jaro_winkler_similarity(a, b), reference::jaro_winkler(a, b));
    return 0;
}
