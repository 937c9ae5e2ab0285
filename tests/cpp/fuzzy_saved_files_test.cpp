// Library indexes and catalogues as bytes: a round trip answers exactly as
// the built object, and damaged, foreign, truncated or crafted bytes are
// refused with a message or, when accepted, are still safe to use.

#include <algorithm>
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

std::vector<Classification> use(const LibraryIndex& ix) {
    const char* releases[][2] = {{"radiohead", "kid a"},   {"beatles", "abbey road"}, {"radiohed", "ok computer"},
                                 {"the beatles", "revolver"}, {"lunar mice", "quiet hours"}, {"bjork", "homogenic"},
                                 {"", ""},                    {"中文", "x"}};
    std::vector<Classification> out;
    for (const auto& r : releases) out.push_back(classify_release(r[0], r[1], ix, {}));
    return out;
}

// Runs longer than a leaf (so the trees have inner nodes), Latin-1 and wide
// entries, an oversized one, the empty string and duplicates.
PreparedCatalogue sample_catalogue() {
    static const std::vector<std::string> entries = [] {
        std::vector<std::string> e = {"", "Björk", "中文名", "aaaaaaaaaaaaaaaaaaaa", "Radiohead", "Radiohead"};
        const char* parts[] = {"ana", "bel", "cor", "dun", "eli", "fam", "gor", "hal"};
        for (int i = 0; i < 160; ++i) e.push_back(std::string(parts[i % 8]) + parts[(i / 8) % 8] + parts[(i * 7) % 8]);
        return e;
    }();
    return PreparedCatalogue(std::vector<std::string_view>(entries.begin(), entries.end()));
}

std::vector<std::optional<std::string>> use(const PreparedCatalogue& c) {
    static const std::vector<std::string_view> names = {"radiohed", "bjork", "中文", "anabelcor", "dunelifam", "", "x",
                                                        "aaaaaaaaaaaaaaaaaaab", "halgorana", "corcorcor"};
    std::vector<std::optional<std::string>> out;
    for (double threshold : {0.0, 0.7, 0.9}) {
        for (std::uint64_t limit : {1, 2}) {
            const auto r = c.resolve(names, {threshold, limit, 0.02});
            out.insert(out.end(), r.begin(), r.end());
        }
    }
    return out;
}

// Loads from a 64-byte aligned copy, as a mapped file would be.
template <typename Prepared>
zemo::Result<Prepared> load(const std::string& bytes) {
    const std::shared_ptr<const char> buffer = zemo::aligned_copy(bytes);
    return Prepared::from_bytes(std::string_view(buffer.get(), bytes.size()), buffer);
}

template <typename Prepared>
std::string message_of(const std::string& bytes) {
    const zemo::Result<Prepared> r = load<Prepared>(bytes);
    return r ? "" : r.error().message();
}

// Rewrites the checksum after a deliberate change, so that only the content checks can catch it.
void reseal(std::string& bytes) {
    const std::uint64_t sum = zemo::checksum64(reinterpret_cast<const unsigned char*>(bytes.data()) + 64, bytes.size() - 64);
    std::memcpy(bytes.data() + 32, &sum, 8);
}

std::vector<std::uint64_t> section_table(const std::string& bytes, std::size_t sections) {
    std::vector<std::uint64_t> table(2 * sections);
    std::memcpy(table.data(), bytes.data() + 64, table.size() * 8);
    return table;
}

// Bytes a load makes beside the views of the file.
std::size_t made_at_load(const LibraryIndex&) { return 0; }
std::size_t made_at_load(const PreparedCatalogue& c) {
    return (c.places(c.by_length()).capacity() + c.places(c.by_initial()).capacity()) * sizeof(PreparedCatalogue::Place);
}

template <typename Prepared>
void check_round_trip(const Prepared& built) {
    const std::string bytes = built.to_bytes();
    const auto loaded = load<Prepared>(bytes);
    CHECK(loaded.ok());
    CHECK(use(loaded.value()) == use(built));
    CHECK(loaded.value().owned_bytes() == made_at_load(loaded.value()));
    CHECK(loaded.value().data_bytes() == built.data_bytes());
    CHECK(loaded.value().to_bytes() == bytes);
    // Bytes that do not start on a 64-byte boundary are copied first.
    const std::string shifted = " " + bytes;
    const auto copied = Prepared::from_bytes(std::string_view(shifted).substr(1), nullptr);
    CHECK(copied.ok() && use(copied.value()) == use(built));
}

