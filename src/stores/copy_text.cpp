#include "stores/copy_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "parser/tuple_list.hpp"
#include "pg/text.hpp"

namespace zemo::stores {

namespace {

void append_escaped(std::string& out, std::string_view s) {
    std::size_t run = 0;  // start of the bytes not yet copied
    for (std::size_t i = 0; i < s.size(); ++i) {
        char escaped;
        switch (s[i]) {
            case '\\': escaped = '\\'; break;
            case '\t': escaped = 't'; break;
            case '\n': escaped = 'n'; break;
            case '\r': escaped = 'r'; break;
            default: continue;
        }
        out.append(s.data() + run, i - run);
        out += '\\';
        out += escaped;
        run = i + 1;
    }
    out.append(s.data() + run, s.size() - run);
}

}  // namespace

void append_float_repr(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    // The shortest round-trip digits and their exponent, laid out by repr's
    // rule: positional for exponents from -4 to 15, else scientific.
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e)) {
        if (c != '.') digits += c;
    }
    const int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
    if (exponent < -4 || exponent >= 16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
        return;
    }
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
}

void CopyTextWriter::read(std::string_view line, std::size_t& pos) {
    using parser::detail::ValueKind;
    value_.clear();
    const parser::detail::Scalar v = column_ < columns_.size()
                                         ? parser::detail::read_column_value(line, pos, value_, columns_[column_])
                                         : parser::detail::read_value(line, pos, value_, true);
    ++column_;
    if (!first_) out_ += '\t';
    first_ = false;
    switch (v.kind) {
        case ValueKind::Null: out_ += "\\N"; break;
        case ValueKind::Integer: {
            char buf[24];
            const auto r = std::to_chars(buf, buf + sizeof buf, v.integer);
            out_.append(buf, r.ptr);
            break;
        }
        case ValueKind::BigInteger:
        case ValueKind::Decimal: out_ += value_; break;
        case ValueKind::Bytes: {
            static constexpr char kHex[] = "0123456789abcdef";
            out_ += "\\\\x";  // bytea's hex form, its backslash escaped for COPY
            for (const char b : value_) {
                out_ += kHex[static_cast<unsigned char>(b) >> 4];
                out_ += kHex[static_cast<unsigned char>(b) & 0xF];
            }
            break;
        }
        case ValueKind::Float: append_float_repr(out_, v.floating); break;
        case ValueKind::Text: append_escaped(out_, pg::to_pg_text_form(value_, scratch_)); break;
    }
}

void CopyTextWriter::finish_row(bool keep) {
    if (keep) {
        out_ += '\n';
    } else {
        out_.resize(row_start_);
    }
}

}  // namespace zemo::stores
