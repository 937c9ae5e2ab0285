#pragma once
// A read-only array that either owns its elements or views elements kept
// alive by someone else (an index file read into memory). Indexes are built
// into owned arrays and saved as their bytes; a loaded index views the bytes
// read, so nothing is copied again or rebuilt.

#include <cstddef>
#include <utility>
#include <vector>

namespace zemo {

template <typename T>
class FlatArray {
public:
    FlatArray() = default;
    explicit FlatArray(std::vector<T> owned) : owned_(std::move(owned)), data_(owned_.data()), size_(owned_.size()) {}
    static FlatArray view(const T* data, std::size_t size) {
        FlatArray a;
        a.data_ = data;
        a.size_ = size;
        return a;
    }

    // A moved vector keeps its buffer, so data_ stays valid.
    FlatArray(FlatArray&& other) noexcept
        : owned_(std::move(other.owned_)), data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    FlatArray& operator=(FlatArray&& other) noexcept {
        owned_ = std::move(other.owned_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }
    FlatArray(const FlatArray&) = delete;
    FlatArray& operator=(const FlatArray&) = delete;

    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    // Bytes held by this array itself (0 for a view).
    std::size_t owned_bytes() const noexcept { return owned_.capacity() * sizeof(T); }

private:
    std::vector<T> owned_;
    const T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace zemo
