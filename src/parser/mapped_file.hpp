#pragma once
// A whole file mapped read-only, released (mapping and descriptor) when the
// object goes away, whatever path the caller takes.

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo::parser {

class MappedFile {
public:
    // Errors: "cannot open <path>" and "cannot mmap <path>" with the system
    // error as their cause; a failing fstat gives the system error alone.
    // An empty file is not mapped and gives empty bytes.
    static Result<MappedFile> open(const std::string& path);

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::string_view bytes() const noexcept { return {static_cast<const char*>(addr_), size_}; }

    // Drops the whole pages before `offset` from the process's memory; they
    // are read in again from the page cache if touched later.
    void release_before(std::size_t offset) noexcept;

private:
    MappedFile() = default;
    void release() noexcept;

    int fd_ = -1;
    void* addr_ = nullptr;
    std::size_t size_ = 0;
    std::size_t released_ = 0;  // bytes from the start already dropped
};

}  // namespace zemo::parser
