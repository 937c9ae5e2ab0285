#pragma once
// A set of strings for lookups on hot paths: open addressing with linear
// probing over a power-of-two table at most half full, each slot holding the
// key's StringHash beside its index, so a probe compares bytes only when the
// whole hash matches. The standard sets chain nodes and, in libc++, reach the
// bucket through a division; this one costs the same few loads in every
// build. Keys are only added, never removed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/hash.hpp"

namespace zemo {

class StringSet {
public:
    StringSet() = default;

    std::size_t size() const noexcept { return keys_.size(); }
    bool empty() const noexcept { return keys_.empty(); }

    // Room for `n` keys without another rehash.
    void reserve(std::size_t n) {
        std::size_t want = kMinSlots;
        while (want / 2 < n) want *= 2;
        if (want > slots_.size()) rehash(want);
        keys_.reserve(n);
    }

    // Adds `key`; false when it was there already.
    bool insert(std::string_view key) {
        const std::size_t before = keys_.size();
        return add(key) == before;
    }

    // The index of `key` in keys(), which is its number in the order of
    // first insertion: keys are added as they come.
    std::size_t add(std::string_view key) {
        if (2 * (keys_.size() + 1) > slots_.size()) rehash(slots_.empty() ? kMinSlots : 2 * slots_.size());
        const std::uint64_t h = hash_bytes(key);
        const std::size_t i = find_slot(key, h);
        if (slots_[i].ref != 0) return slots_[i].ref - 1;
        keys_.emplace_back(key);
        slots_[i] = {h, keys_.size()};
        return keys_.size() - 1;
    }

    // Inlined into the caller's loop: clang would otherwise call it, saving
    // and restoring registers for a lookup that is mostly the hash.
    [[gnu::always_inline]] bool contains(std::string_view key) const noexcept {
        if (keys_.empty()) return false;
        return slots_[find_slot(key, hash_bytes(key))].ref != 0;
    }

    // The keys in the order they were added.
    const std::vector<std::string>& keys() const noexcept { return keys_; }

private:
    static constexpr std::size_t kMinSlots = 16;

    struct Slot {
        std::uint64_t hash = 0;
        std::size_t ref = 0;  // 1 + the key's index in keys_; 0 for an empty slot
    };

    // The slot holding `key`, or the empty slot where the probe for it ends.
    [[gnu::always_inline]] std::size_t find_slot(std::string_view key, std::uint64_t h) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.ref == 0 || (s.hash == h && keys_[s.ref - 1] == key)) return i;
        }
    }

    void rehash(std::size_t count) {
        std::vector<Slot> old(count);
        old.swap(slots_);
        const std::size_t mask = count - 1;
        for (const Slot& s : old) {
            if (s.ref == 0) continue;
            std::size_t i = static_cast<std::size_t>(s.hash) & mask;
            while (slots_[i].ref != 0) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::vector<std::string> keys_;
};

}  // namespace zemo
