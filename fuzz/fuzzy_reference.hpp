#pragma once
// Plain, unoptimised versions of the fuzzy measures and of the release
// classifier, written the straightforward way. The fuzz targets check the
// fast library code against them.

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzy/chars.hpp"
#include "fuzzy/classify.hpp"
#include "text/forms.hpp"

namespace zemo::fuzzy::reference {

inline double fuzz_ratio(std::string_view sa, std::string_view sb) {
    std::vector<char32_t> a, b;
    detail::decode(sa, a);
    detail::decode(sb, b);
    const std::size_t n = a.size(), m = b.size();
    if (n + m == 0) return 1.0;
    std::vector<std::uint64_t> row(m + 1, 0);
    for (char32_t c : a) {
        std::uint64_t diag = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint64_t up = row[j + 1];
            row[j + 1] = c == b[j] ? diag + 1 : std::max(row[j], row[j + 1]);
            diag = up;
        }
    }
    return static_cast<double>(2 * row[m]) / static_cast<double>(n + m);
}

template <class Strings>
std::string join(const Strings& v) {
    std::string out;
    for (const std::string& s : v) {
        if (!out.empty()) out += ' ';
        out += s;
    }
    return out;
}

inline std::string sorted_tokens(std::string_view s) {
    auto t = detail::tokens(s);
    std::stable_sort(t.begin(), t.end());
    return join(t);
}

inline double token_sort_ratio(std::string_view a, std::string_view b) {
    return fuzz_ratio(sorted_tokens(a), sorted_tokens(b));
}

inline double token_set_ratio(std::string_view a, std::string_view b) {
    const auto ta = detail::tokens(a), tb = detail::tokens(b);
    const std::set<std::string> A(ta.begin(), ta.end()), B(tb.begin(), tb.end());
    if (A.empty() && B.empty()) return 1.0;
    if (A.empty() || B.empty()) return 0.0;
    std::vector<std::string> I, DA, DB;
    std::set_intersection(A.begin(), A.end(), B.begin(), B.end(), std::back_inserter(I));
    std::set_difference(A.begin(), A.end(), B.begin(), B.end(), std::back_inserter(DA));
    std::set_difference(B.begin(), B.end(), A.begin(), A.end(), std::back_inserter(DB));
    // The shared tokens, then each side's own ones.
    auto IA = I, IB = I;
    IA.insert(IA.end(), DA.begin(), DA.end());
    IB.insert(IB.end(), DB.begin(), DB.end());
    const std::string sI = join(I), cA = join(IA), cB = join(IB);
    const double r1 = fuzz_ratio(sI, cA), r2 = fuzz_ratio(sI, cB), r3 = fuzz_ratio(cA, cB);
    return std::max(std::max(r1, r2), r3);
}

inline double jaro_winkler(std::string_view sa, std::string_view sb) {
    std::vector<char32_t> a, b;
    detail::decode(sa, a);
    detail::decode(sb, b);
    const std::size_t la = a.size(), lb = b.size();
    if (la == 0 && lb == 0) return 1.0;
    if (la == 0 || lb == 0) return 0.0;
    std::size_t w = std::max(la, lb) / 2;
    if (w > 0) --w;
    std::vector<bool> fa(la), fb(lb);
    std::size_t m = 0;
    for (std::size_t i = 0; i < la; ++i) {
        const std::size_t lo = i > w ? i - w : 0, hi = std::min(lb, i + w + 1);
        for (std::size_t j = lo; j < hi; ++j)
            if (!fb[j] && a[i] == b[j]) {
                fa[i] = fb[j] = true;
                ++m;
                break;
            }
    }
    if (m == 0) return 0.0;
    // Transpositions: the k-th matched characters of a and b differ.
    std::size_t t = 0;
    for (std::size_t i = 0, j = 0; i < la; ++i)
        if (fa[i]) {
            while (!fb[j]) ++j;
            t += a[i] != b[j++];
        }
    t /= 2;
    const double md = static_cast<double>(m);
    const double jaro = (md / la + md / lb + static_cast<double>(m - t) / md) / 3.0;
    if (!(jaro > 0.7)) return jaro;
    std::size_t p = 0;
    while (p < 4 && p < la && p < lb && a[p] == b[p]) ++p;
    return jaro + (1.0 - jaro) * (0.1 * static_cast<double>(p));
}

