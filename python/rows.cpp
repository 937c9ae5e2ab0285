#include "rows.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace zemo::py {

namespace {

std::size_t hash(std::string_view s) {
    std::uint64_t h = 0xcbf29ce484222325ULL ^ s.size();
    for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

using Block = parser::RowTable::Block;

PyObject* cell_value(const Block& block, const parser::RowTable::Cell& cell, StrCache& strings) {
    using Kind = parser::RowTable::Kind;
    switch (cell.kind()) {
        case Kind::Integer: return integer(cell.integer());
        case Kind::Float: return floating(cell.floating());
        case Kind::Text: return strings.get(block.bytes(cell));
        case Kind::BigInteger: return integer_from_decimal(block.bytes(cell));
        case Kind::Bytes: return bytes(block.bytes(cell));
        case Kind::Decimal: return decimal(block.bytes(cell));
        case Kind::Null: break;
    }
    return none();
}

}  // namespace

StrCache::~StrCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.obj);
}

PyObject* StrCache::get(std::string_view s) {
    if (s.size() > kMaxLength) return str(s);
    Slot& slot = slots_[hash(s) & (kSlots - 1)];
    // An empty value may have no bytes at all (a null data pointer), which
    // memcmp and memcpy must not be given.
    if (slot.obj != nullptr && slot.length == s.size() && (s.empty() || std::memcmp(slot.key, s.data(), s.size()) == 0)) {
        Py_INCREF(slot.obj);
        return slot.obj;
    }
    PyObject* obj = str(s);
    Py_XDECREF(slot.obj);
    Py_INCREF(obj);
    slot.obj = obj;
    slot.length = static_cast<unsigned char>(s.size());
    if (!s.empty()) std::memcpy(slot.key, s.data(), s.size());
    return obj;
}

namespace {

// One tuple per row, or one list with `Lists`.
template <bool Lists>
PyObject* rows_to(parser::RowTable&& table, StrCache& strings) {
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(table.size()))));
    std::vector<Block> blocks = std::move(table).take_blocks();
    Py_ssize_t i = 0;
    InterruptPoller poller;
    for (Block& block : blocks) {
        for (std::size_t r = 0; r < block.size(); ++r) {
            const auto row = block.row(r);
            poller.tick(64 * row.size());
            const auto width = static_cast<Py_ssize_t>(row.size());
            Ref values(check(Lists ? PyList_New(width) : PyTuple_New(width)));
            Py_ssize_t k = 0;
            for (const auto& cell : row) {
                PyObject* value = cell_value(block, cell, strings);
                if constexpr (Lists) {
                    PyList_SetItem(values.get(), k++, value);  // steals
                } else {
                    PyTuple_SetItem(values.get(), k++, value);  // steals
                }
            }
            PyList_SetItem(out.get(), i++, values.release());
        }
        block = Block();
    }
    return out.release();
}

}  // namespace

PyObject* rows_to_tuples(parser::RowTable&& table, StrCache& strings) { return rows_to<false>(std::move(table), strings); }

PyObject* rows_to_lists(parser::RowTable&& table, StrCache& strings) { return rows_to<true>(std::move(table), strings); }

}  // namespace zemo::py
