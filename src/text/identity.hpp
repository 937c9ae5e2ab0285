#pragma once
// Identity forms: the keys on which records from different caches are joined.

#include <string>
#include <string_view>

namespace zemo::text {

std::string identity_baseline(std::string_view s);
std::string to_identity_match_form(std::string_view s);
std::string to_identity_match_form_title(std::string_view s);
std::string to_identity_match_form_with_punctuation(std::string_view s);
std::string to_identity_match_form_with_disambiguator_strip(std::string_view s);
// Views into the argument; never allocate.
std::string_view strip_leading_article(std::string_view s);
std::string_view strip_trailing_parens(std::string_view s);
std::string drop_articles(std::string_view s);

}  // namespace zemo::text
