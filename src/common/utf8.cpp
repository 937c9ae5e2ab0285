#include "common/utf8.hpp"

namespace zemo::utf8 {

std::string to_valid(std::string&& bytes) {
    if (is_valid(bytes)) return std::move(bytes);
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size();) {
        const Sequence seq = sequence_at(bytes, i);
        if (seq.valid) {
            out.append(bytes, i, seq.length);
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += seq.length;
    }
    return out;
}

}  // namespace zemo::utf8
