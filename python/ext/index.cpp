// Prepared fuzzy indexes: the library index of batch_classify_releases and
// the catalogue of batch_fuzzy_resolve, built once and used for any number
// of calls, saved to a file and mapped back, or carried through pickle as
// bytes.

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/atomic_file.hpp"
#include "common/sections.hpp"
#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/resolve.hpp"
#include "members.hpp"
#include "parser/mapped_file.hpp"

namespace zemo::py::ext {
namespace {

struct PreparedLibrary {
    fuzzy::LibraryIndex index;
    fuzzy::ClassifyThresholds thresholds;
};

fuzzy::ClassifyThresholds thresholds_of(const Call& c, std::size_t first) {
    return {c.number(first), c.number(first + 1), c.number(first + 2), c.number(first + 3), c.number(first + 4)};
}

// Bytes of a pickle are copied to storage of their own, aligned for the arrays.
template <typename Index>
Index index_from_bytes(std::string_view data) {
    std::shared_ptr<const char> copy = aligned_copy(data);
    auto index = Index::from_bytes(std::string_view(copy.get(), data.size()), copy);
    if (!index) raise(PyExc_ValueError, index.error().message());
    return std::move(index).value();
}

template <typename Index>
Index index_from_file(const std::string& path) {
    auto file = parser::MappedFile::open(path);
    if (!file) raise(PyExc_OSError, file.error().chain());
    auto mapping = std::make_shared<parser::MappedFile>(std::move(file).value());
    const std::string_view bytes = mapping->bytes();
    auto index = Index::from_bytes(bytes, std::move(mapping));
    if (!index) raise(PyExc_ValueError, index.error().message() + ": " + path);
    return std::move(index).value();
}

template <typename Index>
void save_index(const Index& index, const std::string& path) {
    if (Status saved = replace_file_atomically(path, index.to_bytes()); !saved) raise(PyExc_OSError, saved.error().chain());
}

const Param kThresholdParams[] = {
    {"token_set_keep", Kind::Float, true, 0.8},  {"token_sort_keep", Kind::Float, true, 0.8},
    {"two_stage_keep", Kind::Float, true, 0.8},  {"artist_gate", Kind::Float, true, 0.7},
    {"review_floor", Kind::Float, true, 0.4},
};

const Function kLibraryNew = {
    "__new__",
    {{{"library_pairs", Kind::TextPairList}, kThresholdParams[0], kThresholdParams[1], kThresholdParams[2],
      kThresholdParams[3], kThresholdParams[4]}},
    "",
    [](Call& c) {
        c.init_self(new PreparedLibrary{fuzzy::LibraryIndex::from_pairs(c.pair_list(0)), thresholds_of(c, 1)});
        return none();
    },
    Receiver::Construct};

PyObject* classify(Call& c) {
    const PreparedLibrary& library = c.self<PreparedLibrary>();
    const std::vector<std::string_view>& artists = c.text_list(0);
    const std::vector<std::string_view>& titles = c.text_list(1);
    if (artists.size() != titles.size()) raise(PyExc_ValueError, "artists and titles must have the same length");
    const auto results = fuzzy::batch_classify_releases(artists, titles, library.index, library.thresholds);
    return list(results, [](fuzzy::Classification r) { return str(fuzzy::to_string(r)); });
}

PyObject* save(Call& c) {
    save_index(c.self<PreparedLibrary>().index, std::string(c.text(0)));
    return none();
}

PyObject* to_bytes(Call& c) { return py::bytes(c.self<PreparedLibrary>().index.to_bytes()); }

PyObject* load(Call& c) {
    return c.new_instance(new PreparedLibrary{index_from_file<fuzzy::LibraryIndex>(std::string(c.text(0))), thresholds_of(c, 1)});
}

PyObject* from_bytes(Call& c) {
    return c.new_instance(new PreparedLibrary{index_from_bytes<fuzzy::LibraryIndex>(c.text(0)), thresholds_of(c, 1)});
}

PyObject* sizes(Call& c) {
    const fuzzy::LibraryIndex& ix = c.self<PreparedLibrary>().index;
    Ref out(check(PyTuple_New(4)));
    PyTuple_SetItem(out.get(), 0, integer(static_cast<long long>(ix.size())));
    PyTuple_SetItem(out.get(), 1, integer(static_cast<long long>(ix.artist_count())));
    PyTuple_SetItem(out.get(), 2, integer(static_cast<long long>(ix.owned_bytes())));
    PyTuple_SetItem(out.get(), 3, integer(static_cast<long long>(ix.data_bytes())));
    return out.release();
}

PyObject* thresholds(Call& c) {
    const fuzzy::ClassifyThresholds& th = c.self<PreparedLibrary>().thresholds;
    return list(std::vector<double>{th.token_set_keep, th.token_sort_keep, th.two_stage_keep, th.artist_gate,
                                    th.review_floor},
                [](double d) { return floating(d); });
}

const Function kLibraryMethods[] = {
    {"classify",
     {{{"artists", Kind::TextList}, {"titles", Kind::TextList}}},
     "Classify releases as \"keep\", \"prune\" or \"review\" against this library, exactly as\n"
     "fuzzy.batch_classify_releases does with the same pairs and thresholds.",
     &classify,
     Receiver::Shared},
    {"save", {{{"path", Kind::Text}}}, "Write the index to a file, replacing it atomically.", &save, Receiver::Shared},
    {"to_bytes", {}, "The index as the bytes of a saved file.", &to_bytes, Receiver::Shared},
    {"sizes", {}, "(pairs, artists, bytes held in memory, bytes of the index).", &sizes, Receiver::Shared},
    {"thresholds", {}, "The five thresholds, in the constructor's order.", &thresholds, Receiver::Shared},
    {"load",
     {{{"path", Kind::Text}, kThresholdParams[0], kThresholdParams[1], kThresholdParams[2], kThresholdParams[3],
       kThresholdParams[4]}},
     "Map a saved index read-only; ValueError for a file that is not a valid index of this format.",
     &load,
     Receiver::Static},
    {"from_bytes",
     {{{"data", Kind::Bytes}, kThresholdParams[0], kThresholdParams[1], kThresholdParams[2], kThresholdParams[3],
       kThresholdParams[4]}},
     "An index from the bytes of a saved file (copied).",
     &from_bytes,
     Receiver::Static},
};

const Function kLibraryLength = {"__len__", {}, "",
                                 [](Call& c) { return integer(static_cast<long long>(c.self<PreparedLibrary>().index.size())); },
                                 Receiver::Shared};

ClassInfo kLibraryClass = {
    "LibraryIndex",
    "The library index of fuzzy.batch_classify_releases, built once from (artist, title) pairs\n"
    "and read-only afterwards: any number of threads may classify against it at once.",
    &kLibraryNew,
    kLibraryMethods,
    std::size(kLibraryMethods),
    nullptr,
    &kLibraryLength,
};

// ---------------------------------------------------------------------------
// Catalogue

using fuzzy::PreparedCatalogue;

const Function kCatalogueNew = {"__new__",
                                {{{"entries", Kind::TextList}}},
                                "",
                                [](Call& c) {
                                    c.init_self(new PreparedCatalogue(c.text_list(0)));
                                    return none();
                                },
                                Receiver::Construct};

PyObject* resolve(Call& c) {
    const PreparedCatalogue& catalogue = c.self<PreparedCatalogue>();
    const fuzzy::ResolveOptions options{c.number(1), c.count(2), c.number(3)};
    // As batch_fuzzy_resolve: without a ranked candidate there is no best entry.
    if (options.limit == 0 && catalogue.size() > 0) raise(PyExc_ValueError, "limit must be at least 1");
    const std::vector<std::string_view>& names = c.text_list(0);
    const auto resolved = catalogue.size() == 0 ? std::vector<std::optional<std::string>>(names.size())
                                                : catalogue.resolve(names, options);
    return list(resolved, [](const std::optional<std::string>& r) { return r ? str(*r) : none(); });
}

PyObject* catalogue_save(Call& c) {
    save_index(c.self<PreparedCatalogue>(), std::string(c.text(0)));
    return none();
}

PyObject* catalogue_to_bytes(Call& c) { return py::bytes(c.self<PreparedCatalogue>().to_bytes()); }

PyObject* catalogue_load(Call& c) {
    return c.new_instance(new PreparedCatalogue(index_from_file<PreparedCatalogue>(std::string(c.text(0)))));
}

PyObject* catalogue_from_bytes(Call& c) {
    return c.new_instance(new PreparedCatalogue(index_from_bytes<PreparedCatalogue>(c.text(0))));
}

PyObject* catalogue_sizes(Call& c) {
    const PreparedCatalogue& cat = c.self<PreparedCatalogue>();
    Ref out(check(PyTuple_New(3)));
    PyTuple_SetItem(out.get(), 0, integer(static_cast<long long>(cat.size())));
    PyTuple_SetItem(out.get(), 1, integer(static_cast<long long>(cat.owned_bytes())));
    PyTuple_SetItem(out.get(), 2, integer(static_cast<long long>(cat.data_bytes())));
    return out.release();
}

const Function kCatalogueMethods[] = {
    {"resolve",
     {{{"names", Kind::TextList},
       {"threshold", Kind::Float},
       {"limit", Kind::Unsigned, true, 0.0, 2},
       {"ambiguity_threshold", Kind::Float, true, 0.02}}},
     "Resolve each name to its entry of this catalogue (or None), exactly as\n"
     "fuzzy.batch_fuzzy_resolve does with the same entries and arguments.",
     &resolve,
     Receiver::Shared},
    {"save", {{{"path", Kind::Text}}}, "Write the catalogue to a file, replacing it atomically.", &catalogue_save,
     Receiver::Shared},
    {"to_bytes", {}, "The catalogue as the bytes of a saved file.", &catalogue_to_bytes, Receiver::Shared},
    {"sizes", {}, "(entries, bytes held in memory, bytes of the catalogue).", &catalogue_sizes, Receiver::Shared},
    {"load",
     {{{"path", Kind::Text}}},
     "Map a saved catalogue read-only; ValueError for a file that is not a valid catalogue of this format.",
     &catalogue_load,
     Receiver::Static},
    {"from_bytes", {{{"data", Kind::Bytes}}}, "A catalogue from the bytes of a saved file (copied).",
     &catalogue_from_bytes, Receiver::Static},
};

const Function kCatalogueLength = {
    "__len__", {}, "", [](Call& c) { return integer(static_cast<long long>(c.self<PreparedCatalogue>().size())); },
    Receiver::Shared};

ClassInfo kCatalogueClass = {
    "Catalogue",
    "The catalogue of fuzzy.batch_fuzzy_resolve, prepared once from its entries and read-only\n"
    "afterwards: any number of threads may resolve against it at once.",
    &kCatalogueNew,
    kCatalogueMethods,
    std::size(kCatalogueMethods),
    nullptr,
    &kCatalogueLength,
};

}  // namespace

void register_index(PyObject* module) {
    add_class<kLibraryClass, std::size(kLibraryMethods)>(module);
    add_class<kCatalogueClass, std::size(kCatalogueMethods)>(module);
}

}  // namespace zemo::py::ext
