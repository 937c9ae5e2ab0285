#pragma once
// Writes text with its U+0020 runs collapsed to one space and trimmed at
// both ends, as the match forms end, in the same pass that makes the text.

#include <cstddef>
#include <string>

#include "common/string_writer.hpp"

namespace zemo::text::detail {

class CollapsedWriter {
public:
    CollapsedWriter(std::string& out, std::size_t expected) : w_(out, expected) {}

    void put(char ch) {
        if (ch == ' ') {
            if (!after_space_) w_.put(' ');
            after_space_ = true;
        } else {
            w_.put(ch);
            after_space_ = false;
        }
    }
    // Drops the trailing space, if any: call once, after the last put.
    void finish() {
        if (w_.written() != 0 && w_.back() == ' ') w_.pop_back();
    }
    // Forgets what was written: `out` is left as it was.
    void discard() noexcept { w_.discard(); }

private:
    StringWriter w_;
    bool after_space_ = true;  // so that leading spaces are dropped
};

}  // namespace zemo::text::detail
