// Structure-aware libFuzzer target for saved library indexes and catalogues.
// Random bytes behind a valid checksum rarely tell a lie that every simple
// check believes; this target tells consistent ones instead. It builds a
// valid file from pairs (or entries) chosen by the input, then changes the
// count of a dimension (entries, artists, tokens, rows, nodes, ...): every
// section sized by it is cut or extended, and every id or offset that refers
// to it is kept, scaled or spread over the new count. It reseals the
// checksum and loads the result. It also lies in what is derived from the
// text (lengths, counts, flags) and in the hash tables. What is accepted must
// be safe to classify with (or resolve against), classify and explain alike,
// stay within the run's time and memory limits (make fuzz sets them), and
// save to bytes that load again to the same answers. ASan and UBSan watch
// every read.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/sections.hpp"
#include "fuzz_input.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/explain.hpp"
#include "fuzzy/resolve.hpp"
#include "text/forms.hpp"

namespace {

using namespace zemo;

// What a word of a section holds.
enum class Ref : std::uint8_t {
    Id,      // a position in the dimension (kNone allowed: an empty slot)
    Offset,  // a boundary in it, from 0 to its count (row starts, text offsets)
};

struct Field {
    std::size_t at;     // byte offset in the element
    std::size_t width;  // 4 or 8
    int dim;            // the dimension it refers to
    Ref ref;
};

// A section: its element size, the dimension that counts its elements (plus
// `extra`, or a fixed count when dim < 0) and the words in it that refer to
// dimensions.
struct Section {
    std::size_t element;
    int dim;
    std::size_t extra;
    std::vector<Field> fields;
};

struct Schema {
    int dims;
    std::vector<Section> sections;
};

constexpr std::uint32_t kNone = 0xFFFFFFFF;

// The library index (library_file.cpp), section by section. Dimensions:
enum { kText, kEntries, kTokens, kEntryTokens, kVocabulary, kTokenSlots, kCombined, kArtistPostings, kArtists,
       kLengths, kPairSlots, kOptions, kLibraryDims };

const Schema& library_schema() {
    static const Schema s{kLibraryDims,
                          {
                              {1, kText, 0, {}},
                              // key_at, sorted_at, tokens_at
                              {40, kEntries, 0, {{0, 8, kText, Ref::Offset}, {8, 8, kText, Ref::Offset},
                                                 {28, 4, kEntryTokens, Ref::Offset}}},
                              {12, kEntries, 0, {}},
                              {32, kEntries, 0, {}},
                              {8, kEntries, 0, {}},
                              {4, kEntryTokens, 0, {{0, 4, kTokens, Ref::Id}}},
                              {1, kVocabulary, 0, {}},
                              {8, kTokens, 1, {{0, 8, kVocabulary, Ref::Offset}}},
                              {4, kTokens, 0, {}},
                              {4, kTokenSlots, 0, {{0, 4, kTokens, Ref::Id}}},
                              {4, kTokens, 1, {{0, 4, kCombined, Ref::Offset}}},
                              {4, kCombined, 0, {{0, 4, kEntries, Ref::Id}}},
                              {4, kTokens, 1, {{0, 4, kArtistPostings, Ref::Offset}}},
                              {4, kArtistPostings, 0, {{0, 4, kArtists, Ref::Id}}},
                              {64, kArtists, 0, {{48, 8, kText, Ref::Offset}}},  // summaries: `at`
                              {4, kEntries, 0, {{0, 4, kArtists, Ref::Id}}},
                              {4, kArtists, 1, {{0, 4, kEntries, Ref::Offset}}},
                              {4, kEntries, 0, {{0, 4, kEntries, Ref::Id}}},
                              {4, kEntries, 0, {{0, 4, kEntries, Ref::Id}}},
                              {4, kEntries, 0, {{0, 4, kEntries, Ref::Id}}},
                              {4, kLengths, 2, {{0, 4, kEntries, Ref::Offset}}},
                              {4, kPairSlots, 0, {{0, 4, kEntries, Ref::Id}}},
                              {40, -1, 1, {}},  // the thresholds: five doubles
                              {4, kOptions, 0, {}},  // none, or one word of option bits
                          }};
    return s;
}

// The catalogue (catalogue_file.cpp). Dimensions:
enum { kCText, kCEntries, kLatin1, kWide, kHigh, kRows1, kNodes1, kRuns1, kRows2, kNodes2, kRuns2, kOversized,
       kCatalogueDims };

std::vector<Section> catalogue_layout(int rows, int nodes, int runs) {
    return {
        {16, rows, 0, {}},
        {4, rows, 0, {{0, 4, kCEntries, Ref::Id}}},
        // begin, end, after
        {48, nodes, 0, {{32, 4, rows, Ref::Offset}, {36, 4, rows, Ref::Offset}, {40, 4, nodes, Ref::Offset}}},
        {16, runs, 0, {{12, 4, nodes, Ref::Id}}},  // root
    };
}

const Schema& catalogue_schema() {
    static const Schema s = [] {
        Schema c{kCatalogueDims,
                 {
                     {1, kCText, 0, {}},
                     {8, kCEntries, 1, {{0, 8, kCText, Ref::Offset}}},
                     {1, kCEntries, 0, {}},
                     {8, kCEntries, 0, {{0, 8, kCText, Ref::Offset}}},  // ASCII entries: offsets in the text
                     {4, kCEntries, 0, {}},
                     {1, kLatin1, 0, {}},
                     {4, kWide, 0, {}},
                     {1, -1, 256, {}},
                     {4, kHigh, 0, {}},
                     {1, kHigh, 0, {}},
                 }};
        for (const auto& l : {catalogue_layout(kRows1, kNodes1, kRuns1), catalogue_layout(kRows2, kNodes2, kRuns2)})
            c.sections.insert(c.sections.end(), l.begin(), l.end());
        c.sections.push_back({4, kOversized, 0, {{0, 4, kCEntries, Ref::Id}}});
        return c;
    }();
    return s;
}

// A saved file taken apart: its sections and the count of each dimension.
struct File {
    std::string magic;
    std::uint32_t version = 0;
    std::vector<std::string> sections;
    std::vector<std::uint64_t> dims;
};

File take_apart(const std::string& bytes, const Schema& schema) {
    File f;
    f.magic = bytes.substr(0, 8);
    std::memcpy(&f.version, bytes.data() + 8, 4);
    for (std::size_t k = 0; k < schema.sections.size(); ++k) {
        std::uint64_t entry[2];
        std::memcpy(entry, bytes.data() + 64 + 16 * k, 16);
        f.sections.push_back(bytes.substr(entry[0], entry[1]));
    }
    // Each dimension from the first section it counts; every other section
    // must agree, or the schema no longer describes the format.
    f.dims.assign(schema.dims, kNone);
    for (std::size_t k = 0; k < schema.sections.size(); ++k) {
        const Section& s = schema.sections[k];
        const std::size_t count = f.sections[k].size() / s.element;
        fuzz::require(f.sections[k].size() % s.element == 0);
        if (s.dim < 0) {
            fuzz::require(count == s.extra);
        } else if (f.dims[s.dim] == kNone) {
            fuzz::require(count >= s.extra);
            f.dims[s.dim] = count - s.extra;
        } else {
            fuzz::require(count == f.dims[s.dim] + s.extra);
        }
    }
    return f;
}

std::string put_together(const File& f) {
    SectionWriter w;
    for (const std::string& s : f.sections) w.add(s.data(), s.size());
    std::string bytes = w.finish(std::string_view(f.magic).substr(0, f.magic.find('\0')), f.version);
    return bytes;
}

std::uint64_t get(const std::string& s, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    std::memcpy(&v, s.data() + at, width);
    return v;
}

void put(std::string& s, std::size_t at, std::size_t width, std::uint64_t v) { std::memcpy(s.data() + at, &v, width); }

// Elements in a lie stay few, so that every run is quick.
constexpr std::uint64_t kMaxCount = 1 << 14;

// Changes the count of dimension `d` to `count`: sections sized by it are cut
// or extended (by copies of their last element, zeros, or repeats of the
// whole), and the words that refer to it kept, scaled or spread.
void lie_about(File& f, const Schema& schema, int d, std::uint64_t count, FuzzedDataProvider& in) {
    const std::uint64_t old = f.dims[d];
    const int grow = in.ConsumeIntegralInRange(0, 2);
    const int refs = in.ConsumeIntegralInRange(0, 2);  // keep, scale, spread
    for (std::size_t k = 0; k < schema.sections.size(); ++k) {
        const Section& s = schema.sections[k];
        if (s.dim != d) continue;
        std::string& bytes = f.sections[k];
        const std::size_t have = bytes.size() / s.element, want = count + s.extra;
        if (want <= have) {
            bytes.resize(want * s.element);
            continue;
        }
        bytes.reserve(want * s.element);
        for (std::size_t e = have; e < want; ++e) {
            if (have == 0 || grow == 1) {
                bytes.append(s.element, '\0');
            } else {
                const std::size_t from = grow == 0 ? have - 1 : e % have;
                bytes.append(bytes, from * s.element, s.element);
            }
        }
    }
    f.dims[d] = count;
    for (std::size_t k = 0; k < schema.sections.size(); ++k) {
        const Section& s = schema.sections[k];
        std::string& bytes = f.sections[k];
        const std::size_t n = bytes.size() / s.element;
        for (const Field& field : s.fields) {
            if (field.dim != d || refs == 0) continue;
            for (std::size_t e = 0; e < n; ++e) {
                const std::size_t at = e * s.element + field.at;
                const std::uint64_t v = get(bytes, at, field.width);
                if (field.width == 4 && v == kNone) continue;
                std::uint64_t out;
                if (refs == 2) {
                    // Spread evenly over the new count, ascending (artists 0..K-1 in a list).
                    out = n <= 1 ? (field.ref == Ref::Offset ? count : 0) : static_cast<unsigned __int128>(e) * count / (n - 1);
                    if (field.ref == Ref::Id && out == count && count > 0) out = count - 1;
                } else if (old == 0) {
                    out = field.ref == Ref::Offset && e + 1 == n ? count : 0;
                } else {
                    out = static_cast<std::uint64_t>(static_cast<unsigned __int128>(v) * count / old);
                }
                put(bytes, at, field.width, out);
            }
        }
    }
}

// One word that refers to a dimension set to its count, one past it, one
// below it, zero or the empty mark.
void poke(File& f, const Schema& schema, FuzzedDataProvider& in) {
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, schema.sections.size() - 1);
    const Section& s = schema.sections[k];
    std::string& bytes = f.sections[k];
    if (s.fields.empty() || bytes.empty()) return;
    const Field& field = s.fields[in.ConsumeIntegralInRange<std::size_t>(0, s.fields.size() - 1)];
    const std::size_t e = in.ConsumeIntegralInRange<std::size_t>(0, bytes.size() / s.element - 1);
    const std::uint64_t count = f.dims[field.dim];
    const std::uint64_t values[] = {count, count + 1, count == 0 ? 0 : count - 1, 0, kNone};
    put(bytes, e * s.element + field.at, field.width, values[in.ConsumeIntegralInRange(0, 4)]);
}

