#include "text/case.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>

#include "common/string_writer.hpp"
#include "common/utf8.hpp"

namespace zemo::text {

namespace detail {

// Full lower-case mapping of one character without context. The full mapping
// differs from the simple one, without context and outside language-specific
// rules, only for U+0130 (SpecialCasing.txt); the C++ test compares this with
// ICU's full mapping over every code point.
inline void put_lower(StringWriter& w, char32_t c) {
    if (c < 0x80) {
        w.put(ascii::lower(static_cast<char>(c)));
    } else if (c == 0x130) {
        w.put("i\xCC\x87");
    } else {
        w.put_utf8(static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))));
    }
}

}  // namespace detail

std::string lower_each_char(std::string_view s) {
    std::string out;
    {
        StringWriter w(out, s.size() + 2);
        for (std::size_t i = 0; i < s.size();) detail::put_lower(w, utf8::decode(s, i));
    }
    return out;
}

std::string lower_full(std::string_view s) {
    if (ascii::is_ascii(s)) {
        return ascii::lowered(s);
    }
    std::string out;
    out.reserve(s.size() + 4);
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())), sink, nullptr,
                              status);
    if (U_SUCCESS(status)) return out;
    // ICU fails only on allocation failure or invalid input; fall back to the
    // context-free mapping rather than lose the text.
    return lower_each_char(s);
}

}  // namespace zemo::text
