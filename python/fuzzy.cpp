// Submodule `fuzzy`: similarity measures, batch resolve, artist filter and
// release classification.

#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy/resolve.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

PyObject* jaro_winkler_similarity_impl(Call& c) {
    return floating(fuzzy::jaro_winkler_similarity(c.text(0), c.text(1)));
}

PyObject* token_set_ratio_impl(Call& c) { return floating(fuzzy::token_set_ratio(c.text(0), c.text(1))); }

PyObject* token_sort_ratio_impl(Call& c) { return floating(fuzzy::token_sort_ratio(c.text(0), c.text(1))); }

PyObject* batch_fuzzy_resolve_impl(Call& c) {
    const std::vector<std::string_view>& names = c.text_list(0);
    const std::vector<std::string_view>& catalog = c.text_list(1);
    const fuzzy::ResolveOptions options{c.number(2), c.count(3), c.number(4)};
    // Without a ranked candidate there is no best entry to look at.
    if (options.limit == 0 && !catalog.empty()) raise(PyExc_ValueError, "limit must be at least 1");
    const auto resolved = fuzzy::batch_fuzzy_resolve(names, catalog, options);
    return list(resolved, [](const std::optional<std::string>& r) { return r ? str(*r) : none(); });
}

PyObject* batch_filter_artists_impl(Call& c) {
    const std::vector<std::string_view>& set = c.text_list(1);
    fuzzy::StringSet library;
    library.reserve(set.size());
    for (std::string_view s : set) library.emplace(s);
    const std::vector<bool> found = fuzzy::batch_filter_artists(c.text_list(0), library);
    return list(found, [](bool b) { return boolean(b); });
}

PyObject* batch_classify_releases_impl(Call& c) {
    const std::vector<std::string_view>& artists = c.text_list(0);
    const std::vector<std::string_view>& titles = c.text_list(1);
    if (artists.size() != titles.size()) raise(PyExc_ValueError, "artists and titles must have the same length");
    const fuzzy::LibraryIndex index = fuzzy::LibraryIndex::from_pairs(c.pair_list(2));
    const fuzzy::ClassifyThresholds thresholds{0.8, 0.8, 0.8, 0.7, 0.4};
    const std::vector<fuzzy::Classification> results =
        fuzzy::batch_classify_releases(artists, titles, index, thresholds);
    return list(results, [](fuzzy::Classification r) { return str(fuzzy::to_string(r)); });
}

const Function kFuzzyFunctions[] = {
    {"jaro_winkler_similarity",
     {{{"a", Kind::Text}, {"b", Kind::Text}}},
     "Compute Jaro-Winkler similarity between two strings.\n\n"
     "Returns a value between 0.0 (no similarity) and 1.0 (identical).",
     &jaro_winkler_similarity_impl},
    {"token_set_ratio",
     {{{"a", Kind::Text}, {"b", Kind::Text}}},
     "Token set ratio: compares intersection/remainder token sets.\n\n"
     "Returns a value between 0.0 and 1.0.",
     &token_set_ratio_impl},
    {"token_sort_ratio",
     {{{"a", Kind::Text}, {"b", Kind::Text}}},
     "Token sort ratio: sort tokens alphabetically, then compare.\n\n"
     "Returns a value between 0.0 and 1.0.",
     &token_sort_ratio_impl},
    {"batch_fuzzy_resolve",
     {{{"names", Kind::TextList},
       {"catalog", Kind::TextList},
       {"threshold", Kind::Float},
       {"limit", Kind::Unsigned, true, 0.0, 2},
       {"ambiguity_threshold", Kind::Float, true, 0.02}}},
     "Resolve each name to the best Jaro-Winkler match in `catalog`.\n\n"
     "For each name, finds the top `limit` candidates above `threshold`,\n"
     "then applies the `ambiguity_threshold` guard: if the top two scores\n"
     "differ by less than this margin, the match is rejected (returns None).\n\n"
     "Args:\n"
     "    names: List of query strings to resolve.\n"
     "    catalog: List of candidate strings to match against.\n"
     "    threshold: Minimum Jaro-Winkler similarity to accept (0.0-1.0).\n"
     "    limit: Number of top candidates to consider for ambiguity (default 2).\n"
     "    ambiguity_threshold: Minimum score gap between top-2 to accept (default 0.02).\n\n"
     "Returns:\n"
     "    List of Optional[str] -- the best matching catalog entry or None.",
     &batch_fuzzy_resolve_impl},
    {"batch_filter_artists",
     {{{"artist_names", Kind::TextList}, {"library_set", Kind::TextSet}}},
     "Filter artist names against a library set.\n\n"
     "Returns a list of booleans: True if the normalized name is in `library_set`.",
     &batch_filter_artists_impl},
    {"batch_classify_releases",
     {{{"artists", Kind::TextList}, {"titles", Kind::TextList}, {"library_pairs", Kind::TextPairList}}},
     "Classify releases as \"keep\", \"prune\", or \"review\" against a library index.\n\n"
     "Args:\n"
     "    artists: List of artist names.\n"
     "    titles: List of release titles (must be same length as artists).\n"
     "    library_pairs: List of (artist, title) tuples forming the library index.\n\n"
     "Returns:\n"
     "    List of classification strings: \"keep\", \"prune\", or \"review\".",
     &batch_classify_releases_impl},
};

}  // namespace

void register_fuzzy(PyObject* module) { add_functions<kFuzzyFunctions>(module); }

}  // namespace zemo::py