template <typename Prepared>
void check_refuses_damage(const std::string& bytes, const std::string& kind) {
    CHECK(message_of<Prepared>("").find("too short") != std::string::npos);
    CHECK_EQ(message_of<Prepared>(std::string(100, 'x')), "not a " + kind + " file");
    CHECK(message_of<Prepared>(bytes.substr(0, bytes.size() - 1)).find("truncated") != std::string::npos);
    std::string version = bytes;
    version[8] = 7;
    CHECK(message_of<Prepared>(version).find("format version 7") != std::string::npos);
    // Every byte after the header is covered by the checksum.
    for (std::size_t at = 64; at < bytes.size(); at += 89) {
        std::string flipped = bytes;
        flipped[at] ^= 0x04;
        CHECK_EQ(message_of<Prepared>(flipped), kind + " file is damaged: checksum mismatch");
    }
    // A section size that does not divide into elements.
    std::vector<std::uint64_t> table = section_table(bytes, 2);
    std::string odd = bytes;
    table[3] -= 1;
    std::memcpy(odd.data() + 64, table.data(), table.size() * 8);
    reseal(odd);
    CHECK(!load<Prepared>(odd).ok());
}

// Words at the start, middle and end of every section, overwritten one at a
// time with values that point far away, nowhere in particular, or back, and
// the checksum made right again: refused as damaged, or safe to use (ASan
// checks). Returns the share refused.
template <typename Prepared>
double craft_every_section(const std::string& bytes, std::size_t sections) {
    const std::vector<std::uint64_t> table = section_table(bytes, sections);
    int refused = 0, tried = 0;
    for (std::size_t k = 0; k < sections; ++k) {
        const std::uint64_t size = table[2 * k + 1];
        if (size < 4) continue;
        for (std::uint64_t at : {std::uint64_t{0}, size / 2 / 4 * 4, size - 4}) {
            for (std::uint32_t value : {0xFFFFFFF0u, 0x7FFFFFFFu, 0x00000200u, 0u}) {
                std::string crafted = bytes;
                std::memcpy(crafted.data() + table[2 * k] + at, &value, 4);
                if (crafted == bytes) continue;
                reseal(crafted);
                const auto r = load<Prepared>(crafted);
                ++tried;
                if (!r) {
                    ++refused;
                    CHECK(r.error().message().find("damaged") != std::string::npos);
                } else {
                    use(r.value());
                }
            }
        }
    }
    CHECK(tried > 100);
    return static_cast<double>(refused) / tried;
}

}  // namespace

TEST(fuzzy_saved_files_round_trip) {
    const PreparedCatalogue catalogue = sample_catalogue();
    CHECK(catalogue.by_length().nodes.size() > catalogue.by_length().runs.size());  // inner nodes exist
    CHECK(!catalogue.oversized().empty());
    check_round_trip(catalogue);
    check_round_trip(sample_index());
}

TEST(fuzzy_saved_files_refuse_damage) {
    check_refuses_damage<LibraryIndex>(sample_index().to_bytes(), "library index");
    check_refuses_damage<PreparedCatalogue>(sample_catalogue().to_bytes(), "catalogue");
    // Each kind is a foreign file to the other.
    CHECK_EQ(message_of<PreparedCatalogue>(sample_index().to_bytes()), std::string("not a catalogue file"));
    CHECK_EQ(message_of<LibraryIndex>(sample_catalogue().to_bytes()), std::string("not a library index file"));
}

