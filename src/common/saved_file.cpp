#include "common/saved_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>

#include "common/sections.hpp"

namespace zemo {

namespace {

Error os_error(int code) {
    return Error(std::system_category().message(code) + " (os error " + std::to_string(code) + ")");
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Whether anyone but this user (and root) can change the file in place.
bool others_can_write(int fd, const struct stat& st) {
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return true;
    // An access ACL beyond the mode bits may grant write to named users or groups.
    return ::fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0;
}

}  // namespace

Result<SavedFileBytes> open_saved_file(const std::string& path) {
    // The C path would silently end at an embedded NUL and name another file.
    if (path.find('\0') != std::string::npos) return Error("path contains a NUL byte").context("cannot open " + path);
    Fd file;
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    do {
        file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (file.fd < 0 && errno == EINTR);
    if (file.fd < 0) return os_error(errno).context("cannot open " + path);
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return os_error(errno);
    if (st.st_size < 0 || static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::size_t>::max() / 2)
        return Error("file size out of the addressable range").context("cannot mmap " + path);
    const auto size = static_cast<std::size_t>(st.st_size);
    SavedFileBytes out;
    if (size == 0) return out;
    if (S_ISREG(st.st_mode) && others_can_write(file.fd, st)) {
        // Read, not copied from a mapping: a file cut short meanwhile reads short.
        std::shared_ptr<const char> copy = aligned_copy(std::string_view(nullptr, 0), size);
        char* to = const_cast<char*>(copy.get());
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::pread(file.fd, to + got, size - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return os_error(errno).context("cannot read " + path);
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        out.bytes = std::string_view(copy.get(), got);
        out.keep = std::move(copy);
        out.copied = true;
        return out;
    }
    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd, 0);
    if (addr == MAP_FAILED) return os_error(errno).context("cannot mmap " + path);
    ::madvise(addr, size, MADV_SEQUENTIAL);  // a hint only
    out.bytes = std::string_view(static_cast<const char*>(addr), size);
    out.keep = std::shared_ptr<const void>(addr, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
    return out;
}

}  // namespace zemo
