#include "fuzzy/classify.hpp"

#include "fuzzy/classifier.hpp"

namespace zemo::fuzzy {

std::string_view to_string(Classification c) noexcept {
    switch (c) {
        case Classification::Keep: return "keep";
        case Classification::Prune: return "prune";
        case Classification::Review: return "review";
    }
    return "review";
}

Classification classify_release(std::string_view artist, std::string_view title, const LibraryIndex& index,
                                const ClassifyThresholds& thresholds, ArtistMemo* memo) {
    // Scratch sized to the library is kept per thread across releases.
    thread_local Classifier scratch;
    const Classifier::MemoInUse in_use(scratch, memo);
    return scratch.classify(index, thresholds, artist, title);
}

}  // namespace zemo::fuzzy
