#include "stores/copy_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "parser/tuple_list.hpp"

namespace zemo::stores {

namespace {

// The PostgreSQL text form of `s` (U+0000 removed: the byte 0x00, never part
// of another character in UTF-8) with backslash, tab, LF and CR escaped,
// written at `w`, which has room for twice the bytes of `s`; returns the end.
char* write_escaped_text(char* w, std::string_view s) {
    std::size_t run = 0;  // start of the bytes not yet copied
    auto copy_run = [&](std::size_t end) {
        if (end != run) std::memcpy(w, s.data() + run, end - run);
        w += end - run;
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        char escaped;
        switch (s[i]) {
            case '\0': escaped = 0; break;
            case '\\': escaped = '\\'; break;
            case '\t': escaped = 't'; break;
            case '\n': escaped = 'n'; break;
            case '\r': escaped = 'r'; break;
            default: continue;
        }
        copy_run(i);
        run = i + 1;
        if (escaped == 0) continue;
        *w++ = '\\';
        *w++ = escaped;
    }
    copy_run(s.size());
    return w;
}

}  // namespace

char* write_float_repr(char* w, double v) {
    auto put = [&w](std::string_view s) {
        std::memcpy(w, s.data(), s.size());
        w += s.size();
    };
    if (std::isnan(v)) {
        put("nan");
        return w;
    }
    if (std::isinf(v)) {
        put(v < 0 ? "-inf" : "inf");
        return w;
    }
    // The shortest round-trip digits and their exponent, laid out by repr's
    // rule: positional for exponents from -4 to 15, else scientific.
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        *w++ = '-';
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    char digit_buf[24];
    std::size_t n = 0;
    for (char c : sci.substr(0, e)) {
        if (c != '.') digit_buf[n++] = c;
    }
    const std::string_view digits(digit_buf, n);
    int exponent = 0;  // to_chars writes a sign and at least two digits
    for (char c : sci.substr(e + 2)) exponent = exponent * 10 + (c - '0');
    if (sci[e + 1] == '-') exponent = -exponent;
    if (exponent < -4 || exponent >= 16) {
        *w++ = digits[0];
        if (n > 1) {
            *w++ = '.';
            put(digits.substr(1));
        }
        put(exponent < 0 ? "e-" : "e+");
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) *w++ = '0';
        return std::to_chars(w, w + 8, magnitude).ptr;
    }
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        put("0.");
        w = std::fill_n(w, -point, '0');
        put(digits);
    } else if (static_cast<std::size_t>(point) >= n) {
        put(digits);
        w = std::fill_n(w, static_cast<std::size_t>(point) - n, '0');
        put(".0");
    } else {
        put(digits.substr(0, static_cast<std::size_t>(point)));
        *w++ = '.';
        put(digits.substr(static_cast<std::size_t>(point)));
    }
    return w;
}

void CopyTextWriter::read(std::string_view line, std::size_t& pos) {
    using parser::detail::ValueKind;
    value_.clear();
    const parser::detail::Scalar v = column_ < columns_.size()
                                         ? parser::detail::read_column_value(line, pos, value_, columns_[column_])
                                         : parser::detail::read_value(line, pos, value_, true);
    ++column_;
    // The longest a value becomes: text doubled by escapes, bytes in hex after
    // a prefix, a number's digits (value_ holds nothing for the short ones).
    char* w = room(1 + 3 + 2 * value_.size() + kFloatReprMax);
    if (!first_) *w++ = '\t';
    first_ = false;
    switch (v.kind) {
        case ValueKind::Null:
            *w++ = '\\';
            *w++ = 'N';
            break;
        case ValueKind::Integer: w = std::to_chars(w, w + 24, v.integer).ptr; break;
        case ValueKind::BigInteger:
        case ValueKind::Decimal:
            if (!value_.empty()) std::memcpy(w, value_.data(), value_.size());
            w += value_.size();
            break;
        case ValueKind::Bytes: {
            static constexpr char kHex[] = "0123456789abcdef";
            std::memcpy(w, "\\\\x", 3);  // bytea's hex form, its backslash escaped for COPY
            w += 3;
            for (const char b : value_.view()) {
                *w++ = kHex[static_cast<unsigned char>(b) >> 4];
                *w++ = kHex[static_cast<unsigned char>(b) & 0xF];
            }
            break;
        }
        case ValueKind::Float: w = write_float_repr(w, v.floating); break;
        case ValueKind::Text: w = write_escaped_text(w, value_); break;
    }
    commit(w);
}

void CopyTextWriter::finish_row(bool keep) {
    if (keep) {
        *room(1) = '\n';
        ++used_;
    } else {
        used_ = row_start_;
    }
}

void CopyTextWriter::grow(std::size_t n) {
    // Doubling: the room's zero fill is paid once per byte of the largest chunk.
    out_.resize(std::max(2 * out_.size(), used_ + n + 4096));
}

}  // namespace zemo::stores
