// The careful rule set's library index (src/fuzzy/careful.hpp): built from
// (artist, title) pairs with each row's aliases, classified and explained
// against, saved and loaded. zemo_etl.index.LibraryIndex(rules="careful")
// is its face.

#include <string>

#include "fuzzy/careful.hpp"
#include "fuzzy_shared.hpp"
#include "members.hpp"
#include "saved_index.hpp"

namespace zemo::py::ext {
namespace {

using fuzzy::CarefulIndex;

// Aliases of a row arrive as one str, separated by this character.
constexpr char kAliasSeparator = '\x1f';

std::vector<std::string> split_aliases(std::string_view joined) {
    std::vector<std::string> out;
    while (!joined.empty()) {
        const std::size_t at = joined.find(kAliasSeparator);
        const std::string_view alias = joined.substr(0, at);
        if (!alias.empty()) out.emplace_back(alias);
        if (at == std::string_view::npos) break;
        joined.remove_prefix(at + 1);
    }
    return out;
}

PyObject* construct(Call& c) {
    const std::vector<Pair>& pairs = c.pair_list(0);
    const std::vector<std::string_view>& aliases = c.text_list(1);
    if (!aliases.empty() && aliases.size() != pairs.size()) {
        raise(PyExc_ValueError, "aliases: expected one str per row or none");
    }
    std::vector<fuzzy::CarefulRow> rows;
    rows.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        rows.push_back({std::string(pairs[i].first), std::string(pairs[i].second),
                        aliases.empty() ? std::vector<std::string>{} : split_aliases(aliases[i])});
    }
    const std::uint64_t steps = c.count(2);
    c.init_self(new CarefulIndex(without_lock([&] { return CarefulIndex::build(std::move(rows), static_cast<std::uint32_t>(steps)); })));
    return none();
}

void check_lengths(const Call& c) {
    if (c.text_list(0).size() != c.text_list(1).size()) {
        raise(PyExc_ValueError, "artists and titles must have the same length");
    }
}

PyObject* classify(Call& c) {
    const CarefulIndex& index = c.self<CarefulIndex>();
    check_lengths(c);
    const OwnedTexts artists = copy_texts(c.text_list(0));
    const OwnedTexts titles = copy_texts(c.text_list(1));
    const auto results = without_lock([&] { return index.classify(artists.views, titles.views); });
    return list(results, [](fuzzy::Classification r) { return str(fuzzy::to_string(r)); });
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(check(value));
    if (PyDict_SetItemString(dict, key, owned.get()) != 0) throw_current();
}

// (index, artist, title) of a row as given, or None.
PyObject* entry(const CarefulIndex& index, std::int64_t i) {
    if (i < 0) return none();
    const fuzzy::CarefulRow& row = index.row(static_cast<std::size_t>(i));
    Ref out(check(PyTuple_New(3)));
    PyTuple_SetItem(out.get(), 0, check(integer(i)));  // steals
    PyTuple_SetItem(out.get(), 1, check(str(row.artist)));
    PyTuple_SetItem(out.get(), 2, check(str(row.title)));
    return out.release();
}

// [entry(i)], or [] without one: the shape of the standard index's lists.
PyObject* entries(const CarefulIndex& index, std::int64_t i) {
    Ref out(check(PyList_New(0)));
    if (i >= 0) {
        Ref one(entry(index, i));
        if (PyList_Append(out.get(), one.get()) != 0) throw_current();
    }
    return out.release();
}

PyObject* explain(Call& c) {
    const CarefulIndex& index = c.self<CarefulIndex>();
    check_lengths(c);
    const OwnedTexts artists = copy_texts(c.text_list(0));
    const OwnedTexts titles = copy_texts(c.text_list(1));
    const auto results = without_lock([&] { return index.explain(artists.views, titles.views); });
    return list(results, [&](const fuzzy::CarefulExplanation& e) {
        Ref out(check(PyDict_New()));
        PyObject* d = out.get();
        set_item(d, "decision", str(fuzzy::to_string(e.decision)));
        set_item(d, "exact", boolean(e.exact));
        set_item(d, "token_set", floating(e.token_set));
        set_item(d, "token_sort", floating(e.token_sort));
        set_item(d, "two_stage", floating(e.two_stage));
        set_item(d, "entry", entry(index, e.entry));
        set_item(d, "token_set_entries", entries(index, e.best_token_set));
        set_item(d, "token_sort_entries", entries(index, e.best_token_sort));
        set_item(d, "two_stage_entries", entries(index, e.best_two_stage));
        set_item(d, "best", list(std::vector<double>{e.best_scores[0], e.best_scores[1], e.best_scores[2]},
                                 [](double v) { return floating(v); }));
        set_item(d, "candidates", integer(e.candidates));
        set_item(d, "decided_by", str(e.decided_by));
        set_item(d, "reason", str(e.reason));
        set_item(d, "numbers", str_list(e.numbers));
        return out.release();
    });
}

PyObject* set_thresholds(Call& c) {
    c.self<CarefulIndex>().set_thresholds(thresholds_of(c, 0));
    return none();
}

PyObject* thresholds(Call& c) {
    const fuzzy::ClassifyThresholds& th = c.self<CarefulIndex>().thresholds();
    return list(std::vector<double>{th.token_set_keep, th.token_sort_keep, th.two_stage_keep, th.artist_gate,
                                    th.review_floor},
                [](double d) { return floating(d); });
}

PyObject* load(Call& c) {
    return c.new_instance(new CarefulIndex(index_from_file<CarefulIndex>(std::string(c.text(0)))));
}

PyObject* from_bytes(Call& c) { return c.new_instance(new CarefulIndex(index_from_bytes<CarefulIndex>(c.text(0)))); }

PyObject* save(Call& c) {
    save_index(c.self<CarefulIndex>(), std::string(c.text(0)));
    return none();
}

PyObject* sizes(Call& c) {
    const CarefulIndex& ix = c.self<CarefulIndex>();
    const auto n = [](std::size_t v) { return integer(static_cast<long long>(v)); };
    Ref out(check(PyTuple_New(4)));
    PyTuple_SetItem(out.get(), 0, check(n(ix.size())));  // steals
    PyTuple_SetItem(out.get(), 1, check(n(ix.artist_count())));
    PyTuple_SetItem(out.get(), 2, check(n(ix.data_bytes())));
    PyTuple_SetItem(out.get(), 3, check(n(ix.data_bytes())));
    return out.release();
}

constexpr Param kTexts[] = {{.name = "artists", .kind = Kind::TextList}, {.name = "titles", .kind = Kind::TextList}};

constexpr Function kNew = {
    .name = "__new__",
    .params = {{.name = "library_pairs", .kind = Kind::TextPairList},
               {.name = "aliases", .kind = Kind::TextList},
               {.name = "steps", .kind = Kind::Unsigned, .has_default = true, .default_unsigned = fuzzy::kAllCarefulSteps}},
    .impl = &construct,
    .receiver = Receiver::Construct,
};

constexpr Function kMethods[] = {
    {.name = "classify",
     .params = {kTexts[0], kTexts[1]},
     .doc = "\"keep\", \"prune\" or \"review\" per release under the careful rules.",
     .impl = &classify,
     .receiver = Receiver::Shared},
    {.name = "explain",
     .params = {kTexts[0], kTexts[1]},
     .doc = "Per release, a dict of the decision, the entry that decided and its scores, the best entry of\n"
            "each measure, what decided and why.",
     .impl = &explain,
     .receiver = Receiver::Shared},
    {.name = "steps",
     .doc = "The careful steps in force, as bits.",
     .impl = [](Call& c) { return integer(c.self<CarefulIndex>().steps()); },
     .receiver = Receiver::Shared},
    {.name = "save",
     .params = {{.name = "path", .kind = Kind::Text}},
     .doc = "Write the index to a file, replacing it atomically.",
     .impl = &save,
     .receiver = Receiver::Shared},
    {.name = "to_bytes",
     .doc = "The index as the bytes of a saved file.",
     .impl = [](Call& c) {
         const CarefulIndex& index = c.self<CarefulIndex>();
         return py::bytes(without_lock([&] { return index.to_bytes(); }));
     },
     .receiver = Receiver::Shared},
    {.name = "sizes",
     .doc = "(rows, artists, bytes held in memory, bytes of the index).",
     .impl = &sizes,
     .receiver = Receiver::Shared},
    {.name = "thresholds",
     .doc = "The five thresholds, in the standard index's order.",
     .impl = &thresholds,
     .receiver = Receiver::Shared},
    {.name = "set_thresholds",
     .params = {kThresholdParams[0], kThresholdParams[1], kThresholdParams[2], kThresholdParams[3],
                kThresholdParams[4]},
     .doc = "Replace the thresholds (saved with the index from then on).",
     .impl = &set_thresholds,
     .receiver = Receiver::Exclusive},
    {.name = "load",
     .params = {{.name = "path", .kind = Kind::Text}},
     .doc = "A saved careful index, built again from its rows.",
     .impl = &load,
     .receiver = Receiver::Static},
    {.name = "from_bytes",
     .params = {{.name = "data", .kind = Kind::Bytes}},
     .doc = "A careful index from the bytes of a saved file.",
     .impl = &from_bytes,
     .receiver = Receiver::Static},
};

constexpr Function kLength = {
    .name = "__len__",
    .impl = [](Call& c) { return integer(static_cast<long long>(c.self<CarefulIndex>().size())); },
    .receiver = Receiver::Shared};

constexpr ClassInfo kClass = {
    .name = "CarefulIndex",
    .doc = "The library index of the careful rule set, read-only once built.",
    .constructor = &kNew,
    .methods = kMethods,
    .length = &kLength,
};

}  // namespace

void register_careful(PyObject* module) {
    add_class<kClass>(module);
    add_member(module, "CAREFUL_STEPS", integer(fuzzy::kAllCarefulSteps));
}

}  // namespace zemo::py::ext