// The classifier exactly as written out: every candidate scored, every
// score exact, each computed only when its step is reached.
struct Scores {
    double s1 = -1, s2 = -1, s3 = -1;  // -1: not computed
    Classification result = Classification::Prune;
};

class Library {
public:
    using Index = std::map<std::string, std::set<std::uint32_t>>;

    explicit Library(const std::vector<std::pair<std::string, std::string>>& pairs) {
        std::set<std::string> distinct;
        for (const auto& [artist, title] : pairs) {
            const std::string a = text::to_match_form(artist), t = text::to_match_form(title);
            pairs_.insert({a, t});
            titles_[a].push_back(t);
            combined_.push_back(a + " ||| " + t);
            distinct.insert(a);
        }
        artists_.assign(distinct.begin(), distinct.end());
        combined_index_ = build(combined_);
        artist_index_ = build(artists_);
    }

    static std::vector<std::string> index_tokens(std::string_view s) {
        std::vector<std::string> out;
        for (std::string& t : detail::tokens(s))
            if (t != "|||") out.push_back(std::move(t));
        return out;
    }

    Scores classify(const std::string& artist, const std::string& title,
                    const ClassifyThresholds& th = ClassifyThresholds{}) const {
        Scores r;
        if (pairs_.count({artist, title})) {
            r.result = Classification::Keep;
            return r;
        }
        const std::string q = artist + " ||| " + title;
        const auto tokens = index_tokens(q);
        r.result = Classification::Review;
        r.s1 = combined_blocked(q, tokens, &token_set_ratio);
        if (r.s1 >= th.review_floor && r.s1 < th.token_set_keep) return r;
        r.s2 = combined_blocked(q, tokens, &token_sort_ratio);
        if (r.s2 >= th.review_floor && r.s2 < th.token_sort_keep) return r;
        r.s3 = two_stage(artist, title, th.artist_gate);
        if (r.s1 >= th.token_set_keep && r.s2 >= th.token_sort_keep && r.s3 >= th.two_stage_keep)
            r.result = Classification::Keep;
        else if (r.s1 < th.review_floor && r.s2 < th.review_floor && r.s3 < th.review_floor)
            r.result = Classification::Prune;
        return r;
    }

private:
    static Index build(const std::vector<std::string>& strings) {
        Index index;
        for (std::uint32_t p = 0; p < strings.size(); ++p)
            for (const std::string& t : index_tokens(strings[p])) index[t].insert(p);
        return index;
    }

    static std::vector<std::uint32_t> candidates(const std::vector<std::string>& tokens, const Index& index) {
        std::set<std::uint32_t> out;
        for (const std::string& t : tokens)
            if (auto it = index.find(t); it != index.end()) out.insert(it->second.begin(), it->second.end());
        return {out.begin(), out.end()};
    }

    double combined_blocked(const std::string& q, const std::vector<std::string>& tokens,
                            double (*metric)(std::string_view, std::string_view)) const {
        double best = 0.0;
        for (std::uint32_t i : candidates(tokens, combined_index_)) best = std::max(best, metric(q, combined_[i]));
        return best;
    }

    double two_stage(const std::string& artist, const std::string& title, double gate) const {
        double best = 0.0;
        const std::string* best_artist = nullptr;
        for (std::uint32_t i : candidates(index_tokens(artist), artist_index_)) {
            const double s = jaro_winkler(artist, artists_[i]);
            if (s > best) {
                best = s;
                best_artist = &artists_[i];
            }
        }
        if (best < gate || best_artist == nullptr) return 0.0;
        double bt = 0.0;
        for (const std::string& u : titles_.at(*best_artist)) bt = std::max(bt, jaro_winkler(title, u));
        return std::sqrt(best * bt);
    }

    std::set<std::pair<std::string, std::string>> pairs_;
    std::map<std::string, std::vector<std::string>> titles_;
    std::vector<std::string> combined_, artists_;
    Index combined_index_, artist_index_;
};

}  // namespace zemo::fuzzy::reference
