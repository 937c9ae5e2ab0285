// Submodule `fuzzy`: similarity measures, batch resolve, artist filter and
// release classification.

#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy/resolve.hpp"
#include "fuzzy_shared.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

PyObject* jaro_winkler_similarity_impl(Call& c) {
    return floating(fuzzy::jaro_winkler_similarity(c.text(0), c.text(1)));
}

PyObject* token_set_ratio_impl(Call& c) { return floating(fuzzy::token_set_ratio(c.text(0), c.text(1))); }

PyObject* token_sort_ratio_impl(Call& c) { return floating(fuzzy::token_sort_ratio(c.text(0), c.text(1))); }

PyObject* batch_fuzzy_resolve_impl(Call& c) {
    const std::vector<std::string_view>& catalog = c.text_list(1);
    const fuzzy::ResolveOptions options = resolve_options(c, 2, catalog.empty());
    return resolved_list(fuzzy::batch_fuzzy_resolve(c.text_list(0), catalog, options));
}

PyObject* batch_filter_artists_impl(Call& c) {
    const std::vector<std::string_view>& set = c.text_list(1);
    StringSet library;
    library.reserve(set.size());
    for (std::string_view s : set) library.insert(s);
    const std::vector<bool> found = fuzzy::batch_filter_artists(c.text_list(0), library);
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(found.size()))));
    auto put = [&out](std::size_t i, bool b) {
        PyObject* value = b ? Py_True : Py_False;
        Py_INCREF(value);
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), value);  // steals
    };
    // libc++ reads packed bits cheaply by index and slowly through its
    // iterator, libstdc++ the other way round.
#ifdef _LIBCPP_VERSION
    for (std::size_t i = 0, n = found.size(); i < n; ++i) put(i, found[i]);
#else
    std::size_t i = 0;
    for (const bool b : found) put(i++, b);
#endif
    return out.release();
}

PyObject* batch_classify_releases_impl(Call& c) {
    return classify_releases(
        c, [&c] { return fuzzy::LibraryIndex::from_pairs(c.pair_list(2)); }, fuzzy::ClassifyThresholds{});
}

constexpr Function kFuzzyFunctions[] = {
    {.name = "jaro_winkler_similarity",
     .params = {{.name = "a", .kind = Kind::Text}, {.name = "b", .kind = Kind::Text}},
     .doc = "Compute Jaro-Winkler similarity between two strings.\n\n"
            "Returns a value between 0.0 (no similarity) and 1.0 (identical).",
     .impl = &jaro_winkler_similarity_impl},
    {.name = "token_set_ratio",
     .params = {{.name = "a", .kind = Kind::Text}, {.name = "b", .kind = Kind::Text}},
     .doc = "Token set ratio: compares intersection/remainder token sets.\n\n"
            "Returns a value between 0.0 and 1.0.",
     .impl = &token_set_ratio_impl},
    {.name = "token_sort_ratio",
     .params = {{.name = "a", .kind = Kind::Text}, {.name = "b", .kind = Kind::Text}},
     .doc = "Token sort ratio: sort tokens alphabetically, then compare.\n\n"
            "Returns a value between 0.0 and 1.0.",
     .impl = &token_sort_ratio_impl},
    {.name = "batch_fuzzy_resolve",
     .params = {{.name = "names", .kind = Kind::TextList},
                {.name = "catalog", .kind = Kind::TextList},
                {.name = "threshold", .kind = Kind::Float},
                kResolveLimit,
                kResolveAmbiguity},
     .doc = "Resolve each name to the best Jaro-Winkler match in `catalog`.\n\n"
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
     .impl = &batch_fuzzy_resolve_impl},
    {.name = "batch_filter_artists",
     .params = {{.name = "artist_names", .kind = Kind::TextList}, {.name = "library_set", .kind = Kind::TextSet}},
     .doc = "Filter artist names against a library set.\n\n"
            "Returns a list of booleans: True if the normalized name is in `library_set`.",
     .impl = &batch_filter_artists_impl},
    {.name = "batch_classify_releases",
     .params = {{.name = "artists", .kind = Kind::TextList},
                {.name = "titles", .kind = Kind::TextList},
                {.name = "library_pairs", .kind = Kind::TextPairList}},
     .doc = "Classify releases as \"keep\", \"prune\", or \"review\" against a library index.\n\n"
            "Args:\n"
            "    artists: List of artist names.\n"
            "    titles: List of release titles (must be same length as artists).\n"
            "    library_pairs: List of (artist, title) tuples forming the library index.\n\n"
            "Returns:\n"
            "    List of classification strings: \"keep\", \"prune\", or \"review\".",
     .impl = &batch_classify_releases_impl},
};

}  // namespace

void register_fuzzy(PyObject* module) { add_functions<kFuzzyFunctions>(module); }

}  // namespace zemo::py