// Words derived from the text or the tables of an index, which size the
// scans' buffers and loops or bound their scores: section, element size,
// byte offset in the element.
struct Derived {
    std::size_t section, element, at;
};
constexpr Derived kLibraryDerived[] = {
    {1, 40, 32},                                            // sorted_ascii
    {2, 12, 0},  {2, 12, 4},                                // sorted_chars, token_chars
    {3, 32, 0},  {3, 32, 12}, {3, 32, 24},                  // counts
    {4, 8, 0},                                              // signatures
    {8, 4, 0},                                              // token chars
    {14, 64, 60}, {14, 64, 32}, {14, 64, 44}, {14, 64, 0},  // artist chars, head, counts
};
constexpr std::size_t kTables[] = {9, 21};  // token and pair slots

// A derived word nudged or set far off, or a hash table whose filled slots
// all hold one id, hold an id twice, or hold one where its probes never reach.
void tamper(File& f, FuzzedDataProvider& in) {
    if (in.ConsumeBool()) {
        const Derived& d = kLibraryDerived[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kLibraryDerived) - 1)];
        std::string& bytes = f.sections[d.section];
        if (bytes.empty()) return;
        const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, bytes.size() / d.element - 1) * d.element + d.at;
        const std::uint64_t v = get(bytes, at, 4);
        const std::uint64_t values[] = {v + 1, v - 1, 0, 0xFFFFFFF0, 0x7FFFFFFF, v ^ 0x01010101};
        put(bytes, at, 4, values[in.ConsumeIntegralInRange(0, 5)]);
        return;
    }
    std::string& slots = f.sections[kTables[in.ConsumeIntegralInRange(0, 1)]];
    std::vector<std::size_t> filled;
    for (std::size_t at = 0; at < slots.size(); at += 4)
        if (get(slots, at, 4) != kNone) filled.push_back(at);
    if (filled.empty()) return;
    const std::size_t one = filled[in.ConsumeIntegralInRange<std::size_t>(0, filled.size() - 1)];
    const std::uint64_t id = get(slots, one, 4);
    switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0:
            for (std::size_t at : filled) put(slots, at, 4, id);
            break;
        case 1:
            put(slots, in.ConsumeIntegralInRange<std::size_t>(0, slots.size() / 4 - 1) * 4, 4, id);
            break;
        default:
            put(slots, one, 4, kNone);
            put(slots, in.ConsumeIntegralInRange<std::size_t>(0, slots.size() / 4 - 1) * 4, 4, id);
            break;
    }
}

