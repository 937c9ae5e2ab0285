#include "text/normalize.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#ifdef ZEMO_ICU_DATA_BUILT_IN
#include <unicode/udata.h>
#endif

#include <stdexcept>

namespace zemo::text {

namespace detail {

const icu::Normalizer2& normalizer(NormalForm form) {
    UErrorCode status = U_ZERO_ERROR;
#ifdef ZEMO_ICU_DATA_BUILT_IN
    // The data is linked in: ICU must not look for data files (it would try
    // the working directory too).
    static const bool no_files = [] {
        UErrorCode s = U_ZERO_ERROR;
        udata_setFileAccess(UDATA_NO_FILES, &s);
        return true;
    }();
    (void)no_files;
#endif
    const icu::Normalizer2* n = nullptr;
    switch (form) {
        case NormalForm::NFC: n = icu::Normalizer2::getNFCInstance(status); break;
        case NormalForm::NFD: n = icu::Normalizer2::getNFDInstance(status); break;
        case NormalForm::NFKC: n = icu::Normalizer2::getNFKCInstance(status); break;
    }
    // The instances are built into ICU's data; failing to load them is a
    // broken installation, not bad input.
    if (U_FAILURE(status) || n == nullptr) throw std::runtime_error("ICU normalisation data unavailable");
    return *n;
}

icu::StringPiece piece(std::string_view s) { return {s.data(), static_cast<int32_t>(s.size())}; }

}  // namespace detail

bool is_normalized(std::string_view s, NormalForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const bool yes = detail::normalizer(form).isNormalizedUTF8(detail::piece(s), status);
    return U_SUCCESS(status) && yes;
}

std::string normalize(std::string_view s, NormalForm form) {
    const icu::Normalizer2& n = detail::normalizer(form);
    UErrorCode status = U_ZERO_ERROR;
    if (n.isNormalizedUTF8(detail::piece(s), status) && U_SUCCESS(status)) return std::string(s);
    std::string out;
    out.reserve(s.size() + s.size() / 4 + 4);
    icu::StringByteSink<std::string> sink(&out);
    status = U_ZERO_ERROR;
    n.normalizeUTF8(0, detail::piece(s), sink, nullptr, status);
    // Only invalid UTF-8 or allocation failure make ICU refuse; keep the text.
    if (U_FAILURE(status)) return std::string(s);
    return out;
}

void normalize_in_place(std::string& s, NormalForm form) {
    if (is_normalized(s, form)) return;
    s = normalize(s, form);
}

}  // namespace zemo::text
