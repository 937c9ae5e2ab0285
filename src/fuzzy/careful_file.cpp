// The careful index as bytes: its rows, steps and thresholds. The blocking
// tables are built again on loading (a second of work for a million rows),
// so a file holds nothing that could disagree with its rows.

#include <cstring>

#include "common/sections.hpp"
#include "common/utf8.hpp"
#include "fuzzy/careful.hpp"

namespace zemo::fuzzy {

namespace {

constexpr FileKind kFile{"ZEMOCIX", 1, 4, "careful library index"};

struct Settings {
    ClassifyThresholds thresholds;
    std::uint32_t steps = kAllCarefulSteps;
    std::uint32_t unused = 0;
};

Error damaged(std::string_view what) { return zemo::damaged(kFile, what); }

}  // namespace

std::string CarefulIndex::to_bytes() const {
    // Every string once, in row order: artist, title, aliases; `row_starts`
    // gives each row's first string.
    std::string text;
    std::vector<std::uint64_t> ends;
    std::vector<std::uint32_t> row_starts;
    const auto add = [&](const std::string& s) {
        text += s;
        ends.push_back(text.size());
    };
    for (std::size_t i = 0; i < size(); ++i) {
        const CarefulRow& r = row(i);
        row_starts.push_back(static_cast<std::uint32_t>(ends.size()));
        add(r.artist);
        add(r.title);
        for (const std::string& a : r.aliases) add(a);
    }
    row_starts.push_back(static_cast<std::uint32_t>(ends.size()));
    const Settings settings{thresholds(), steps()};
    SectionWriter w;
    w.add(text.data(), text.size());
    w.add(ends.data(), ends.size() * sizeof ends[0]);
    w.add(row_starts.data(), row_starts.size() * sizeof row_starts[0]);
    w.add(&settings, sizeof settings);
    return w.finish(kFile.magic, kFile.version);
}

Result<CarefulIndex> CarefulIndex::from_bytes(std::string_view bytes, std::shared_ptr<const void> keep) {
    bytes = aligned_bytes(bytes, keep);
    Result<SectionReader> opened = SectionReader::open(bytes, kFile.magic, kFile.version, kFile.sections, kFile.name);
    if (!opened) return std::move(opened).error();
    const SectionReader& r = opened.value();
    auto text = r.array<char>(0);
    auto ends = r.array<std::uint64_t>(1);
    auto starts = r.array<std::uint32_t>(2);
    auto settings = r.array<Settings>(3);
    if (!text || !ends || !starts || !settings) return damaged("a section has a size that fits no whole element");
    if (settings.value().size() != 1) return damaged("it holds no settings");
    const Settings s = settings.value()[0];
    if (auto why = invalid_thresholds(s.thresholds)) return damaged("its thresholds are invalid: " + *why);
    if ((s.steps & ~kAllCarefulSteps) != 0) return damaged("it names rules this version does not know");
    const FlatArray<std::uint64_t>& e = ends.value();
    const FlatArray<std::uint32_t>& rs = starts.value();
    const std::string_view all(text.value().data(), text.value().size());
    if (rs.size() == 0 || rs[0] != 0 || rs[rs.size() - 1] != e.size()) return damaged("the rows disagree with the strings");
    for (std::size_t k = 0; k < e.size(); ++k)
        if (e[k] > all.size() || (k > 0 && e[k] < e[k - 1])) return damaged("a string lies outside the text");
    if (!e.empty() && e[e.size() - 1] != all.size()) return damaged("the strings disagree with the text");
    const auto string_at = [&](std::size_t k) {
        const std::uint64_t begin = k == 0 ? 0 : e[k - 1];
        return std::string(all.substr(begin, e[k] - begin));
    };
    std::vector<CarefulRow> rows;
    rows.reserve(rs.size() - 1);
    for (std::size_t i = 0; i + 1 < rs.size(); ++i) {
        if (rs[i + 1] < rs[i] + 2 || rs[i + 1] > e.size()) return damaged("a row has no artist and title");
        CarefulRow row{string_at(rs[i]), string_at(rs[i] + 1), {}};
        for (std::size_t k = rs[i] + 2; k < rs[i + 1]; ++k) row.aliases.push_back(string_at(k));
        rows.push_back(std::move(row));
    }
    for (const CarefulRow& row : rows) {
        bool valid = utf8::is_valid(row.artist) && utf8::is_valid(row.title);
        for (const std::string& a : row.aliases) valid = valid && utf8::is_valid(a);
        if (!valid) return damaged("a name is not UTF-8");
    }
    CarefulIndex index = build(std::move(rows), s.steps);
    index.set_thresholds(s.thresholds);
    return index;
}

}  // namespace zemo::fuzzy
