#include "parser/mysql.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "common/ascii.hpp"
#include "common/interrupt.hpp"
#include "common/utf8.hpp"
#include "parser/tuple_list.hpp"

namespace zemo::parser {

namespace detail {
namespace {

// Function objects, not functions: each scanner that takes one as an
// argument is compiled for it, so no compiler is left calling through a
// pointer for every byte.
constexpr auto is_digit = [](char c) { return ascii::is_digit(c); };
constexpr auto is_hex_digit = [](char c) { return ascii::is_hex_digit(c); };
constexpr auto is_sign = [](char c) { return c == '+' || c == '-'; };
constexpr auto is_bit = [](char c) { return c == '0' || c == '1'; };
constexpr auto is_word = [](char c) { return ascii::is_alnum(c) || c == '_'; };
int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    return ascii::lower(c) - 'a' + 10;
}

Scalar integer_scalar(Integer v) { return {ValueKind::Integer, v}; }
Scalar float_scalar(Float v) { return {ValueKind::Float, 0, v}; }

// Bytes appended to `out` from `start` on become valid UTF-8.
void repair_utf8_tail(ByteBuffer& out, std::size_t start) {
    const std::string_view tail = out.view().substr(start);
    if (utf8::is_valid(tail)) return;
    const std::string fixed = utf8::to_valid(std::string(tail));
    out.truncate(start);
    out.append(fixed);
}

// Long values poll for interruption once per this many bytes (a power of two).
constexpr std::size_t kLongValuePollBytes = std::size_t{1} << 20;

// ---------------------------------------------------------------------------
// Quoted strings

// The first byte at or after `from` that is a quote or a backslash, or the end,
// eight bytes at a time; `high` gains the top bits of the bytes passed over.
std::size_t next_special(std::string_view s, std::size_t from, std::uint64_t& high) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const std::size_t n = s.size();
    std::size_t i = from;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        const std::uint64_t quote = word ^ (kOnes * '\'');
        const std::uint64_t slash = word ^ (kOnes * '\\');
        // Non-zero exactly when quote or slash has a zero byte, that is when
        // the word holds a special byte; the byte loop below then finds it.
        const std::uint64_t hit = ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash);
        if (hit & kHighs) break;
        high |= word;
    }
    for (; i < n && s[i] != '\'' && s[i] != '\\'; ++i) high |= static_cast<unsigned char>(s[i]);
    return i;
}

// Appends the UTF-8 text of a quoted string at `pos` to `out`, repaired when
// its bytes are not valid UTF-8. Escapes follow MySQL; an unknown escape keeps
// its backslash, and so do \% and \_ (they are escapes only in LIKE patterns).
// Bytes go to `out` in runs of the input: an escape that stands for its own
// second byte ('', \', \", \\) ends one run and starts the next at that byte,
// and one that keeps both bytes stays in the run, so only translated escapes
// (\n and the like) append a byte of their own.
void parse_quoted(std::string_view s, std::size_t& pos, ByteBuffer& out, bool repair = true) {
    const std::size_t n = s.size();
    const std::size_t start = out.size();
    std::uint64_t high = 0;  // escapes add ASCII bytes only, except kept ones
    ++pos;
    std::size_t from = pos;  // the first byte not yet appended
    auto flush = [&](std::size_t to) { out.append(s.data() + from, to - from); };
    // A value of hundreds of MB stays interruptible: scans end at `poll_at`.
    std::size_t poll_at = pos + kLongValuePollBytes;
    std::size_t end = n;  // one past the last byte of the value
    while (pos < n) {
        if (pos >= poll_at) {
            interruption_point();
            poll_at = pos + kLongValuePollBytes;
        }
        pos = next_special(s.substr(0, std::min(n, poll_at)), pos, high);
        if (pos >= n) break;
        if (pos == poll_at) continue;
        if (s[pos] == '\'') {
            if (pos + 1 < n && s[pos + 1] == '\'') {  // '' inside a string is one quote
                flush(pos);
                from = pos + 1;
                pos += 2;
                continue;
            }
            end = pos++;
            break;
        }
        if (pos + 1 >= n) {  // a backslash as the last byte stays
            ++pos;
            break;
        }
        const char e = s[pos + 1];
        char translated;
        switch (e) {
            case 'n': translated = '\n'; break;
            case 'r': translated = '\r'; break;
            case 't': translated = '\t'; break;
            case '0': translated = '\0'; break;
            case 'b': translated = '\b'; break;
            case 'Z': translated = '\x1A'; break;
            case '\'':
            case '"':
            case '\\':  // the escaped byte starts the next run
                flush(pos);
                from = pos + 1;
                pos += 2;
                continue;
            default:  // both bytes stay in the run
                high |= static_cast<unsigned char>(e);
                pos += 2;
                continue;
        }
        flush(pos);
        out.push_back(translated);
        pos += 2;
        from = pos;
    }
    flush(end);
    if (repair && (high & 0x8080808080808080ULL) != 0) repair_utf8_tail(out, start);
}

