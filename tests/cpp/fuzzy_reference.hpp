#pragma once
// Plain, unoptimised versions of the fuzzy measures and of the release
// classifier, written the straightforward way. The fast library code is
// checked against them.

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

inline std::vector<char32_t> chars(std::string_view s) {
    std::vector<char32_t> out;
    detail::decode(s, out);
    return out;
}

inline double fuzz_ratio(std::string_view sa, std::string_view sb) {
    const auto a = chars(sa), b = chars(sb);
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

inline std::string join(const std::vector<std::string>& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i > 0) out += ' ';
        out += v[i];
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
    auto A = detail::tokens(a), B = detail::tokens(b);
    std::sort(A.begin(), A.end());
    A.erase(std::unique(A.begin(), A.end()), A.end());
    std::sort(B.begin(), B.end());
    B.erase(std::unique(B.begin(), B.end()), B.end());
    if (A.empty() && B.empty()) return 1.0;
    if (A.empty() || B.empty()) return 0.0;
    std::vector<std::string> I, DA, DB;
    std::set_intersection(A.begin(), A.end(), B.begin(), B.end(), std::back_inserter(I));
    std::set_difference(A.begin(), A.end(), B.begin(), B.end(), std::back_inserter(DA));
    std::set_difference(B.begin(), B.end(), A.begin(), A.end(), std::back_inserter(DB));
    const std::string sI = join(I), sA = join(DA), sB = join(DB);
    auto combine = [](const std::string& x, const std::string& y) {
        if (x.empty()) return y;
        if (y.empty()) return x;
        return x + " " + y;
    };
    const std::string cA = combine(sI, sA), cB = combine(sI, sB);
    const double r1 = fuzz_ratio(sI, cA), r2 = fuzz_ratio(sI, cB), r3 = fuzz_ratio(cA, cB);
    return std::max(std::max(r1, r2), r3);
}

inline double jaro_winkler(std::string_view sa, std::string_view sb) {
    const auto a = chars(sa), b = chars(sb);
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
    std::vector<char32_t> ma, mb;
    for (std::size_t i = 0; i < la; ++i)
        if (fa[i]) ma.push_back(a[i]);
    for (std::size_t j = 0; j < lb; ++j)
        if (fb[j]) mb.push_back(b[j]);
    std::size_t t = 0;
    for (std::size_t k = 0; k < m; ++k) t += ma[k] != mb[k];
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

// The measures the plain classifier uses; they may be swapped for the
// library's fast ones, to check that those give the same scores there.
struct Measures {
    using Metric = double (*)(std::string_view, std::string_view);
    Metric token_set = &reference::token_set_ratio;
    Metric token_sort = &reference::token_sort_ratio;
    Metric jaro_winkler = &reference::jaro_winkler;
};

class Library {
public:
    using Index = std::map<std::string, std::vector<std::uint32_t>>;

    explicit Library(const std::vector<std::pair<std::string, std::string>>& pairs, Measures measures = {})
        : measures_(measures) {
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
        r.s1 = combined_blocked(q, tokens, measures_.token_set);
        if (r.s1 >= th.review_floor && r.s1 < th.token_set_keep) return review(r);
        r.s2 = combined_blocked(q, tokens, measures_.token_sort);
        if (r.s2 >= th.review_floor && r.s2 < th.token_sort_keep) return review(r);
        r.s3 = two_stage(artist, title, th.artist_gate);
        if (r.s1 >= th.token_set_keep && r.s2 >= th.token_sort_keep && r.s3 >= th.two_stage_keep)
            r.result = Classification::Keep;
        else if (r.s1 < th.review_floor && r.s2 < th.review_floor && r.s3 < th.review_floor)
            r.result = Classification::Prune;
        else
            r.result = Classification::Review;
        return r;
    }

private:
    static Scores review(Scores r) {
        r.result = Classification::Review;
        return r;
    }

    static Index build(const std::vector<std::string>& strings) {
        Index index;
        for (std::uint32_t p = 0; p < strings.size(); ++p)
            for (const std::string& t : index_tokens(strings[p])) {
                auto& list = index[t];
                if (list.empty() || list.back() != p) list.push_back(p);
            }
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
            const double s = measures_.jaro_winkler(artist, artists_[i]);
            if (s > best) {
                best = s;
                best_artist = &artists_[i];
            }
        }
        if (best < gate || best_artist == nullptr) return 0.0;
        double bt = 0.0;
        for (const std::string& u : titles_.at(*best_artist)) bt = std::max(bt, measures_.jaro_winkler(title, u));
        return std::sqrt(best * bt);
    }

    Measures measures_;
    std::set<std::pair<std::string, std::string>> pairs_;
    std::map<std::string, std::vector<std::string>> titles_;
    std::vector<std::string> combined_, artists_;
    Index combined_index_, artist_index_;
};

}  // namespace zemo::fuzzy::reference