File lie(const std::string& valid, const Schema& schema, FuzzedDataProvider& in) {
    File f = take_apart(valid, schema);
    // Taken apart and put together untouched, a file must come back whole:
    // else the schema no longer describes every section of the format.
    fuzz::require(put_together(f) == valid);
    const int lies = in.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < lies && in.remaining_bytes() > 0; ++i) {
        const int d = in.ConsumeIntegralInRange(0, schema.dims - 1);
        const std::uint64_t old = f.dims[d];
        std::uint64_t count;
        switch (in.ConsumeIntegralInRange(0, 5)) {
            case 0: count = old + 1; break;
            case 1: count = old == 0 ? 0 : old - 1; break;
            case 2: count = 0; break;
            case 3: count = old * in.ConsumeIntegralInRange<std::uint64_t>(2, 64); break;
            case 4: count = in.ConsumeIntegralInRange<std::uint64_t>(0, kMaxCount); break;
            default: count = old; break;  // the ids alone
        }
        lie_about(f, schema, d, std::min(count, kMaxCount), in);
    }
    const int pokes = in.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < pokes; ++i) poke(f, schema, in);
    if (&schema == &library_schema() && in.ConsumeBool()) tamper(f, in);
    return f;
}

// Mapped files and pickled bytes are both 64-byte aligned; the copy ends
// one byte past the file, so that ASan sees a read beyond it.
template <typename Prepared>
Result<Prepared> load(const std::string& bytes) {
    std::shared_ptr<char[]> copy(new (std::align_val_t{64}) char[bytes.size() + 1],
                                 [](char* p) { ::operator delete[](p, std::align_val_t{64}); });
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return Prepared::from_bytes(std::string_view(copy.get(), bytes.size()), copy);
}

