// The library index as bytes: a round trip classifies exactly as the built
// index, and damaged, foreign, truncated or crafted bytes are refused with a
// message instead of being read.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/sections.hpp"
#include "fuzzy/classify.hpp"

using namespace zemo::fuzzy;

namespace {

LibraryIndex sample_index() {
    static const std::vector<std::pair<std::string, std::string>> pairs = {
        {"The Beatles", "Abbey Road"}, {"The Beatles", "Let It Be"}, {"Radiohead", "OK Computer"},
        {"Radiohead", "Kid A"},        {"Stereolab", "Dots and Loops"}, {"Björk", "Homogenic"},
        {"", ""},                      {"|||", "中文 ||| x"},
    };
    LibraryIndex::Pairs views;
    for (const auto& [a, t] : pairs) views.emplace_back(a, t);
    return LibraryIndex::from_pairs(views);
}

std::vector<Classification> classify_all(const LibraryIndex& ix) {
    const char* releases[][2] = {{"radiohead", "kid a"},   {"beatles", "abbey road"}, {"radiohed", "ok computer"},
                                 {"the beatles", "revolver"}, {"lunar mice", "quiet hours"}, {"bjork", "homogenic"},
                                 {"", ""},                    {"中文", "x"}};
    std::vector<Classification> out;
    for (const auto& r : releases) out.push_back(classify_release(r[0], r[1], ix, {}));
    return out;
}

// Loads from a 64-byte aligned copy, as a mapped file would be.
zemo::Result<LibraryIndex> load(const std::string& bytes) {
    auto buffer = std::shared_ptr<char[]>(new (std::align_val_t{64}) char[bytes.size() + 1],
                                          [](char* p) { ::operator delete[](p, std::align_val_t{64}); });
    std::memcpy(buffer.get(), bytes.data(), bytes.size());
    return LibraryIndex::from_bytes(std::string_view(buffer.get(), bytes.size()), buffer);
}

// Rewrites the checksum after a deliberate change, so that only the content checks can catch it.
void reseal(std::string& bytes) {
    const std::uint64_t sum = zemo::checksum64(reinterpret_cast<const unsigned char*>(bytes.data()) + 64, bytes.size() - 64);
    std::memcpy(bytes.data() + 32, &sum, 8);
}

std::string message_of(const zemo::Result<LibraryIndex>& r) { return r ? "" : r.error().message(); }

}  // namespace

TEST(fuzzy_library_file_round_trip) {
    const LibraryIndex built = sample_index();
    const std::string bytes = built.to_bytes();
    const auto loaded = load(bytes);
    CHECK(loaded.ok());
    CHECK(classify_all(loaded.value()) == classify_all(built));
    CHECK(loaded.value().artists() == built.artists());
    CHECK(loaded.value().owned_bytes() == 0);
    CHECK(loaded.value().data_bytes() == built.data_bytes());
    CHECK(loaded.value().to_bytes() == bytes);
    // Bytes that do not start on a 64-byte boundary are copied first.
    std::string shifted = " " + bytes;
    const auto copied = LibraryIndex::from_bytes(std::string_view(shifted).substr(1), nullptr);
    CHECK(copied.ok() && classify_all(copied.value()) == classify_all(built));
    // The empty library too.
    const LibraryIndex empty = LibraryIndex::from_pairs({});
    const auto empty_loaded = load(empty.to_bytes());
    CHECK(empty_loaded.ok() && classify_release("a", "b", empty_loaded.value(), {}) == Classification::Prune);
}

TEST(fuzzy_library_file_refuses_damage) {
    const std::string bytes = sample_index().to_bytes();
    CHECK(message_of(load("")).find("too short") != std::string::npos);
    CHECK_EQ(message_of(load(std::string(100, 'x'))), std::string("not a library index file"));
    CHECK(message_of(load(bytes.substr(0, bytes.size() - 1))).find("truncated") != std::string::npos);

    std::string version = bytes;
    version[8] = 7;
    CHECK(message_of(load(version)).find("format version 7") != std::string::npos);

    // Every byte after the header is covered by the checksum.
    for (std::size_t at = 64; at < bytes.size(); at += 97) {
        std::string flipped = bytes;
        flipped[at] ^= 0x20;
        CHECK_EQ(message_of(load(flipped)), std::string("library index file is damaged: checksum mismatch"));
    }
}

TEST(fuzzy_library_file_checks_content_behind_a_valid_checksum) {
    const std::string bytes = sample_index().to_bytes();
    std::uint64_t table[44];
    std::memcpy(table, bytes.data() + 64, sizeof table);
    // Overwrite the first word of several sections with a huge value, one at a time.
    int refused = 0, tried = 0;
    for (std::size_t k = 0; k < 22; ++k) {
        if (table[2 * k + 1] < 4) continue;
        for (std::uint32_t value : {0xFFFFFFF0u, 0x7FFFFFFFu}) {
            std::string crafted = bytes;
            std::memcpy(crafted.data() + table[2 * k], &value, 4);
            reseal(crafted);
            const auto r = load(crafted);
            ++tried;
            if (!r) {
                ++refused;
                CHECK(r.error().message().find("damaged") != std::string::npos);
            } else {
                classify_all(r.value());  // accepted values must still be safe to use (ASan checks)
            }
        }
    }
    CHECK(tried > 20 && refused > tried / 2);
    // A section size that does not divide into elements.
    std::string odd = bytes;
    table[3] -= 1;
    std::memcpy(odd.data() + 64, table, sizeof table);
    reseal(odd);
    CHECK(!load(odd).ok());
}
