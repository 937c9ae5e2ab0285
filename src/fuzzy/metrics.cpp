#include "fuzzy/metrics.hpp"

#include <algorithm>
#include <vector>

#include "common/ascii.hpp"
#include "common/utf8.hpp"
#include "fuzzy/chars.hpp"
#include "fuzzy/kernels.hpp"

namespace zemo::fuzzy {
namespace {

// Runs kernel(a, na, b, nb) on bytes when both strings are ASCII or Latin-1,
// else on decoded code points.
template <typename Kernel>
auto on_chars(std::string_view a, std::string_view b, Kernel kernel) {
    thread_local utf8::CharBuffers tls_a, tls_b;
    return utf8::with_common_width(a, b, tls_a, tls_b, kernel);
}

// The lower-cased tokens of a string as views into one buffer, so that
// splitting allocates nothing once the buffers have grown.
struct Tokens {
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::vector<std::string_view> views;
    bool ascii = true;

    void split(std::string_view s) {
        text.clear();
        spans.clear();
        ascii = ascii::is_ascii(s);
        if (ascii) {
            // ASCII lower-casing needs no context: lower the whole string once.
            text.assign(s);
            ascii::lower_in_place(text);
            detail::for_each_piece(text, [&](std::string_view piece) {
                spans.emplace_back(static_cast<std::size_t>(piece.data() - text.data()), piece.size());
            });
        } else {
            detail::for_each_piece(s, [&](std::string_view piece) {
                const std::size_t at = text.size();
                text += detail::lower_token(piece);
                spans.emplace_back(at, text.size() - at);
            });
        }
        views.clear();
        for (const auto& [at, size] : spans) views.emplace_back(text.data() + at, size);
    }

    void sort_unique() {
        std::sort(views.begin(), views.end());
        views.erase(std::unique(views.begin(), views.end()), views.end());
    }
};

std::size_t chars_of(std::string_view s, bool ascii) { return ascii ? s.size() : utf8::char_count(s); }

// Joins with " "; returns the length in characters.
std::size_t join(const std::vector<std::string_view>& parts, std::string& out, bool ascii) {
    out.clear();
    for (std::string_view p : parts) {
        if (!out.empty()) out += ' ';
        out += p;
    }
    return chars_of(out, ascii);
}

double lcs_ratio(std::string_view a, std::string_view b) {
    return on_chars(a, b, [](const auto* x, std::size_t n, const auto* y, std::size_t m) {
        return detail::ratio_from_lcs(detail::lcs_length(x, n, y, m), n, m);
    });
}

}  // namespace

double fuzz_ratio(std::string_view a, std::string_view b) { return lcs_ratio(a, b); }

std::string sorted_tokens(std::string_view s) {
    Tokens t;
    t.split(s);
    std::sort(t.views.begin(), t.views.end());
    std::string out;
    join(t.views, out, t.ascii);
    return out;
}

double token_sort_ratio(std::string_view a, std::string_view b) {
    thread_local Tokens tls_ta, tls_tb;
    thread_local std::string tls_sa, tls_sb;
    Tokens& ta = tls_ta;
    Tokens& tb = tls_tb;
    ta.split(a);
    tb.split(b);
    std::sort(ta.views.begin(), ta.views.end());
    std::sort(tb.views.begin(), tb.views.end());
    join(ta.views, tls_sa, ta.ascii);
    join(tb.views, tls_sb, tb.ascii);
    return lcs_ratio(tls_sa, tls_sb);
}

double token_set_ratio(std::string_view a, std::string_view b) {
    thread_local Tokens tls_ta, tls_tb;
    thread_local std::string tls_sa, tls_sb;
    Tokens& ta = tls_ta;
    Tokens& tb = tls_tb;
    ta.split(a);
    tb.split(b);
    ta.sort_unique();
    tb.sort_unique();
    if (ta.views.empty() && tb.views.empty()) return 1.0;
    if (ta.views.empty() || tb.views.empty()) return 0.0;

    // One merge of the sorted sets: the shared tokens are only counted, the
    // tokens of one side only are joined as they come (in token order).
    std::string& sa = tls_sa;
    std::string& sb = tls_sb;
    sa.clear();
    sb.clear();
    std::size_t li = 0;
    bool any_shared = false;
    const auto append = [](std::string& out, std::string_view t) {
        if (!out.empty()) out += ' ';
        out += t;
    };
    auto ia = ta.views.begin();
    auto ib = tb.views.begin();
    while (ia != ta.views.end() || ib != tb.views.end()) {
        if (ib == tb.views.end() || (ia != ta.views.end() && *ia < *ib)) {
            append(sa, *ia++);
        } else if (ia == ta.views.end() || *ib < *ia) {
            append(sb, *ib++);
        } else {
            li += (any_shared ? 1 : 0) + chars_of(*ia, ta.ascii);
            any_shared = true;
            ++ia;
            ++ib;
        }
    }
    const std::size_t la = chars_of(sa, ta.ascii);
    const std::size_t lb = chars_of(sb, tb.ascii);
    // The shared string is a prefix of both combined strings, so the first two
    // ratios are closed forms and the third needs the LCS of the remainders only.
    const std::size_t lca = li + la + (li > 0 && la > 0);
    const std::size_t lcb = li + lb + (li > 0 && lb > 0);
    const double r1 = detail::ratio_from_lcs(li, li, lca);
    const double r2 = detail::ratio_from_lcs(li, li, lcb);
    std::size_t lcs3;
    if (la > 0 && lb > 0) {
        lcs3 = li + (li > 0) + on_chars(sa, sb, [](const auto* x, std::size_t n, const auto* y, std::size_t m) {
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
