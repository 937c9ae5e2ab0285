#include "import_utils/dedup_set.hpp"

#include <algorithm>
#include <functional>

namespace zemo::import_utils {
namespace {

template <typename Elements>
std::size_t hash_elements(const Elements& elements) noexcept {
    // The element count seeds the hash so that ("x",) and ("x", "") differ.
    std::size_t h = elements.size() * 0x9E3779B97F4A7C15ull;
    for (const auto& e : elements) {
        h ^= std::hash<std::string_view>{}(std::string_view(e)) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    }
    return h;
}

}  // namespace

std::size_t DedupSet::Hash::operator()(const Key& key) const noexcept { return hash_elements(key); }
std::size_t DedupSet::Hash::operator()(KeyView key) const noexcept { return hash_elements(key); }

bool DedupSet::Equal::operator()(KeyView a, const Key& b) const noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](std::string_view x, const std::string& y) { return x == y; });
}

bool DedupSet::add(KeyView key) {
    if (keys_.find(key) != keys_.end()) return false;
    keys_.emplace(key.begin(), key.end());
    return true;
}

bool DedupSet::contains(KeyView key) const { return keys_.find(key) != keys_.end(); }

}  // namespace zemo::import_utils
