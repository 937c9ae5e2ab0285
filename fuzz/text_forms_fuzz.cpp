// libFuzzer target for the text forms: on any well-formed UTF-8 the fast
// paths agree with the general paths, the storage form is NFC without U+0020
// at its ends, the match form is collapsed and the ASCII form is ASCII.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.hpp"
#include "text/forms.hpp"
#include "text/match_pieces.hpp"
#include "text/normalize.hpp"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

bool collapsed(std::string_view s) {
    return s.find("  ") == std::string_view::npos && (s.empty() || (s.front() != ' ' && s.back() != ' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo::text;
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    if (!zemo::utf8::is_valid(s)) return 0;

    require(zemo::utf8::is_valid(fix_mojibake(s)));
    const std::string storage = to_storage_form(s);
    require(storage == detail::storage_form_general(s));
    require(is_normalized(storage, NormalForm::NFC));
    require(storage.empty() || (storage.front() != ' ' && storage.back() != ' '));

    const std::string general = detail::match_form_general(s);
    require(to_match_form(s) == general);
    require(collapsed(general));
    std::string pieces;
    if (detail::append_match_form_by_pieces(s, pieces)) require(pieces == general);

    const std::string ascii = to_ascii_form(s);
    require(zemo::ascii::is_ascii(ascii) && collapsed(ascii));
    return 0;
}
