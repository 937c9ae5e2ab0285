// Prepared fuzzy indexes: the library index of batch_classify_releases and
// the catalogue of batch_fuzzy_resolve, built once and used for any number
// of calls, saved to a file and read back, or carried through pickle as
// bytes.

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "common/atomic_file.hpp"
#include "common/saved_file.hpp"
#include "common/sections.hpp"
#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/explain.hpp"
#include "fuzzy/resolve.hpp"
#include "fuzzy_shared.hpp"
#include "members.hpp"
#include "saved_index.hpp"

namespace zemo::py::ext {
namespace {

using fuzzy::PreparedCatalogue;

// The index carries its thresholds and its number guard (and saves both).
struct PreparedLibrary {
    fuzzy::LibraryIndex index;
};

// What a saved file holds, for the members both classes share.
const fuzzy::LibraryIndex& index_of(const PreparedLibrary& library) { return library.index; }
const PreparedCatalogue& index_of(const PreparedCatalogue& catalogue) { return catalogue; }

// Loading, saving and every computation below run without the interpreter
// lock (see LockReleased), on inputs copied out of the arguments first; any
// Python object, exception included, is made once the lock is back.

template <typename Prepared>
PyObject* save(Call& c) {
    save_index(index_of(c.self<Prepared>()), std::string(c.text(0)));
    return none();
}

template <typename Prepared>
PyObject* to_bytes(Call& c) {
    const auto& index = index_of(c.self<Prepared>());
    return py::bytes(without_lock([&] { return index.to_bytes(); }));
}

template <typename Prepared>
PyObject* length(Call& c) {
    return integer(static_cast<long long>(index_of(c.self<Prepared>()).size()));
}

// The tuple sizes() returns.
PyObject* int_tuple(std::initializer_list<std::size_t> values) {
    Ref out(check(PyTuple_New(static_cast<Py_ssize_t>(values.size()))));
    Py_ssize_t i = 0;
    for (std::size_t v : values) PyTuple_SetItem(out.get(), i++, integer(static_cast<long long>(v)));  // steals
    return out.release();
}

// The first parameter, then the thresholds.
constexpr Params with_thresholds(Param first) {
    return {first, kThresholdParams[0], kThresholdParams[1], kThresholdParams[2], kThresholdParams[3],
            kThresholdParams[4]};
}

PyObject* construct_library(Call& c) {
    const fuzzy::ClassifyThresholds thresholds = thresholds_of(c, 1);
    const OwnedPairs pairs = copy_pairs(c.pair_list(0));
    fuzzy::LibraryIndex index = without_lock([&] { return fuzzy::LibraryIndex::from_pairs(pairs.views); });
    index.set_thresholds(thresholds);
    c.init_self(new PreparedLibrary{std::move(index)});
    return none();
}

PyObject* classify(Call& c) {
    const PreparedLibrary& library = c.self<PreparedLibrary>();
    if (c.text_list(0).size() != c.text_list(1).size()) {
        raise(PyExc_ValueError, "artists and titles must have the same length");
    }
    const OwnedTexts artists = copy_texts(c.text_list(0));
    const OwnedTexts titles = copy_texts(c.text_list(1));
    const std::vector<fuzzy::Classification> results = without_lock([&] {
        if (library.index.distinct_numbers()) {
            return fuzzy::batch_classify_releases_guarded(artists.views, titles.views, library.index,
                                                          library.index.thresholds());
        }
        return fuzzy::batch_classify_releases(artists.views, titles.views, library.index, library.index.thresholds());
    });
    return list(results, [](fuzzy::Classification r) { return str(fuzzy::to_string(r)); });
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(check(value));
    if (PyDict_SetItemString(dict, key, owned.get()) != 0) throw_current();
}

// (index, artist, title) of an entry.
PyObject* entry_tuple(const fuzzy::LibraryIndex& index, std::uint32_t i) {
    const auto [artist, title] = index.pair(i);
    Ref out(check(PyTuple_New(3)));
    PyTuple_SetItem(out.get(), 0, check(integer(i)));  // steals
    PyTuple_SetItem(out.get(), 1, check(str(artist)));
    PyTuple_SetItem(out.get(), 2, check(str(title)));
    return out.release();
}

// The dicts of one explain call. Each is a copy of one dict holding every
// key, whose values are then replaced: no key made, hashed or interned per
// release, and no table grown as keys arrive. The texts a dict repeats
// (decisions, what decided) and an entry named by several measures are
// made once.
class Explanations {
public:
    Explanations(const fuzzy::LibraryIndex& index, bool numbers, bool bounds)
        : index_(index), numbers_(numbers), bounds_(bounds), shape_(check(PyDict_New())) {
        for (std::size_t k = 0; k < kKeyCount; ++k) {
            if (!wanted(static_cast<Key>(k))) continue;
            keys_[k] = Ref(check(PyUnicode_InternFromString(kKeys[k])));
            if (PyDict_SetItem(shape_.get(), keys_[k].get(), Py_None) != 0) throw_current();
        }
        for (auto c : {fuzzy::Classification::Keep, fuzzy::Classification::Prune, fuzzy::Classification::Review})
            decisions_[static_cast<std::size_t>(c)] = Ref(check(str(fuzzy::to_string(c))));
        for (auto d : {fuzzy::DecidedBy::Exact, fuzzy::DecidedBy::TokenSet, fuzzy::DecidedBy::TokenSort,
                       fuzzy::DecidedBy::All, fuzzy::DecidedBy::Numbers})
            decided_by_[static_cast<std::size_t>(d)] = Ref(check(str(fuzzy::to_string(d))));
    }

