#include "rows.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <variant>

namespace zemo::py {

namespace {

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

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

PyObject* sql_value(const parser::SqlValue& v) {
    return std::visit(Overloaded{
                          [](parser::Null) { return none(); },
                          [](parser::Integer i) { return integer(i); },
                          [](parser::Float f) { return floating(f); },
                          [](const parser::Text& s) { return str(s); },
                          [](const parser::BigInteger& b) { return integer_from_decimal(b.digits); },
                      },
                      v);
}

StrCache::~StrCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.obj);
}

PyObject* StrCache::get(std::string_view s) {
    if (s.size() > kMaxLength) return str(s);
    Slot& slot = slots_[hash(s) & (kSlots - 1)];
    if (slot.obj != nullptr && slot.length == s.size() && std::memcmp(slot.key, s.data(), s.size()) == 0) {
        Py_INCREF(slot.obj);
        return slot.obj;
    }
    PyObject* obj = str(s);
    Py_XDECREF(slot.obj);
    Py_INCREF(obj);
    slot.obj = obj;
    slot.length = static_cast<unsigned char>(s.size());
    std::memcpy(slot.key, s.data(), s.size());
    return obj;
}

PyObject* rows_to_tuples(parser::RowTable&& table, StrCache& strings) {
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(table.size()))));
    std::vector<Block> blocks = std::move(table).take_blocks();
    Py_ssize_t i = 0;
    InterruptPoller poller;
    for (Block& block : blocks) {
        for (std::size_t r = 0; r < block.size(); ++r) {
            const auto row = block.row(r);
            poller.tick(64 * row.size());
            Ref tuple(check(PyTuple_New(static_cast<Py_ssize_t>(row.size()))));
            Py_ssize_t k = 0;
            for (const auto& cell : row) PyTuple_SetItem(tuple.get(), k++, cell_value(block, cell, strings));  // steals
            PyList_SetItem(out.get(), i++, tuple.release());
        }
        block = Block();
    }
    return out.release();
}

}  // namespace zemo::py
