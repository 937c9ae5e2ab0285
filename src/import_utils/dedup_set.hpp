#pragma once
// The set of key tuples seen during CSV import.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace zemo::import_utils {

// Keys are compared element by element, never joined, so ("a b", "c") and
// ("a", "b c") stay distinct. Lookups take views; only new keys are copied.
class DedupSet {
public:
    using KeyView = std::span<const std::string_view>;

    // True when the key was new and has been stored.
    bool add(KeyView key);
    bool contains(KeyView key) const;
    std::size_t size() const noexcept { return keys_.size(); }

private:
    using Key = std::vector<std::string>;

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(const Key& key) const noexcept;
        std::size_t operator()(KeyView key) const noexcept;
    };
    struct Equal {
        using is_transparent = void;
        bool operator()(const Key& a, const Key& b) const noexcept { return a == b; }
        bool operator()(KeyView a, const Key& b) const noexcept;
        bool operator()(const Key& a, KeyView b) const noexcept { return (*this)(b, a); }
    };

    std::unordered_set<Key, Hash, Equal> keys_;
};

}  // namespace zemo::import_utils
