// libFuzzer target for the release classifier: on a small library and a few
// releases built from the input, with thresholds picked by the input, the
// batch on the worker pool gives the plain reference's decisions, and so
// does the index after a trip through its saved bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "fuzz_input.hpp"
#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy_reference.hpp"
#include "text/forms.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!utf8::is_valid(input)) return 0;
    // Thresholds on a grid of twentieths, in any order (a floor above the
    // keep levels included).
    fuzzy::ClassifyThresholds th;
    double* levels[] = {&th.token_set_keep, &th.token_sort_keep, &th.two_stage_keep, &th.artist_gate,
                        &th.review_floor};
    for (double* level : levels) *level = (fuzz::take_byte(input) % 21) / 20.0;
    const std::size_t library_size = fuzz::take_byte(input) % 9;

    const auto f = fuzz::fields(input, 2 * library_size + 8, 32);
    std::vector<std::pair<std::string, std::string>> owned;
    for (std::size_t i = 0; i + 1 < f.size() && owned.size() < library_size; i += 2) owned.emplace_back(f[i], f[i + 1]);
    std::vector<std::string_view> artists, titles;
    for (std::size_t i = 2 * owned.size(); i + 1 < f.size(); i += 2) {
        artists.push_back(f[i]);
        titles.push_back(f[i + 1]);
    }
    // Library entries as releases too: exact and near pairs.
    for (const auto& [a, t] : owned) {
        artists.push_back(a);
        titles.push_back(t);
    }

    std::vector<std::pair<std::string_view, std::string_view>> pairs(owned.begin(), owned.end());
    const fuzzy::LibraryIndex index = fuzzy::LibraryIndex::from_pairs(pairs);
    const fuzzy::reference::Library reference(owned);
    const auto results = fuzzy::batch_classify_releases(artists, titles, index, th);
    fuzz::require(results.size() == artists.size());
    for (std::size_t i = 0; i < artists.size(); ++i) {
        const auto expected =
            reference.classify(text::to_match_form(artists[i]), text::to_match_form(titles[i]), th).result;
        fuzz::require(results[i] == expected);
    }

    const std::string saved = index.to_bytes();
    std::shared_ptr<char[]> copy(new (std::align_val_t{64}) char[saved.size() + 1],
                                 [](char* p) { ::operator delete[](p, std::align_val_t{64}); });
    std::memcpy(copy.get(), saved.data(), saved.size());
    auto loaded = fuzzy::LibraryIndex::from_bytes(std::string_view(copy.get(), saved.size()), copy);
    fuzz::require(loaded.ok());
    fuzz::require(fuzzy::batch_classify_releases(artists, titles, loaded.value(), th) == results);
    return 0;
}
