#pragma once
// A table's rows held compactly: per block of rows, one array of 16-byte
// cells and one buffer for the bytes of its strings, instead of a vector per
// row and a string per value. The binding loads into this form: a large
// table costs few allocations, and a consumer that converts the rows block
// by block can free each block behind it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/mysql.hpp"
#include "parser/tuple_list.hpp"

namespace zemo::parser {

namespace detail {

void* map_pages(std::size_t bytes);  // throws std::bad_alloc
void unmap_pages(void* p, std::size_t bytes) noexcept;

// Large blocks straight from the system, so that freeing one returns its
// memory at once instead of leaving it in the C heap, where the Python
// objects made meanwhile would not reuse it.
template <typename T>
struct PageAllocator {
    using value_type = T;
    static constexpr std::size_t kMappedBytes = std::size_t{64} << 10;

    PageAllocator() = default;
    template <typename U>
    PageAllocator(const PageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n * sizeof(T) < kMappedBytes) return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(map_pages(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kMappedBytes) {
            ::operator delete(p);
        } else {
            unmap_pages(p, n * sizeof(T));
        }
    }
    friend bool operator==(const PageAllocator&, const PageAllocator&) noexcept { return true; }
};

// Bytes that grow in place: large buffers are mapped pages that mremap moves
// without copying, so a block holding one huge value never needs the old
// and the new buffer at once.
class PageBuffer {
public:
    PageBuffer() = default;
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();

    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    void reserve(std::size_t capacity);  // throws std::bad_alloc
    void append(std::string_view bytes);

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace detail

class RowTable {
public:
    using Kind = detail::ValueKind;

    class Cell {
    public:
        Kind kind() const noexcept { return static_cast<Kind>(meta_ >> 56); }
        Integer integer() const noexcept { return static_cast<Integer>(payload_); }
        Float floating() const noexcept;

    private:
        friend class RowTable;
        std::uint64_t payload_ = 0;  // the integer, the double's bits, or the offset of the bytes
        std::uint64_t meta_ = 0;     // the kind in the top byte, the byte length below it
    };

    // Consecutive whole rows.
    class Block {
    public:
        std::size_t size() const noexcept { return row_ends_.size(); }
        std::span<const Cell> row(std::size_t i) const noexcept;
        // The bytes of a Text cell (valid UTF-8), a BigInteger cell (its
        // digits), a Bytes cell or a Decimal cell (its literal).
        std::string_view bytes(const Cell& cell) const noexcept;
        SqlValue value(const Cell& cell) const;

    private:
        friend class RowTable;
        std::vector<Cell, detail::PageAllocator<Cell>> cells_;
        std::vector<std::size_t, detail::PageAllocator<std::size_t>> row_ends_;  // one past each row's last cell
        detail::PageBuffer bytes_;
    };

    std::size_t size() const noexcept { return rows_; }
    const std::vector<Block>& blocks() const noexcept { return blocks_; }
    // The blocks, moved out so that the caller may free each when done.
    std::vector<Block> take_blocks() && noexcept { return std::move(blocks_); }
    std::vector<Row> to_rows() const;

    // Integers of any length keep their digits (else beyond
    // detail::kMaxExactDigits they read as 0, like parse_single_value).
    void keep_whole_integers() noexcept { whole_integers_ = true; }

    // Each column read as its entry says (integers whole); columns beyond
    // them as before.
    void read_columns(std::vector<detail::ColumnRead> columns) { columns_ = std::move(columns); }

    // The sink of the tuple walk.
    void start_row();
    void read(std::string_view line, std::size_t& pos);
    void finish_row(bool keep);

private:
    static constexpr std::size_t kBlockCells = std::size_t{1} << 15;

    std::vector<Block> blocks_;
    ByteBuffer scratch_;  // one value's bytes before they move into their block
    std::size_t rows_ = 0;
    std::size_t width_ = 0;  // cells of the last row
    std::vector<detail::ColumnRead> columns_;
    std::size_t column_ = 0;  // of the value read next
    bool whole_integers_ = false;
};

}  // namespace zemo::parser