// ---------------------------------------------------------------------------
// Numbers

// An optional sign and digits. Beyond 64 bits the digits go to `out` in
// canonical form: no '+', no leading zeros; beyond kMaxExactDigits only when
// `whole` (else 0).
Scalar integer_value(std::string_view token, ByteBuffer& out, bool whole) {
    bool negative = false;
    std::string_view digits = token;
    if (!digits.empty() && is_sign(digits[0])) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return integer_scalar(0);
    std::uint64_t magnitude = 0;  // exact up to 18 digits (below 10^18); wraps beyond, unused there
    for (char c : digits) {
        if (!is_digit(c)) return integer_scalar(0);
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (digits.size() <= 18) {
        const auto v = static_cast<Integer>(magnitude);
        return integer_scalar(negative ? -v : v);
    }
    // from_chars takes '-' but not '+'.
    std::string_view parsed = token[0] == '+' ? digits : token;
    Integer value = 0;
    auto r = std::from_chars(parsed.data(), parsed.data() + parsed.size(), value);
    if (r.ec == std::errc{}) return integer_scalar(value);
    const std::size_t first = digits.find_first_not_of('0');  // out of range, so not all zeros
    digits.remove_prefix(first);
    if (digits.size() > kMaxExactDigits && !whole) return integer_scalar(0);
    if (negative) out.push_back('-');
    out.append(digits);
    return {ValueKind::BigInteger};
}

// Saturating decimal parse of an exponent's digits.
long long exponent_value(std::string_view digits) {
    long long v = 0;
    for (char c : digits) {
        v = v * 10 + (c - '0');
        if (v > 1'000'000'000) return v;
    }
    return v;
}

// A decimal literal: optional sign, digits with at most one '.', at least one
// digit, optional exponent. Anything else is 0.0.
Float float_value(std::string_view token) {
    bool negative = false;
    std::string_view body = token;
    if (!body.empty() && is_sign(body[0])) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    std::size_t i = 0;
    std::size_t int_digits = 0;
    std::size_t frac_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++int_digits;
    const std::string_view int_part = body.substr(0, int_digits);
    std::string_view frac_part;
    if (i < body.size() && body[i] == '.') {
        ++i;
        const std::size_t start = i;
        while (i < body.size() && is_digit(body[i])) ++i, ++frac_digits;
        frac_part = body.substr(start, frac_digits);
    }
    if (int_digits + frac_digits == 0) return 0.0;
    long long exponent = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < body.size() && is_sign(body[i])) exp_negative = body[i++] == '-';
        const std::size_t start = i;
        while (i < body.size() && is_digit(body[i])) ++i;
        if (i == start) return 0.0;
        exponent = exponent_value(body.substr(start, i - start));
        if (exp_negative) exponent = -exponent;
    }
    if (i != body.size()) return 0.0;

    // Up to 15 digits and a power of ten up to 22 are exact doubles, so one
    // multiplication or division rounds the value correctly; this is the
    // common case, and it saves the library's general parse.
    const long long scale = exponent - static_cast<long long>(frac_digits);
    if (int_digits + frac_digits <= 15 && scale >= -22 && scale <= 22) {
        static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        std::uint64_t mantissa = 0;
        for (char c : int_part) mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        for (char c : frac_part) mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        const auto m = static_cast<double>(mantissa);
        const double value = scale < 0 ? m / kPowers[-scale] : m * kPowers[scale];
        return negative ? -value : value;
    }

    double value = 0.0;
    auto r = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Overflow or underflow: decide by the decimal exponent of the leading
        // non-zero digit (out of range means it is far from zero either way).
        long long lead;
        const std::size_t nz = int_part.find_first_not_of('0');
        if (nz != std::string_view::npos) {
            lead = static_cast<long long>(int_part.size() - nz) - 1;
        } else {
            lead = -static_cast<long long>(frac_part.find_first_not_of('0')) - 1;
        }
        value = lead + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (r.ec != std::errc{} || r.ptr != body.data() + body.size()) {
        return 0.0;
    }
    return negative ? -value : value;
}

