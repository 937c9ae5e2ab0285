// The UTF-8 layer at its edges: the table of well-formed sequences, and the
// two decoding policies on malformed bytes (Python checks the replacing one
// against its own decoder).
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "common/utf8.hpp"

using namespace zemo;

TEST(utf8_validation) {
    for (std::string_view ok : {"", "a", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                                "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5"}) {
        CHECK(utf8::is_valid(ok));
        CHECK(utf8::is_valid("0123456789" + std::string(ok) + "0123456789"));
    }
    for (std::string_view bad : {"\x80", "\xC0\x80", "\xC1\xBF", "\xC2", "\xC2\x41", "\xE0\x80\x80", "\xE0\x9F\xBF",
                                 "\xED\xA0\x80", "\xE2\x82", "\xF0\x80\x80\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
                                 "\xFF", "\xC0\xAF"}) {
        CHECK(!utf8::is_valid(bad));
        CHECK(!utf8::is_valid("0123456789" + std::string(bad) + "0123456789"));
    }
}

TEST(utf8_malformed_bytes_by_policy) {
    struct Case {
        std::string_view bytes;
        std::u32string as_bytes;   // decode(): a byte that begins no complete sequence stands for itself
        std::u32string replaced;   // decode_replacing(): one U+FFFD per maximal ill-formed subsequence
    };
    const std::vector<Case> cases = {
        {"\x80", U"\x80", U"\xFFFD"},
        {"\xC3", U"\xC3", U"\xFFFD"},
        {"\xE2\x82", U"\xE2\x82", U"\xFFFD"},
        {"\xE1\x80\x41", U"\xE1\x80\x41", U"\xFFFD\x41"},
        {"\xE0\x80\x80", std::u32string(1, U'\0'), U"\xFFFD\xFFFD\xFFFD"},
        {"\xED\xA0\x80z", U"\xD800z", U"\xFFFD\xFFFD\xFFFDz"},
        {"\xF0\x9F\x8E", U"\xF0\x9F\x8E", U"\xFFFD"},
        {"\xC3\xA9\xFF", U"\xE9\xFF", U"\xE9\xFFFD"},
    };
    for (const Case& c : cases) {
        std::u32string lenient, replaced;
        std::string repaired;
        for (std::size_t i = 0; i < c.bytes.size();) lenient += utf8::decode(c.bytes, i);
        for (std::size_t i = 0; i < c.bytes.size();) utf8::append(repaired, utf8::decode_replacing(c.bytes, i));
        for (std::size_t i = 0; i < repaired.size();) replaced += utf8::decode(repaired, i);
        CHECK(lenient == c.as_bytes);
        CHECK(replaced == c.replaced);
        CHECK_EQ(utf8::to_valid(std::string(c.bytes)), repaired);
    }
}
