// Compares the fast measures with the plain ones on arbitrary input: the
// first byte picks where the input splits into the two strings, and the
// strings are made valid UTF-8 the way the binding layer guarantees.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/cpp/fuzzy_reference.hpp"
#include "fuzzy/metrics.hpp"

namespace {

// Keeps well-formed UTF-8 sequences and replaces every other byte by '?'.
std::string valid_utf8(const std::uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size;) {
        const std::string_view rest(reinterpret_cast<const char*>(data + i), size - i);
        std::size_t next = 0;
        const char32_t c = zemo::fuzzy::detail::next_char(rest, next);
        const bool ok = (c < 0x80 && next == 1) || (c >= 0x80 && next > 1 && c <= 0x10FFFF &&
                                                   !(c >= 0xD800 && c <= 0xDFFF) &&
                                                   next == (c < 0x800 ? 2u : c < 0x10000 ? 3u : 4u));
        if (ok) out.append(rest.substr(0, next));
        else out += '?';
        i += ok ? next : 1;
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
