#include "text/translit.hpp"

#include "common/string_writer.hpp"
#include "common/utf8.hpp"
#include "text/generated/translit_tables.hpp"

namespace zemo::text {

std::optional<std::string_view> transliterate_char(char32_t c) {
    using namespace detail;
    if (c >= kTranslitLimit) return std::nullopt;
    const std::uint16_t block = kTranslitStage1[c >> kTranslitBlockBits];
    const std::uint16_t id =
        kTranslitStage2[(std::size_t{block} << kTranslitBlockBits) | (c & ((1u << kTranslitBlockBits) - 1))];
    if (id == kTranslitNoEntry) return std::nullopt;
    const std::uint32_t packed = kTranslitStrings[id];
    return std::string_view(kTranslitBlob + (packed >> 8), packed & 0xFF);
}

void append_transliterated(std::string_view s, std::string_view placeholder, std::string& out) {
    StringWriter w(out, s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (ascii::is_ascii(b)) {
            w.put(static_cast<char>(b));
            ++i;
            continue;
        }
        const char32_t c = utf8::decode(s, i);
        if (auto spelled = transliterate_char(c)) {
            w.put(*spelled);
        } else {
            w.put(placeholder);
        }
    }
}

}  // namespace zemo::text
