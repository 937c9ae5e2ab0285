// libFuzzer target for saved library indexes: any bytes (mutated saved files,
// from the seed corpus) either load or are refused with a message, and a
// loaded index classifies releases without faults, deterministically, and
// saves back to bytes that load to the same decisions.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"

namespace {

// Mapped files and pickled bytes are both 64-byte aligned.
std::shared_ptr<char[]> aligned_copy(std::string_view bytes) {
    std::shared_ptr<char[]> copy(new (std::align_val_t{64}) char[bytes.size() + 1],
                                 [](char* p) { ::operator delete[](p, std::align_val_t{64}); });
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // An exact-size copy, so that ASan sees any read past the end.
    auto copy = aligned_copy(input);
    auto loaded = fuzzy::LibraryIndex::from_bytes(std::string_view(copy.get(), size), copy);
    if (!loaded) {
        fuzz::require(!loaded.error().message().empty());
        return 0;
    }
    const fuzzy::LibraryIndex& index = loaded.value();
    std::vector<std::string_view> artists = {"", "a", "the beatles", "abbey road", "x y z"};
    std::vector<std::string_view> titles = {"", "b", "abbey road", "the beatles", "x y z"};
    for (std::string_view a : index.artists()) {
        artists.push_back(a);
        titles.push_back(a);
        if (artists.size() > 16) break;
    }
    const fuzzy::ClassifyThresholds th;
    const auto results = fuzzy::batch_classify_releases(artists, titles, index, th);
    fuzz::require(results == fuzzy::batch_classify_releases(artists, titles, index, th));
    const std::string saved = index.to_bytes();
    auto saved_copy = aligned_copy(saved);
    auto reloaded = fuzzy::LibraryIndex::from_bytes(std::string_view(saved_copy.get(), saved.size()), saved_copy);
    fuzz::require(reloaded.ok());
    fuzz::require(fuzzy::batch_classify_releases(artists, titles, reloaded.value(), th) == results);
    return 0;
}
