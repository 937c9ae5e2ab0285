#pragma once
// Unicode 8.0.0 general-category sets, looked up by bisection in generated
// range tables (src/text/generated/). The text forms are defined against
// these exact sets, not the current Unicode version's.

namespace zemo::text::unicode8 {

bool is_mark(char32_t c);          // Mn, Mc, Me
bool is_format(char32_t c);        // Cf
bool is_other_symbol(char32_t c);  // So
// Letters (Lu, Ll, Lt, Lm, Lo) and numbers (Nd, Nl, No), with the large
// ideograph and syllable blocks counted as letters.
bool is_word_char(char32_t c);

}  // namespace zemo::text::unicode8
