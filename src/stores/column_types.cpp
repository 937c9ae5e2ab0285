#include "stores/column_types.hpp"

#include "parser/tuple_list.hpp"

namespace zemo::stores {

std::string_view column_type_name(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Integer: return "integer";
        case ColumnType::Numeric: return "numeric";
        case ColumnType::Float: return "float";
        case ColumnType::Mixed: return "mixed";
        case ColumnType::Text: break;
    }
    return "text";
}

void ColumnProfile::read(std::string_view line, std::size_t& pos) {
    using parser::detail::ValueKind;
    scratch_.clear();
    const parser::detail::Scalar v = parser::detail::read_value(line, pos, scratch_, true);
    if (column_ == seen_.size()) seen_.emplace_back();
    Seen& seen = seen_[column_++];
    constexpr parser::Integer kExact = parser::Integer{1} << 53;
    switch (v.kind) {
        case ValueKind::Integer:
            seen.integer = true;
            seen.inexact |= v.integer > kExact || v.integer < -kExact;
            break;
        case ValueKind::BigInteger:
            seen.integer = seen.inexact = seen.wide = true;
            break;
        case ValueKind::Float:
        case ValueKind::Decimal: seen.floating = true; break;
        case ValueKind::Text:
        case ValueKind::Bytes: seen.text = true; break;
        case ValueKind::Null: break;
    }
}

std::vector<ColumnType> ColumnProfile::types() const {
    std::vector<ColumnType> out;
    out.reserve(seen_.size());
    for (const Seen& s : seen_) {
        const bool number = s.integer || s.floating;
        if (s.text) {
            out.push_back(number ? ColumnType::Mixed : ColumnType::Text);
        } else if (s.floating) {
            out.push_back(s.inexact ? ColumnType::Numeric : ColumnType::Float);
        } else if (s.integer) {
            out.push_back(s.wide ? ColumnType::Numeric : ColumnType::Integer);
        } else {
            out.push_back(ColumnType::Text);
        }
    }
    return out;
}

}  // namespace zemo::stores
