#pragma once
// A growable run of bytes whose appends compile inline in every build.
// libc++ compiles std::string's append, push_back and resize into its
// library, so a reader that appends a value a run at a time makes a call
// for each; this buffer grows by doubling through realloc and otherwise
// writes with plain stores. Readers of dump values write into one, and
// callers copy the bytes where they keep them.

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace zemo {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data_); }

    const char* data() const noexcept { return data_; }
    char* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::string_view view() const noexcept { return {data_, size_}; }
    operator std::string_view() const noexcept { return view(); }  // NOLINT: read as a view everywhere
    char back() const noexcept { return data_[size_ - 1]; }

    void clear() noexcept { size_ = 0; }
    // Frees the memory: a huge value's room is not kept for the small ones after it.
    void release() noexcept { ByteBuffer gone(std::move(*this)); }

    void push_back(char c) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = c;
    }
    void append(const char* p, std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        if (n != 0) std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void append(std::size_t n, char c) {
        if (capacity_ - size_ < n) grow(n);
        if (n != 0) std::memset(data_ + size_, c, n);
        size_ += n;
    }
    // `n` bytes at the end, their contents left to the caller; the pointer to
    // the first of them.
    char* extend(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        char* at = data_ + size_;
        size_ += n;
        return at;
    }
    // Shrinks to `n` bytes (n <= size()).
    void truncate(std::size_t n) noexcept { size_ = n; }

private:
    // Room for `n` more bytes at least, doubling.
    [[gnu::noinline]] void grow(std::size_t n) {
        std::size_t capacity = capacity_ < 32 ? 32 : 2 * capacity_;
        if (capacity - size_ < n) capacity = size_ + n;
        void* p = std::realloc(data_, capacity);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        capacity_ = capacity;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace zemo