std::vector<std::string> strings(FuzzedDataProvider& in, std::size_t most) {
    std::vector<std::string> out;
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, most);
    for (std::size_t i = 0; i < n; ++i) out.push_back(in.ConsumeRandomLengthString(20));
    return out;
}

// Exact, near and unrelated releases, in match form, and every accessor.
std::vector<fuzzy::Classification> use(const fuzzy::LibraryIndex& ix, const std::vector<std::string>& words) {
    std::vector<std::pair<std::string, std::string>> releases = {{"", ""}, {"the beatles", "abbey road x"}};
    for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
        releases.emplace_back(text::to_match_form(words[i]), text::to_match_form(words[i + 1]));
        releases.emplace_back(text::to_match_form(words[i]), text::to_match_form(words[i + 1] + " x"));
    }
    const std::vector<std::string_view> artists = ix.artists();
    for (std::size_t p = 0; p < artists.size() && p < 8; ++p) {
        const std::vector<std::string_view> titles = ix.titles_of(p);
        for (std::size_t t = 0; t < titles.size() && t < 4; ++t) {
            releases.emplace_back(artists[p], std::string(titles[t]) + " x");
            releases.emplace_back(std::string(artists[p]) + "s", titles[t]);
        }
    }
    std::vector<fuzzy::Classification> out;
    for (const auto& [artist, title] : releases) {
        for (const fuzzy::ClassifyThresholds& th : {fuzzy::ClassifyThresholds{}, fuzzy::ClassifyThresholds{0, 0, 0, 0, 0.9}}) {
            out.push_back(fuzzy::classify_release(artist, title, ix, th));
            // Both scans read the same file: what it holds decides alike.
            fuzz::require(fuzzy::explain_release(artist, title, ix, th, {}).decision == out.back());
        }
        (void)ix.combined_postings(artist);
        (void)ix.artist_postings(artist);
    }
    for (std::size_t i = 0; i < ix.size(); ++i) (void)ix.combined(i);
    return out;
}

