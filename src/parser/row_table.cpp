#include "parser/row_table.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "common/utf8.hpp"

namespace zemo::parser {

namespace detail {

void* map_pages(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
}

void unmap_pages(void* p, std::size_t bytes) noexcept { ::munmap(p, bytes); }

namespace {

constexpr std::size_t kPage = 4096;

std::size_t round_to_pages(std::size_t n) { return (n + kPage - 1) / kPage * kPage; }

}  // namespace

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        this->~PageBuffer();
        new (this) PageBuffer(std::move(other));
    }
    return *this;
}

PageBuffer::~PageBuffer() {
    if (data_ != nullptr) unmap_pages(data_, capacity_);
}

void PageBuffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    const std::size_t bytes = round_to_pages(capacity);
    if (data_ == nullptr) {
        data_ = static_cast<char*>(map_pages(bytes));
    } else {
        void* p = ::mremap(data_, capacity_, bytes, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
    }
    capacity_ = bytes;
}

void PageBuffer::append(std::string_view bytes) {
    if (bytes.empty()) return;
    if (capacity_ - size_ < bytes.size()) reserve(std::max(size_ + bytes.size(), 2 * capacity_));
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
}

}  // namespace detail

Float RowTable::Cell::floating() const noexcept {
    Float v;
    std::memcpy(&v, &payload_, sizeof v);
    return v;
}

std::span<const RowTable::Cell> RowTable::Block::row(std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : row_ends_[i - 1];
    return {cells_.data() + begin, row_ends_[i] - begin};
}

std::string_view RowTable::Block::bytes(const Cell& cell) const noexcept {
    constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << 56) - 1;
    return {bytes_.data() + cell.payload_, static_cast<std::size_t>(cell.meta_ & kLengthMask)};
}

SqlValue RowTable::Block::value(const Cell& cell) const {
    switch (cell.kind()) {
        case Kind::Integer: return cell.integer();
        case Kind::Float: return cell.floating();
        case Kind::Text: return Text(bytes(cell));
        case Kind::BigInteger: return BigInteger{std::string(bytes(cell))};
        case Kind::Decimal: return Text(bytes(cell));  // only where columns are read by their declared types
        case Kind::Bytes: return Text(utf8::to_valid(std::string(bytes(cell))));
        case Kind::Null: break;
    }
    return Null{};
}

std::vector<Row> RowTable::to_rows() const {
    std::vector<Row> rows;
    rows.reserve(size());
    for (const Block& block : blocks_) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            Row& row = rows.emplace_back();
            for (const Cell& cell : block.row(i)) row.push_back(block.value(cell));
        }
    }
    return rows;
}

void RowTable::start_row() {
    column_ = 0;
    if (!blocks_.empty() && blocks_.back().cells_.size() + width_ <= kBlockCells) return;
    // Sized after the block before, so that a block rarely grows.
    const std::size_t bytes_hint = blocks_.empty() ? 0 : blocks_.back().bytes_.size() + blocks_.back().bytes_.size() / 8;
    Block& block = blocks_.emplace_back();
    block.cells_.reserve(kBlockCells);
    block.bytes_.reserve(bytes_hint);
}

void RowTable::read(std::string_view line, std::size_t& pos) {
    Block& block = blocks_.back();
    const std::size_t start = block.bytes_.size();
    scratch_.clear();
    const detail::Scalar v = column_ < columns_.size()
                                 ? detail::read_column_value(line, pos, scratch_, columns_[column_])
                                 : detail::read_value(line, pos, scratch_, whole_integers_);
    ++column_;
    block.bytes_.append(scratch_);
    // A huge value's buffer is not kept for the small ones after it.
    if (scratch_.capacity() > (std::size_t{1} << 20)) scratch_.release();
    Cell cell;
    cell.meta_ = static_cast<std::uint64_t>(v.kind) << 56;
    switch (v.kind) {
        case Kind::Integer: cell.payload_ = static_cast<std::uint64_t>(v.integer); break;
        case Kind::Float: std::memcpy(&cell.payload_, &v.floating, sizeof v.floating); break;
        case Kind::Text:
        case Kind::BigInteger:
        case Kind::Bytes:
        case Kind::Decimal:
            cell.payload_ = start;
            cell.meta_ |= block.bytes_.size() - start;
            break;
        case Kind::Null: break;
    }
    block.cells_.push_back(cell);
}

void RowTable::finish_row(bool keep) {
    Block& block = blocks_.back();
    const std::size_t begin = block.row_ends_.empty() ? 0 : block.row_ends_.back();
    if (!keep) {
        block.cells_.resize(begin);  // a cut tuple's values, if any
        return;
    }
    width_ = block.cells_.size() - begin;
    block.row_ends_.push_back(block.cells_.size());
    ++rows_;
}

}  // namespace zemo::parser