TEST(fuzzy_saved_files_check_content_behind_a_valid_checksum) {
    // In an index, every word is either checked or derived from what is.
    CHECK(craft_every_section<LibraryIndex>(sample_index().to_bytes(), 22) > 0.95);
    const std::string bytes = sample_catalogue().to_bytes();
    CHECK(craft_every_section<PreparedCatalogue>(bytes, 19) > 0.33);

    // A tree that points back at itself would recurse without end.
    const std::uint64_t nodes_at = section_table(bytes, 19)[2 * 12];  // by-length nodes
    std::string loop = bytes;
    const std::uint32_t self = 0;
    std::memcpy(loop.data() + nodes_at + offsetof(PreparedCatalogue::Node, after), &self, 4);
    reseal(loop);
    CHECK(message_of<PreparedCatalogue>(loop).find("tree is malformed") != std::string::npos);
}

namespace {

// Sections of the index (library_file.cpp) a lie below is told in.
enum : std::size_t { kEntries = 1, kLengths = 2, kCounts = 3, kTokenChars = 8, kTokenSlots = 9, kSummaries = 14,
                     kLengthStart = 20, kPairSlots = 21 };

using Words = std::vector<std::uint32_t>;

Words words_of(const std::string& bytes, std::size_t k) {
    const std::vector<std::uint64_t> table = section_table(bytes, 23);
    Words w(table[2 * k + 1] / 4);
    std::memcpy(w.data(), bytes.data() + table[2 * k], w.size() * 4);
    return w;
}

std::string with_words(std::string bytes, std::size_t k, const Words& w) {
    std::memcpy(bytes.data() + section_table(bytes, 23)[2 * k], w.data(), w.size() * 4);
    reseal(bytes);
    return bytes;
}

}  // namespace

TEST(fuzzy_saved_files_check_what_sizes_work) {
    // Each lie alone, in a file otherwise as built: lengths that size the
    // scans' buffers and loops, what their bounds read, and hash tables
    // whose probes would run through the whole table.
    const std::string bytes = sample_index().to_bytes();
    constexpr std::uint32_t kHuge = 0xFFFFFFF0;
    const Words lengths = words_of(bytes, kLengths);
    const std::size_t last = lengths.size() - 3;  // the longest entry's sorted_chars
    const std::vector<std::pair<std::string, std::string>> lies = [&] {
        std::vector<std::pair<std::string, std::string>> out;
        const auto add = [&](const char* what, std::size_t k, std::size_t at, std::uint32_t value, bool set) {
            Words w = words_of(bytes, k);
            w[at] = set ? value : w[at] + value;
            out.emplace_back(what, with_words(bytes, k, w));
        };
        add("sorted_chars huge", kLengths, last, kHuge, true);
        add("sorted_chars one more", kLengths, 0, 1, false);
        add("token_chars", kLengths, 1, 1, false);
        add("sorted_ascii", kEntries, 8, 1, false);
        add("counts", kCounts, 0, 1, false);
        add("a token's chars", kTokenChars, 0, 1, false);
        add("artist chars", kSummaries, 15, 1, false);
        add("artist head", kSummaries, 8, 1, false);
        add("length table", kLengthStart, 1, 1, false);
        // Every filled slot holding id 0; an empty slot given an id held elsewhere.
        for (const std::size_t k : {kTokenSlots, kPairSlots}) {
            Words w = words_of(bytes, k);
            for (std::uint32_t& v : w)
                if (v != LibraryIndex::kNoEntry) v = 0;
            out.emplace_back("one id", with_words(bytes, k, w));
            w = words_of(bytes, k);
            const std::size_t filled = std::find_if(w.begin(), w.end(), [](std::uint32_t v) { return v != LibraryIndex::kNoEntry; }) - w.begin();
            const std::size_t empty = std::find(w.begin(), w.end(), LibraryIndex::kNoEntry) - w.begin();
            w[empty] = w[filled];
            out.emplace_back("an id twice", with_words(bytes, k, w));
            w[filled] = LibraryIndex::kNoEntry;  // moved: its own slot now ends the probes from its hash
            out.emplace_back("an id moved", with_words(bytes, k, w));
        }
        return out;
    }();
    for (const auto& [what, crafted] : lies) {
        CHECK(crafted != bytes);
        const std::string message = message_of<LibraryIndex>(crafted);
        CHECK_EQ(what + ": " + (message.find("damaged") != std::string::npos ? "damaged" : message), what + ": damaged");
    }
}