std::vector<std::optional<std::size_t>> use(const fuzzy::PreparedCatalogue& c, const std::vector<std::string>& words) {
    std::vector<std::string> names = {"", "radiohed", "anabelcor", "中文"};
    for (const std::string& w : words) {
        names.push_back(w);
        names.push_back(w + "x");
        names.push_back(w.substr(0, w.size() / 2));
    }
    std::vector<std::optional<std::size_t>> out;
    for (const std::string& name : names) {
        for (double threshold : {0.0, 0.85}) {
            for (std::uint64_t limit : {1, 2}) out.push_back(c.resolve_position(name, {threshold, limit, 0.02}));
        }
    }
    for (std::size_t i = 0; i < c.size(); ++i) (void)c.entry(i);
    return out;
}

template <typename Prepared>
void check(const std::string& valid, const Schema& schema, FuzzedDataProvider& in, const std::vector<std::string>& words) {
    const std::string crafted = put_together(lie(valid, schema, in));
    const auto loaded = load<Prepared>(crafted);
    if (!loaded) {
        fuzz::require(loaded.error().message().find("damaged") != std::string::npos);
        return;
    }
    const auto answers = use(loaded.value(), words);
    // What was accepted once is accepted again, and answers alike.
    const auto reloaded = load<Prepared>(loaded.value().to_bytes());
    fuzz::require(reloaded.ok() && use(reloaded.value(), words) == answers);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        const std::vector<std::string> words = strings(in, 12);
        std::vector<std::pair<std::string_view, std::string_view>> pairs = {
            {"The Beatles", "Abbey Road"}, {"The Beatles", "Let It Be"}, {"Björk", "Homogenic"}};
        for (std::size_t i = 0; i + 1 < words.size(); i += 2) pairs.emplace_back(words[i], words[i + 1]);
        const std::string valid = fuzzy::LibraryIndex::from_pairs(pairs).to_bytes();
        check<fuzzy::LibraryIndex>(valid, library_schema(), in, words);
    } else {
        // Runs longer than a leaf, so that the trees have inner nodes.
        std::vector<std::string> entries = strings(in, 12);
        const std::vector<std::string> words = entries;
        const char* parts[] = {"ana", "bel", "cor", "dun"};
        for (int i = 0; i < 40; ++i) entries.push_back(std::string(parts[i % 4]) + parts[(i / 4) % 4] + parts[(i * 3) % 4]);
        entries.push_back("Björk");
        entries.push_back("中文名");
        entries.push_back("aaaaaaaaaaaaaaaaaaaa");
        const std::string valid = fuzzy::PreparedCatalogue(std::vector<std::string_view>(entries.begin(), entries.end())).to_bytes();
        check<fuzzy::PreparedCatalogue>(valid, catalogue_schema(), in, words);
    }
    return 0;
}
