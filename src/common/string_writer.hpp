#pragma once
// Appends to a std::string through a pointer. libc++ compiles push_back,
// append and resize into its library, out of the inliner's reach, so a loop
// that grows a string a byte or a piece at a time makes a call for each;
// this writer makes room in steps, writes with plain stores, and sets the
// string's size once, when it goes out of scope.

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "common/utf8.hpp"

namespace zemo {

class StringWriter {
public:
    // Writes after what `out` holds; room for `expected` bytes is made at
    // once, more when needed.
    StringWriter(std::string& out, std::size_t expected) : out_(out), base_(out.size()) {
        out_.resize(base_ + expected);
        w_ = out_.data() + base_;
        end_ = out_.data() + out_.size();
    }
    StringWriter(const StringWriter&) = delete;
    StringWriter& operator=(const StringWriter&) = delete;
    ~StringWriter() { out_.resize(size()); }

    void put(char c) {
        if (w_ == end_) grow(1);
        *w_++ = c;
    }
    void put(std::string_view s) {
        if (static_cast<std::size_t>(end_ - w_) < s.size()) grow(s.size());
        if (!s.empty()) std::memcpy(w_, s.data(), s.size());
        w_ += s.size();
    }

    // The UTF-8 bytes of `c`.
    void put_utf8(char32_t c) {
        if (end_ - w_ < 4) grow(4);
        w_ = utf8::write(w_, c);
    }

    // Bytes written by this writer.
    std::size_t written() const noexcept { return static_cast<std::size_t>(w_ - (out_.data() + base_)); }
    char back() const noexcept { return w_[-1]; }
    void pop_back() noexcept { --w_; }
    // Forgets what this writer wrote: `out` is left as it was.
    void discard() noexcept { w_ = out_.data() + base_; }

private:
    std::size_t size() const noexcept { return static_cast<std::size_t>(w_ - out_.data()); }
    // Room for `n` more bytes at least, doubling what was written so far.
    [[gnu::noinline]] void grow(std::size_t n) {
        const std::size_t at = size();
        const std::size_t room = n > written() ? n : written();
        out_.resize(at + (room > 32 ? room : 32));
        w_ = out_.data() + at;
        end_ = out_.data() + out_.size();
    }

    std::string& out_;
    const std::size_t base_;
    char* w_;
    char* end_;
};

}  // namespace zemo
