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

    // Whether the file at the path it was opened by is no longer the one
    // mapped as it was then: another size, modification time or inode
    // (appended to, rewritten, replaced or removed since).
    bool changed() const noexcept;

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
    std::string path_;
    struct Identity {
        long long size = 0, mtime_sec = 0, mtime_nsec = 0;
        unsigned long long device = 0, inode = 0;
        bool operator==(const Identity&) const = default;
    } identity_;
};

}  // namespace zemo::parser