    PyObject* make(const fuzzy::Explanation& e, std::optional<std::uint32_t> likeliest) {
        Ref out(check(PyDict_Copy(shape_.get())));
        dict_ = out.get();
        named_.clear();
        set(Key::Decision, shared(decisions_[static_cast<std::size_t>(e.decision)]));
        set(Key::Exact, boolean(e.exact));
        set(Key::TokenSet, floating(e.token_set.score));
        set(Key::TokenSort, floating(e.token_sort.score));
        set(Key::TwoStage, floating(e.two_stage.score));
        set(Key::TokenSetEntries, entries(e.token_set.entries));
        set(Key::TokenSortEntries, entries(e.token_sort.entries));
        set(Key::TwoStageEntries, entries(e.two_stage.entries));
        set(Key::Entry, likeliest ? entry(*likeliest) : none());
        set(Key::DecidedBy, shared(decided_by_[static_cast<std::size_t>(e.decided_by)]));
        set(Key::Reason, str(e.reason));
        if (numbers_) set(Key::Numbers, str_list(e.numbers));
        if (bounds_) {
            set(Key::TokenSetBelow, e.token_set.exact ? none() : floating(e.token_set.below));
            set(Key::TokenSortBelow, e.token_sort.exact ? none() : floating(e.token_sort.below));
            set(Key::TwoStageBelow, e.two_stage.exact ? none() : floating(e.two_stage.below));
        }
        return out.release();
    }

private:
    // In the order a dict gives its keys.
    enum class Key : std::uint8_t {
        Decision, Exact, TokenSet, TokenSort, TwoStage, TokenSetEntries, TokenSortEntries, TwoStageEntries,
        Entry, DecidedBy, Reason, Numbers, TokenSetBelow, TokenSortBelow, TwoStageBelow
    };
    static constexpr std::size_t kKeyCount = 15;
    static constexpr const char* kKeys[kKeyCount] = {
        "decision", "exact", "token_set", "token_sort", "two_stage", "token_set_entries", "token_sort_entries",
        "two_stage_entries", "entry", "decided_by", "reason", "numbers", "token_set_below", "token_sort_below",
        "two_stage_below"};

    bool wanted(Key k) const {
        if (k == Key::Numbers) return numbers_;
        if (k >= Key::TokenSetBelow) return bounds_;
        return true;
    }

    void set(Key k, PyObject* value) {
        Ref owned(check(value));
        if (PyDict_SetItem(dict_, keys_[static_cast<std::size_t>(k)].get(), owned.get()) != 0) throw_current();
    }

    static PyObject* shared(const Ref& r) {
        Py_INCREF(r.get());
        return r.get();
    }

