// The prepared catalogue as bytes: a round trip resolves exactly as the
// built catalogue, and damaged, foreign, truncated or crafted bytes are
// refused with a message or, when accepted, are still safe to search.

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/sections.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/resolve.hpp"

using namespace zemo::fuzzy;

namespace {

// Runs longer than a leaf (so the trees have inner nodes), Latin-1 and wide
// entries, an oversized one, the empty string and duplicates.
const std::vector<std::string>& sample_entries() {
    static const std::vector<std::string> entries = [] {
        std::vector<std::string> e = {"", "Björk", "中文名", "aaaaaaaaaaaaaaaaaaaa", "Radiohead", "Radiohead"};
        const char* parts[] = {"ana", "bel", "cor", "dun", "eli", "fam", "gor", "hal"};
        for (int i = 0; i < 160; ++i) e.push_back(std::string(parts[i % 8]) + parts[(i / 8) % 8] + parts[(i * 7) % 8]);
        return e;
    }();
    return entries;
}

const std::vector<std::string_view> kNames = {"radiohed", "bjork", "中文", "anabelcor", "dunelifam", "", "x",
                                              "aaaaaaaaaaaaaaaaaaab", "halgorana", "corcorcor"};

std::vector<std::optional<std::string>> resolve_all(const PreparedCatalogue& c) {
    std::vector<std::optional<std::string>> out;
    for (double threshold : {0.0, 0.7, 0.9}) {
        for (std::uint64_t limit : {1, 2}) {
            const auto r = c.resolve(kNames, {threshold, limit, 0.02});
            out.insert(out.end(), r.begin(), r.end());
        }
    }
    return out;
}

PreparedCatalogue sample() {
    std::vector<std::string_view> views(sample_entries().begin(), sample_entries().end());
    return PreparedCatalogue(views);
}

// Loads from a 64-byte aligned copy, as a mapped file would be.
zemo::Result<PreparedCatalogue> load(const std::string& bytes) {
    const std::shared_ptr<const char> buffer = zemo::aligned_copy(bytes);
    return PreparedCatalogue::from_bytes(std::string_view(buffer.get(), bytes.size()), buffer);
}

// Rewrites the checksum after a deliberate change, so that only the content checks can catch it.
void reseal(std::string& bytes) {
    const std::uint64_t sum = zemo::checksum64(reinterpret_cast<const unsigned char*>(bytes.data()) + 64, bytes.size() - 64);
    std::memcpy(bytes.data() + 32, &sum, 8);
}

std::string message_of(const zemo::Result<PreparedCatalogue>& r) { return r ? "" : r.error().message(); }

constexpr std::size_t kSections = 19;

}  // namespace

TEST(fuzzy_catalogue_file_round_trip) {
    const PreparedCatalogue built = sample();
    CHECK(built.by_length().nodes.size() > built.by_length().runs.size());  // inner nodes exist
    CHECK(!built.oversized().empty());
    const std::string bytes = built.to_bytes();
    const auto loaded = load(bytes);
    CHECK(loaded.ok());
    CHECK(resolve_all(loaded.value()) == resolve_all(built));
    CHECK(loaded.value().size() == built.size() && loaded.value().entry(2) == built.entry(2));
    CHECK(loaded.value().owned_bytes() == 0);
    CHECK(loaded.value().data_bytes() == built.data_bytes());
    CHECK(loaded.value().to_bytes() == bytes);
    // Bytes that do not start on a 64-byte boundary are copied first.
    std::string shifted = " " + bytes;
    const auto copied = PreparedCatalogue::from_bytes(std::string_view(shifted).substr(1), nullptr);
    CHECK(copied.ok() && resolve_all(copied.value()) == resolve_all(built));
    // The empty catalogue too.
    const auto empty = load(PreparedCatalogue(std::vector<std::string_view>{}).to_bytes());
    CHECK(empty.ok() && empty.value().size() == 0 && !empty.value().resolve_position("a", {0.0, 2, 0.02}));
}

TEST(fuzzy_catalogue_file_refuses_damage) {
    const std::string bytes = sample().to_bytes();
    CHECK(message_of(load("")).find("too short") != std::string::npos);
    CHECK_EQ(message_of(load(std::string(100, 'x'))), std::string("not a catalogue file"));
    // A library index is a foreign file here.
    CHECK_EQ(message_of(load(zemo::fuzzy::LibraryIndex::from_pairs({}).to_bytes())), std::string("not a catalogue file"));
    CHECK(message_of(load(bytes.substr(0, bytes.size() - 1))).find("truncated") != std::string::npos);
    std::string version = bytes;
    version[8] = 7;
    CHECK(message_of(load(version)).find("format version 7") != std::string::npos);
    for (std::size_t at = 64; at < bytes.size(); at += 89) {
        std::string flipped = bytes;
        flipped[at] ^= 0x04;
        CHECK_EQ(message_of(load(flipped)), std::string("catalogue file is damaged: checksum mismatch"));
    }
}

TEST(fuzzy_catalogue_file_checks_content_behind_a_valid_checksum) {
    const std::string bytes = sample().to_bytes();
    std::uint64_t table[2 * kSections];
    std::memcpy(table, bytes.data() + 64, sizeof table);
    // Words at the start, middle and end of every section, overwritten one at
    // a time with values that point far away, nowhere in particular, or back.
    int refused = 0, tried = 0;
    for (std::size_t k = 0; k < kSections; ++k) {
        const std::uint64_t size = table[2 * k + 1];
        if (size < 4) continue;
        for (std::uint64_t at : {std::uint64_t{0}, size / 2 / 4 * 4, size - 4}) {
            for (std::uint32_t value : {0xFFFFFFF0u, 0x7FFFFFFFu, 0x00000200u, 0u}) {
                std::string crafted = bytes;
                std::memcpy(crafted.data() + table[2 * k] + at, &value, 4);
                if (crafted == bytes) continue;
                reseal(crafted);
                const auto r = load(crafted);
                ++tried;
                if (!r) {
                    ++refused;
                    CHECK(r.error().message().find("damaged") != std::string::npos);
                } else {
                    resolve_all(r.value());  // accepted values must still be safe to use (ASan checks)
                }
            }
        }
    }
    // Text, characters and the rows' counts take any value; what locates
    // anything is checked.
    CHECK(tried > 150 && refused > tried / 3);

    // A tree that points back at itself would recurse without end.
    const auto nodes_at = table[2 * 12];  // by-length nodes
    std::string loop = bytes;
    const std::uint32_t self = 0;
    std::memcpy(loop.data() + nodes_at + offsetof(PreparedCatalogue::Node, after), &self, 4);
    reseal(loop);
    CHECK(message_of(load(loop)).find("tree is malformed") != std::string::npos);

    // A section size that does not divide into elements.
    std::string odd = bytes;
    table[2 * 12 + 1] -= 1;
    std::memcpy(odd.data() + 64, table, sizeof table);
    reseal(odd);
    CHECK(!load(odd).ok());
}
