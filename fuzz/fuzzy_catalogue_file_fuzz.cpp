// Feeds damaged saved catalogues to from_bytes followed by a search; what
// is accepted must be safe to search (ASan and UBSan watch). An input that
// starts with the magic string is a file of its own; any other input is a
// list of edits to a built catalogue's file, three bytes each (a 16-bit
// position past the header and a byte to xor there), so that every run
// reaches the content checks. Either way the checksum is resealed over the
// result, since it would stop nearly every mutation before the checks.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/sections.hpp"
#include "fuzzy/resolve.hpp"

namespace {

const std::string& sample_file() {
    static const std::string bytes = [] {
        std::vector<std::string> entries = {"", "Björk", "中文名", "aaaaaaaaaaaaaaaaaaaa", "radiohead", "radiohead"};
        const char* parts[] = {"ana", "bel", "cor", "dun", "eli", "fam", "gor", "hal"};
        for (int i = 0; i < 80; ++i) entries.push_back(std::string(parts[i % 8]) + parts[(i / 8) % 8] + parts[(i * 3) % 8]);
        std::vector<std::string_view> views(entries.begin(), entries.end());
        return zemo::fuzzy::PreparedCatalogue(views).to_bytes();
    }();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo::fuzzy;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string file;
    if (input.substr(0, 7) == "ZEMOCAT") {
        file = input;
    } else {
        file = sample_file();
        for (std::size_t i = 0; i + 3 <= size; i += 3) {
            const std::size_t at = 64 + (data[i] | data[i + 1] << 8) % (file.size() - 64);
            file[at] = static_cast<char>(file[at] ^ data[i + 2]);
        }
    }
    if (file.size() >= 64) {
        const std::uint64_t sum = zemo::checksum64(reinterpret_cast<const unsigned char*>(file.data()) + 64, file.size() - 64);
        std::memcpy(file.data() + 32, &sum, 8);
    }
    const std::shared_ptr<const char> bytes = zemo::aligned_copy(file);
    auto catalogue = PreparedCatalogue::from_bytes(std::string_view(bytes.get(), file.size()), bytes);
    if (!catalogue) return 0;
    static const std::vector<std::string_view> names = {"radiohed", "bjork", "中文", "", "a", "anabelcor", "zzzzzzzzzzzz"};
    for (double threshold : {0.0, 0.85}) catalogue.value().resolve(names, {threshold, 2, 0.02});
    for (std::size_t i = 0; i < catalogue.value().size(); ++i) (void)catalogue.value().entry(i);
    return 0;
}