// `pos` is at a digit or sign: the run of digits, '.', '+' and '-', then an
// exponent when one follows directly.
Scalar parse_number(std::string_view s, std::size_t& pos, ByteBuffer& out, bool whole) {
    const std::size_t n = s.size();
    const std::size_t start = pos;
    bool has_dot = false;
    while (pos < n && (is_digit(s[pos]) || is_sign(s[pos]) || s[pos] == '.')) {
        has_dot |= s[pos] == '.';
        ++pos;
    }
    bool has_exponent = false;
    if (pos < n && (s[pos] == 'e' || s[pos] == 'E')) {
        std::size_t p = pos + 1;
        if (p < n && is_sign(s[p])) ++p;
        if (p < n && is_digit(s[p])) {
            while (p < n && is_digit(s[p])) ++p;
            pos = p;
            has_exponent = true;
        }
    }
    const std::string_view token = s.substr(start, pos - start);
    if (has_dot || has_exponent) return float_scalar(float_value(token));
    return integer_value(token, out, whole);
}

// ---------------------------------------------------------------------------
// Hexadecimal and bit literals

Scalar bytes_from_hex(std::string_view digits, ByteBuffer& out, bool repair = true) {
    const std::size_t start = out.size();
    char* w = out.extend((digits.size() + 1) / 2);
    std::size_t i = 0;
    if (digits.size() % 2 == 1) *w++ = static_cast<char>(hex_value(digits[i++]));
    // A megabyte at a time (an even count, so pairs stay aligned), polling
    // between blocks.
    for (std::size_t k = i; k < digits.size();) {
        const std::size_t end = std::min(digits.size(), k + kLongValuePollBytes);
        for (; k < end; k += 2) *w++ = static_cast<char>(hex_value(digits[k]) << 4 | hex_value(digits[k + 1]));
        if (k < digits.size()) interruption_point();
    }
    if (!repair) return {ValueKind::Bytes};
    repair_utf8_tail(out, start);
    return {ValueKind::Text};
}

// The bits as big-endian bytes, at least `width` of them.
Scalar bytes_from_bits(std::string_view bits, std::size_t width, ByteBuffer& out) {
    const std::size_t count = std::max(width, (bits.size() + 7) / 8);
    std::string bytes(count, '\0');
    for (std::size_t k = 0; k < bits.size(); ++k) {
        if (bits[bits.size() - 1 - k] == '1') bytes[count - 1 - k / 8] |= static_cast<char>(1 << (k % 8));
    }
    out.append(bytes);
    return {ValueKind::Bytes};
}

