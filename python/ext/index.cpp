// Prepared fuzzy indexes: the library index of batch_classify_releases,
// built once and used for any number of classify calls, saved to a file and
// mapped back, or carried through pickle as bytes.

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/atomic_file.hpp"
#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
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
fuzzy::LibraryIndex library_from_bytes(std::string_view data) {
    // Freed with the aligned form of delete that matches its allocation.
    std::shared_ptr<char[]> copy(new (std::align_val_t{64}) char[data.size() + 1],
                                 [](char* p) { ::operator delete[](p, std::align_val_t{64}); });
    std::memcpy(copy.get(), data.data(), data.size());
    auto index = fuzzy::LibraryIndex::from_bytes(std::string_view(copy.get(), data.size()), copy);
    if (!index) raise(PyExc_ValueError, index.error().message());
    return std::move(index).value();
}

fuzzy::LibraryIndex library_from_file(const std::string& path) {
    auto file = parser::MappedFile::open(path);
    if (!file) raise(PyExc_OSError, file.error().chain());
    auto mapping = std::make_shared<parser::MappedFile>(std::move(file).value());
    const std::string_view bytes = mapping->bytes();
    auto index = fuzzy::LibraryIndex::from_bytes(bytes, std::move(mapping));
    if (!index) raise(PyExc_ValueError, index.error().message() + ": " + path);
    return std::move(index).value();
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
    const std::string bytes = c.self<PreparedLibrary>().index.to_bytes();
    if (Status saved = replace_file_atomically(std::string(c.text(0)), bytes); !saved)
        raise(PyExc_OSError, saved.error().chain());
    return none();
}

PyObject* to_bytes(Call& c) { return py::bytes(c.self<PreparedLibrary>().index.to_bytes()); }

PyObject* load(Call& c) {
    return c.new_instance(new PreparedLibrary{library_from_file(std::string(c.text(0))), thresholds_of(c, 1)});
}

PyObject* from_bytes(Call& c) {
    return c.new_instance(new PreparedLibrary{library_from_bytes(c.text(0)), thresholds_of(c, 1)});
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

}  // namespace

void register_index(PyObject* module) { add_class<kLibraryClass, std::size(kLibraryMethods)>(module); }

}  // namespace zemo::py::ext