    // An entry's tuple, the same object each time one dict names it again.
    PyObject* entry(std::uint32_t i) {
        for (const auto& [at, tuple] : named_) {
            if (at == i) return shared(tuple);
        }
        named_.emplace_back(i, Ref(entry_tuple(index_, i)));
        return shared(named_.back().second);
    }

    PyObject* entries(const std::vector<std::uint32_t>& ids) {
        return list(ids, [&](std::uint32_t i) { return entry(i); });
    }

    const fuzzy::LibraryIndex& index_;
    const bool numbers_, bounds_;
    Ref shape_;
    Ref keys_[kKeyCount];
    Ref decisions_[3];
    Ref decided_by_[5];
    PyObject* dict_ = nullptr;  // the one being filled
    std::vector<std::pair<std::uint32_t, Ref>> named_;  // the entries it names so far
};

PyObject* explain(Call& c) {
    const PreparedLibrary& library = c.self<PreparedLibrary>();
    if (c.text_list(0).size() != c.text_list(1).size()) {
        raise(PyExc_ValueError, "artists and titles must have the same length");
    }
    if (c.count(2) == 0) raise(PyExc_ValueError, "top must be at least 1");
    const OwnedTexts artists = copy_texts(c.text_list(0));
    const OwnedTexts titles = copy_texts(c.text_list(1));
    const fuzzy::ExplainOptions options{.top = static_cast<std::size_t>(c.count(2)),
                                        .distinct_numbers = library.index.distinct_numbers(),
                                        .exact = c.count(3) != 0};
    const std::vector<fuzzy::ExplainedRelease> results = without_lock([&] {
        return fuzzy::batch_explain_likeliest(artists.views, titles.views, library.index, library.index.thresholds(),
                                              options);
    });
    Explanations made(library.index, options.distinct_numbers, !options.exact);
    return list(results, [&](const fuzzy::ExplainedRelease& r) { return made.make(r.explanation, r.likeliest); });
}

PyObject* set_distinct_numbers(Call& c) {
    c.self<PreparedLibrary>().index.set_distinct_numbers(c.count(0) != 0);
    return none();
}

PyObject* distinct_numbers(Call& c) { return boolean(c.self<PreparedLibrary>().index.distinct_numbers()); }

PyObject* load(Call& c) {
    return c.new_instance(new PreparedLibrary{index_from_file<fuzzy::LibraryIndex>(std::string(c.text(0)))});
}

PyObject* from_bytes(Call& c) {
    return c.new_instance(new PreparedLibrary{index_from_bytes<fuzzy::LibraryIndex>(c.text(0))});
}

PyObject* set_thresholds(Call& c) {
    c.self<PreparedLibrary>().index.set_thresholds(thresholds_of(c, 0));
    return none();
}

PyObject* sizes(Call& c) {
    const fuzzy::LibraryIndex& ix = c.self<PreparedLibrary>().index;
    return int_tuple({ix.size(), ix.artist_count(), ix.owned_bytes(), ix.data_bytes()});
}

PyObject* thresholds(Call& c) {
    const fuzzy::ClassifyThresholds& th = c.self<PreparedLibrary>().index.thresholds();
    return list(std::vector<double>{th.token_set_keep, th.token_sort_keep, th.two_stage_keep, th.artist_gate,
                                    th.review_floor},
                [](double d) { return floating(d); });
}

constexpr Param kPath = {.name = "path", .kind = Kind::Text};
constexpr Param kData = {.name = "data", .kind = Kind::Bytes};

constexpr Function kLibraryNew = {
    .name = "__new__",
    .params = with_thresholds({.name = "library_pairs", .kind = Kind::TextPairList}),
    .impl = &construct_library,
    .receiver = Receiver::Construct,
};

constexpr Function kLibraryMethods[] = {
    {.name = "classify",
     .params = {{.name = "artists", .kind = Kind::TextList, .column = true},
                {.name = "titles", .kind = Kind::TextList, .column = true}},
     .doc = "Classify releases as \"keep\", \"prune\" or \"review\" against this library, exactly as\n"
            "fuzzy.batch_classify_releases does with the same pairs and thresholds.",
     .impl = &classify,
     .receiver = Receiver::Shared},
    {.name = "explain",
     .params = {{.name = "artists", .kind = Kind::TextList, .column = true},
                {.name = "titles", .kind = Kind::TextList, .column = true},
                {.name = "top", .kind = Kind::Unsigned, .has_default = true, .default_unsigned = 1},
                {.name = "exact", .kind = Kind::Unsigned, .has_default = true, .default_unsigned = 1}},
     .doc = "Per release, a dict of the decision (as classify gives it), the exact test, the best score\n"
            "of each measure with up to `top` library entries reaching it, what decided and why.\n"
            "With exact 0, each token score only to the steps of evidence_steps, with *_below bounds.",
     .impl = &explain,
     .receiver = Receiver::Shared},
    {.name = "distinct_numbers",
     .doc = "Whether numbers in titles must agree for a keep.",
     .impl = &distinct_numbers,
     .receiver = Receiver::Shared},
    {.name = "set_distinct_numbers",
     .params = {{.name = "on", .kind = Kind::Unsigned}},
     .doc = "Turn the number guard on (non-zero) or off for classify and explain (saved with the index from then on).",
     .impl = &set_distinct_numbers,
     .receiver = Receiver::Exclusive},
    {.name = "save",
     .params = {kPath},
     .doc = "Write the index to a file, replacing it atomically.",
     .impl = &save<PreparedLibrary>,
     .receiver = Receiver::Shared},
    {.name = "to_bytes",
     .doc = "The index as the bytes of a saved file.",
     .impl = &to_bytes<PreparedLibrary>,
     .receiver = Receiver::Shared},
    {.name = "sizes",
     .doc = "(pairs, artists, bytes held in memory, bytes of the index).",
     .impl = &sizes,
     .receiver = Receiver::Shared},
    {.name = "thresholds",
     .doc = "The five thresholds, in the constructor's order.",
     .impl = &thresholds,
     .receiver = Receiver::Shared},
    {.name = "set_thresholds",
     .params = {kThresholdParams[0], kThresholdParams[1], kThresholdParams[2], kThresholdParams[3],
                kThresholdParams[4]},
     .doc = "Replace the thresholds (saved with the index from then on); ValueError unless each is in\n"
            "[0, 1] and review_floor is not above a keep value.",
     .impl = &set_thresholds,
     .receiver = Receiver::Exclusive},
    {.name = "load",
     .params = {kPath},
     .doc = "Map a saved index read-only, with the thresholds saved in it; ValueError for a file that is not a valid index of this format.",
     .impl = &load,
     .receiver = Receiver::Static},
    {.name = "from_bytes",
     .params = {kData},
     .doc = "An index from the bytes of a saved file (copied), with the thresholds saved in it.",
     .impl = &from_bytes,
     .receiver = Receiver::Static},
};

constexpr Function kLibraryLength = {
    .name = "__len__", .impl = &length<PreparedLibrary>, .receiver = Receiver::Shared};

constexpr ClassInfo kLibraryClass = {
    .name = "LibraryIndex",
    .doc = "The library index of fuzzy.batch_classify_releases, built once from (artist, title) pairs\n"
           "and read-only afterwards: any number of threads may classify against it at once.",
    .constructor = &kLibraryNew,
    .methods = kLibraryMethods,
    .length = &kLibraryLength,
};

// ---------------------------------------------------------------------------
// Catalogue

constexpr Function kCatalogueNew = {
    .name = "__new__",
    .params = {{.name = "entries", .kind = Kind::TextList}},
    .impl =
        [](Call& c) {
            const OwnedTexts entries = copy_texts(c.text_list(0));
            c.init_self(new PreparedCatalogue(without_lock([&] { return PreparedCatalogue(entries.views); })));
            return none();
        },
    .receiver = Receiver::Construct,
};

// The threshold, limit and ambiguity_threshold parameters from `first` on,
// checked as the package checks them everywhere. batch_fuzzy_resolve takes
// any number, and reads a threshold above 1 as "resolve nothing".
fuzzy::ResolveOptions checked_resolve_options(const Call& c, std::size_t first) {
    const fuzzy::ResolveOptions options{
        .threshold = c.number(first), .limit = c.count(first + 1), .ambiguity = c.number(first + 2)};
    if (auto why = fuzzy::invalid_resolve_options(options)) raise(PyExc_ValueError, *why);
    return options;
}

PyObject* resolve(Call& c) {
    const PreparedCatalogue& catalogue = c.self<PreparedCatalogue>();
    const fuzzy::ResolveOptions options = checked_resolve_options(c, 1);
    if (catalogue.size() == 0) return resolved_list(std::vector<std::optional<std::string>>(c.text_list(0).size()));
    const OwnedTexts names = copy_texts(c.text_list(0));
    return resolved_list(without_lock([&] { return catalogue.resolve(names.views, options); }));
}

PyObject* catalogue_explain(Call& c) {
    const PreparedCatalogue& catalogue = c.self<PreparedCatalogue>();
    const fuzzy::ResolveOptions options = checked_resolve_options(c, 1);
    const OwnedTexts names = copy_texts(c.text_list(0));
    const std::vector<fuzzy::ResolveExplanation> results =
        without_lock([&] { return catalogue.explain(names.views, options); });
    static constexpr const char* kOutcomes[] = {"resolved", "no_candidates", "below_threshold", "ambiguous"};
    return list(results, [&](const fuzzy::ResolveExplanation& e) {
        Ref out(check(PyDict_New()));
        set_item(out.get(), "match", e.match ? str(catalogue.entry(*e.match)) : none());
        set_item(out.get(), "candidates", list(e.candidates, [&](const std::pair<std::size_t, double>& cand) {
                     Ref pair(check(PyTuple_New(2)));
                     PyTuple_SetItem(pair.get(), 0, check(str(catalogue.entry(cand.first))));  // steals
                     PyTuple_SetItem(pair.get(), 1, check(floating(cand.second)));
                     return pair.release();
                 }));
        set_item(out.get(), "outcome", str(kOutcomes[static_cast<std::size_t>(e.outcome)]));
        set_item(out.get(), "reason", str(e.reason));
        return out.release();
    });
}

PyObject* catalogue_load(Call& c) {
    return c.new_instance(new PreparedCatalogue(index_from_file<PreparedCatalogue>(std::string(c.text(0)))));
}

PyObject* catalogue_from_bytes(Call& c) {
    return c.new_instance(new PreparedCatalogue(index_from_bytes<PreparedCatalogue>(c.text(0))));
}

PyObject* catalogue_sizes(Call& c) {
    const PreparedCatalogue& cat = c.self<PreparedCatalogue>();
    return int_tuple({cat.size(), cat.owned_bytes(), cat.data_bytes()});
}

constexpr Function kCatalogueMethods[] = {
    {.name = "resolve",
     .params = {{.name = "names", .kind = Kind::TextList, .column = true},
                kResolveThreshold,
                kResolveLimit,
                kResolveAmbiguity},
     .doc = "Resolve each name to its entry of this catalogue (or None), exactly as\n"
            "fuzzy.batch_fuzzy_resolve does with the same entries and arguments.",
     .impl = &resolve,
     .receiver = Receiver::Shared},
    {.name = "explain",
     .params = {{.name = "names", .kind = Kind::TextList, .column = true},
                kResolveThreshold,
                kResolveLimit,
                kResolveAmbiguity},
     .doc = "Per name, a dict of the match (as resolve gives it), the best `limit` entries with their\n"
            "scores, the outcome and why.",
     .impl = &catalogue_explain,
     .receiver = Receiver::Shared},
    {.name = "save",
     .params = {kPath},
     .doc = "Write the catalogue to a file, replacing it atomically.",
     .impl = &save<PreparedCatalogue>,
     .receiver = Receiver::Shared},
    {.name = "to_bytes",
     .doc = "The catalogue as the bytes of a saved file.",
     .impl = &to_bytes<PreparedCatalogue>,
     .receiver = Receiver::Shared},
    {.name = "sizes",
     .doc = "(entries, bytes held in memory, bytes of the catalogue).",
     .impl = &catalogue_sizes,
     .receiver = Receiver::Shared},
    {.name = "load",
     .params = {kPath},
     .doc = "Map a saved catalogue read-only; ValueError for a file that is not a valid catalogue of this format.",
     .impl = &catalogue_load,
     .receiver = Receiver::Static},
    {.name = "from_bytes",
     .params = {kData},
     .doc = "A catalogue from the bytes of a saved file (copied).",
     .impl = &catalogue_from_bytes,
     .receiver = Receiver::Static},
};

constexpr Function kCatalogueLength = {
    .name = "__len__", .impl = &length<PreparedCatalogue>, .receiver = Receiver::Shared};

constexpr ClassInfo kCatalogueClass = {
    .name = "Catalogue",
    .doc = "The catalogue of fuzzy.batch_fuzzy_resolve, prepared once from its entries and read-only\n"
           "afterwards: any number of threads may resolve against it at once.",
    .constructor = &kCatalogueNew,
    .methods = kCatalogueMethods,
    .length = &kCatalogueLength,
};

// ---------------------------------------------------------------------------
// The checks on their own, for callers that take thresholds before they
// build or use an index (the command line, the Dask helpers), named as they
// name them.

// `names`: empty for the parameter names, else one per value.
std::vector<std::string> names_of(const Call& c, std::size_t i, std::size_t count) {
    const std::vector<std::string_view>& given = c.text_list(i);
    if (!given.empty() && given.size() != count) {
        raise(PyExc_ValueError, "names: expected " + std::to_string(count) + " names or none");
    }
    return {given.begin(), given.end()};
}

PyObject* check_thresholds(Call& c) {
    const fuzzy::ClassifyThresholds thresholds{.token_set_keep = c.number(1),
                                               .token_sort_keep = c.number(2),
                                               .two_stage_keep = c.number(3),
                                               .artist_gate = c.number(4),
                                               .review_floor = c.number(5)};
    fuzzy::ClassifyThresholdNames names;
    if (const std::vector<std::string> given = names_of(c, 0, 5); !given.empty()) {
        names = {given[0], given[1], given[2], given[3], given[4]};
    }
    if (auto why = fuzzy::invalid_thresholds(thresholds, names)) raise(PyExc_ValueError, *why);
    return none();
}

PyObject* check_resolve_options(Call& c) {
    const fuzzy::ResolveOptions options{.threshold = c.number(1), .limit = c.count(2), .ambiguity = c.number(3)};
    fuzzy::ResolveOptionNames names;
    if (const std::vector<std::string> given = names_of(c, 0, 3); !given.empty()) names = {given[0], given[1], given[2]};
    if (auto why = fuzzy::invalid_resolve_options(options, names)) raise(PyExc_ValueError, *why);
    return none();
}

constexpr Function kCheckFunctions[] = {
    {.name = "check_thresholds",
     .params = {{.name = "names", .kind = Kind::TextList}, kThresholdParams[0], kThresholdParams[1],
                kThresholdParams[2], kThresholdParams[3], kThresholdParams[4]},
     .doc = "ValueError unless the thresholds can classify, as LibraryIndex checks them; its message calls\n"
            "them by `names` (five, or none for the parameter names).",
     .impl = &check_thresholds},
    {.name = "check_resolve_options",
     .params = {{.name = "names", .kind = Kind::TextList}, kResolveThreshold, kResolveLimit, kResolveAmbiguity},
     .doc = "ValueError unless threshold, limit and ambiguity_threshold can resolve, as Catalogue checks\n"
            "them; its message calls them by `names` (three, or none for the parameter names).",
     .impl = &check_resolve_options},
};

}  // namespace

void register_index(PyObject* module) {
    add_class<kLibraryClass>(module);
    add_class<kCatalogueClass>(module);
    add_functions<kCheckFunctions>(module);
    // The defaults, for the package and the command line to take rather than restate.
    Ref thresholds(check(PyDict_New()));
    for (const Param& p : kThresholdParams) {
        Ref value(floating(p.default_float));
        if (PyDict_SetItemString(thresholds.get(), p.name, value.get()) != 0) throw_current();
    }
    add_member(module, "DEFAULT_THRESHOLDS", thresholds.release());
    add_member(module, "DEFAULT_RESOLVE_THRESHOLD", floating(fuzzy::default_resolve_threshold));
    add_member(module, "DEFAULT_RESOLVE_LIMIT", integer(static_cast<long long>(kResolveDefaults.limit)));
    add_member(module, "DEFAULT_AMBIGUITY_THRESHOLD", floating(kResolveDefaults.ambiguity));
}

}  // namespace zemo::py::ext
