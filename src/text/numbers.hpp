#pragma once
// The numbers in a release title, which tell apart records that share the
// rest of their title ("Vol. 2", "Part II", "1999").

#include <string>
#include <string_view>
#include <vector>

namespace zemo::text {

// The numbers a title carries, in order, as decimal text: runs of digits
// (leading zeros dropped), roman numerals from ii to xxxix as whole words,
// and i, v or x as the word after vol, volume, pt, part, disc, disk or cd.
// Numbers in brackets, or after " - ", that name an edition of the same
// record ("(2009 Remaster)", "- Deluxe Edition 2011") are left out.
std::vector<std::string> title_numbers(std::string_view title);

}  // namespace zemo::text
