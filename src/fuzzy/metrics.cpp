#include "fuzzy/metrics.hpp"

#include <algorithm>
#include <vector>

#include "fuzzy/chars.hpp"
#include "fuzzy/kernels.hpp"

namespace zemo::fuzzy {
namespace {

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Runs kernel(a, na, b, nb) on bytes when both strings are ASCII, else on
// decoded code points.
template <typename Kernel>
auto on_chars(std::string_view a, std::string_view b, Kernel kernel) {
    if (detail::is_ascii(a) && detail::is_ascii(b)) return kernel(bytes(a), a.size(), bytes(b), b.size());
    thread_local std::vector<char32_t> ua, ub;
    detail::decode(a, ua);
    detail::decode(b, ub);
    return kernel(ua.data(), ua.size(), ub.data(), ub.size());
}

std::vector<std::string> sorted_unique_tokens(std::string_view s) {
    std::vector<std::string> t = detail::tokens(s);
    std::sort(t.begin(), t.end());
    t.erase(std::unique(t.begin(), t.end()), t.end());
    return t;
}

void join_into(std::string& out, const std::vector<const std::string*>& parts, std::size_t& chars) {
    chars = 0;
    for (const std::string* p : parts) {
        if (!out.empty()) out += ' ', ++chars;
        out += *p;
        chars += detail::char_count(*p);
    }
}

}  // namespace

double fuzz_ratio(std::string_view a, std::string_view b) {
    return on_chars(a, b, [](const auto* x, std::size_t n, const auto* y, std::size_t m) {
        return detail::ratio_from_lcs(detail::lcs_length(x, n, y, m), n, m);
    });
}

std::string sorted_tokens(std::string_view s) {
    std::vector<std::string> t = detail::tokens(s);
    std::sort(t.begin(), t.end());
    std::string out;
    for (const std::string& token : t) {
        if (!out.empty()) out += ' ';
        out += token;
    }
    return out;
}

double token_sort_ratio(std::string_view a, std::string_view b) {
    return fuzz_ratio(sorted_tokens(a), sorted_tokens(b));
}

double token_set_ratio(std::string_view a, std::string_view b) {
    const std::vector<std::string> ta = sorted_unique_tokens(a);
    const std::vector<std::string> tb = sorted_unique_tokens(b);
    if (ta.empty() && tb.empty()) return 1.0;
    if (ta.empty() || tb.empty()) return 0.0;

    std::vector<const std::string*> shared, only_a, only_b;
    auto ia = ta.begin();
    auto ib = tb.begin();
    while (ia != ta.end() || ib != tb.end()) {
        if (ib == tb.end() || (ia != ta.end() && *ia < *ib)) {
            only_a.push_back(&*ia++);
        } else if (ia == ta.end() || *ib < *ia) {
            only_b.push_back(&*ib++);
        } else {
            shared.push_back(&*ia++);
            ++ib;
        }
    }
    std::string s_shared, s_a, s_b;
    std::size_t li = 0, la = 0, lb = 0;
    join_into(s_shared, shared, li);
    join_into(s_a, only_a, la);
    join_into(s_b, only_b, lb);
    // The shared string is a prefix of both combined strings, so the first two
    // ratios are closed forms and the third needs the LCS of the remainders only.
    const std::size_t lca = li + la + (li > 0 && la > 0);
    const std::size_t lcb = li + lb + (li > 0 && lb > 0);
    const double r1 = detail::ratio_from_lcs(li, li, lca);
    const double r2 = detail::ratio_from_lcs(li, li, lcb);
    std::size_t lcs3;
    if (la > 0 && lb > 0) {
        lcs3 = li + (li > 0) + on_chars(s_a, s_b, [](const auto* x, std::size_t n, const auto* y, std::size_t m) {
                   return detail::lcs_length(x, n, y, m);
               });
    } else {
        lcs3 = std::min(lca, lcb);
    }
    const double r3 = detail::ratio_from_lcs(lcs3, lca, lcb);
    return std::max(std::max(r1, r2), r3);
}

double jaro_winkler_similarity(std::string_view a, std::string_view b) {
    return on_chars(a, b, [](const auto* x, std::size_t n, const auto* y, std::size_t m) {
        return detail::jaro_winkler(x, n, y, m);
    });
}

}  // namespace zemo::fuzzy