// A plain decimal literal: optional sign, digits with at most one '.', at
// least one digit, an optional exponent.
bool is_decimal_literal(std::string_view token) {
    std::size_t i = !token.empty() && is_sign(token[0]) ? 1 : 0;
    std::size_t digits = 0;
    while (i < token.size() && is_digit(token[i])) ++i, ++digits;
    if (i < token.size() && token[i] == '.') {
        ++i;
        while (i < token.size() && is_digit(token[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < token.size() && is_sign(token[i])) ++i;
        const std::size_t start = i;
        while (i < token.size() && is_digit(token[i])) ++i;
        if (i == start) return false;
    }
    return i == token.size();
}

Scalar integer_from_bits(std::string_view bits, ByteBuffer& out) {
    const std::size_t nz = bits.find_first_not_of('0');
    if (nz == std::string_view::npos) return integer_scalar(0);
    bits.remove_prefix(nz);
    if (bits.size() > kMaxExactBits) return integer_scalar(0);
    if (bits.size() <= 63) {
        Integer v = 0;
        for (char b : bits) v = v << 1 | (b - '0');
        return integer_scalar(v);
    }
    // Little-endian base 10^9 limbs, doubled once per bit.
    constexpr std::uint32_t kBase = 1'000'000'000;
    std::vector<std::uint32_t> limbs{0};
    for (char b : bits) {
        std::uint32_t carry = static_cast<std::uint32_t>(b - '0');
        for (auto& limb : limbs) {
            const std::uint64_t v = static_cast<std::uint64_t>(limb) * 2 + carry;
            limb = static_cast<std::uint32_t>(v % kBase);
            carry = static_cast<std::uint32_t>(v / kBase);
        }
        if (carry != 0) limbs.push_back(carry);
    }
    out.append(std::to_string(limbs.back()));
    for (std::size_t k = limbs.size() - 1; k-- > 0;) {
        const std::string part = std::to_string(limbs[k]);
        out.append(9 - part.size(), '0');
        out.append(part);
    }
    return {ValueKind::BigInteger};
}

// The run of digits accepted by `accept` from `from`; its end.
template <typename Accept>
std::size_t digit_run(std::string_view s, std::size_t from, Accept accept) {
    while (from < s.size() && accept(s[from])) ++from;
    return from;
}

// x'..' or b'..' at `pos`: the digits between the quotes, when they close and
// are all valid; `pos` then moves past the closing quote.
template <typename Accept>
std::optional<std::string_view> quoted_digits(std::string_view s, std::size_t& pos, Accept accept) {
    const std::size_t begin = pos + 2;
    const std::size_t end = digit_run(s, begin, accept);
    if (end >= s.size() || s[end] != '\'') return std::nullopt;
    pos = end + 1;
    return s.substr(begin, end - begin);
}

// A hexadecimal or bit literal at `pos` (0x.., 0b.., x'..' or b'..'):
// whether it is hexadecimal, and its digits; `pos` then moves past it.
struct RadixLiteral {
    bool hex;
    std::string_view digits;
};

std::optional<RadixLiteral> radix_literal(std::string_view s, std::size_t& pos) {
    if (pos + 2 >= s.size()) return std::nullopt;
    const char c = s[pos];
    const char kind = ascii::lower(s[pos + 1]);
    if (c == '0' && (kind == 'x' || kind == 'b')) {
        const bool hex = kind == 'x';
        if (!(hex ? is_hex_digit(s[pos + 2]) : is_bit(s[pos + 2]))) return std::nullopt;
        const std::size_t end = hex ? digit_run(s, pos + 2, is_hex_digit) : digit_run(s, pos + 2, is_bit);
        const std::string_view digits = s.substr(pos + 2, end - pos - 2);
        pos = end;
        return RadixLiteral{hex, digits};
    }
    if (s[pos + 1] != '\'') return std::nullopt;
    if (ascii::lower(c) == 'x') {
        if (auto digits = quoted_digits(s, pos, is_hex_digit)) return RadixLiteral{true, *digits};
    } else if (ascii::lower(c) == 'b') {
        if (auto bits = quoted_digits(s, pos, is_bit)) return RadixLiteral{false, *bits};
    }
    return std::nullopt;
}

bool is_null_keyword(std::string_view s, std::size_t pos) {
    if (s.size() - pos < 4) return false;
    return ascii::lower(s[pos]) == 'n' && ascii::lower(s[pos + 1]) == 'u' && ascii::lower(s[pos + 2]) == 'l' &&
           ascii::lower(s[pos + 3]) == 'l';
}

// `_charset` and optional spaces before a quote: the index of that quote.
std::optional<std::size_t> introduced_quote(std::string_view s, std::size_t pos) {
    std::size_t p = digit_run(s, pos + 1, is_word);
    if (p == pos + 1) return std::nullopt;
    while (p < s.size() && s[p] == ' ') ++p;
    if (p < s.size() && s[p] == '\'') return p;
    return std::nullopt;
}

}  // namespace

Scalar read_value(std::string_view line, std::size_t& pos, ByteBuffer& out, bool whole_integers) {
    const std::size_t n = line.size();
    if (pos >= n) return {};
    const char c = line[pos];
    if (c == '\'') {
        parse_quoted(line, pos, out);
        return {ValueKind::Text};
    }
    if (is_null_keyword(line, pos)) {
        pos += 4;
        return {};
    }
    if (auto literal = radix_literal(line, pos)) {
        return literal->hex ? bytes_from_hex(literal->digits, out) : integer_from_bits(literal->digits, out);
    }
    if (is_digit(c) || is_sign(c)) return parse_number(line, pos, out, whole_integers);
    if (pos + 1 < n && line[pos + 1] == '\'' && (c == 'n' || c == 'N')) {
        ++pos;  // a national string: the prefix belongs to the literal
        parse_quoted(line, pos, out);
        return {ValueKind::Text};
    }
    if (c == '_') {
        if (auto quote = introduced_quote(line, pos)) {
            pos = *quote;
            parse_quoted(line, pos, out);
            return {ValueKind::Text};
        }
    }
    ++pos;
    return {};
}

Scalar read_column_value(std::string_view line, std::size_t& pos, ByteBuffer& out, ColumnRead column) {
    using Mode = ColumnRead::Mode;
    const std::size_t n = line.size();
    if (column.mode == Mode::Value || pos >= n) return read_value(line, pos, out, true);
    const char c = line[pos];
    if (column.mode == Mode::Decimal) {
        const char next = pos + 1 < n ? ascii::lower(line[pos + 1]) : '\0';
        const bool radix = c == '0' && (next == 'x' || next == 'b');  // 0x.., 0b..: not a decimal's digits
        if ((!is_digit(c) && !is_sign(c)) || radix) return read_value(line, pos, out, true);
        const std::size_t start = pos;
        const std::size_t before = out.size();
        const Scalar number = parse_number(line, pos, out, true);
        const std::string_view token = line.substr(start, pos - start);
        if (!is_decimal_literal(token)) return number;
        out.truncate(before);
        out.append(token[0] == '+' ? token.substr(1) : token);
        return {ValueKind::Decimal};
    }
    if (c == '\'') {
        parse_quoted(line, pos, out, false);
        return {ValueKind::Bytes};
    }
    if (auto literal = radix_literal(line, pos)) {
        return literal->hex ? bytes_from_hex(literal->digits, out, false)
                            : bytes_from_bits(literal->digits, column.width, out);
    }
    if (c == '_') {
        if (auto quote = introduced_quote(line, pos)) {  // _binary '...'
            pos = *quote;
            parse_quoted(line, pos, out, false);
            return {ValueKind::Bytes};
        }
    }
    return read_value(line, pos, out, true);
}

namespace {

// The value read as `v` (its bytes in `bytes`), made by `make` from the
// alternative's type and its constructor's arguments: a row builds it in
// place rather than moving it in.
template <typename Make>
decltype(auto) make_value(Scalar v, std::string_view bytes, Make make) {
    switch (v.kind) {
        case ValueKind::Integer: return make(std::in_place_type<Integer>, v.integer);
        case ValueKind::Float: return make(std::in_place_type<Float>, v.floating);
        case ValueKind::Text: return make(std::in_place_type<Text>, bytes);
        case ValueKind::BigInteger: return make(std::in_place_type<BigInteger>, BigInteger{std::string(bytes)});
        case ValueKind::Bytes:  // not made by read_value
        case ValueKind::Decimal:
        case ValueKind::Null: break;
    }
    return make(std::in_place_type<Null>);
}

}  // namespace

void read_into(Row& row, std::string_view line, std::size_t& pos, ByteBuffer& scratch) {
    scratch.clear();
    const Scalar v = read_value(line, pos, scratch);
    make_value(v, scratch, [&row](auto type, auto&&... args) -> SqlValue& {
        return row.emplace_back(type, std::forward<decltype(args)>(args)...);
    });
    if (scratch.capacity() > (std::size_t{1} << 20)) scratch.release();  // kept for small values only
}

}  // namespace detail

SqlValue parse_single_value(std::string_view line, std::size_t& pos) {
    ByteBuffer bytes;
    const detail::Scalar v = detail::read_value(line, pos, bytes);
    return detail::make_value(v, bytes, [](auto type, auto&&... args) {
        return SqlValue(type, std::forward<decltype(args)>(args)...);
    });
}

std::vector<Row> parse_sql_values(std::string_view line) {
    std::vector<Row> rows;
    detail::RowVectorSink sink(rows);
    detail::append_tuples(line, sink);
    return rows;
}

std::optional<std::size_t> find_values_start(std::string_view line) {
    constexpr std::string_view kKeyword = "values";
    if (line.size() < kKeyword.size()) return std::nullopt;
    for (std::size_t p = 0; p + kKeyword.size() <= line.size(); ++p) {
        std::size_t k = 0;
        while (k < kKeyword.size() && ascii::lower(line[p + k]) == kKeyword[k]) ++k;
        if (k < kKeyword.size()) continue;
        const std::size_t paren = line.find('(', p + kKeyword.size());
        if (paren == std::string_view::npos) return std::nullopt;
        return paren;
    }
    return std::nullopt;
}

}  // namespace zemo::parser
