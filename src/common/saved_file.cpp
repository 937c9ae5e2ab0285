#include "common/saved_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>

namespace zemo {

namespace {

Error os_error(int code, const std::string& path) {
    return Error::io(code, path, std::system_category().message(code) + " (os error " + std::to_string(code) + ")");
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

void back_with_huge_pages(const void* data, std::size_t bytes) {
    // Synchronous collapse (Linux 6.1); older systems answer EINVAL.
    constexpr int kCollapse = 25;
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
    if (bytes < kHuge || last <= first) return;
    void* area = reinterpret_cast<void*>(first);
    ::madvise(area, last - first, MADV_HUGEPAGE);
    ::madvise(area, last - first, kCollapse);
}

Result<SavedFileBytes> open_saved_file(const std::string& path) {
    // The C path would silently end at an embedded NUL and name another file.
    if (path.find('\0') != std::string::npos) {
        return Error("path contains a NUL byte", ErrorKind::BadArgument).context("cannot open " + path);
    }
    Fd file;
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    do {
        file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (file.fd < 0 && errno == EINTR);
    if (file.fd < 0) return os_error(errno, path).context("cannot open " + path);
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return os_error(errno, path);
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR, path).context("cannot read " + path);
    if (st.st_size < 0 || static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::size_t>::max() / 2)
        return Error("file size out of the addressable range").context("cannot mmap " + path);
    const auto size = static_cast<std::size_t>(st.st_size);
    SavedFileBytes out;
    if (size == 0) return out;
    // Anonymous pages, huge ones where the system allows: a large index then
    // costs few page faults, and loads about as fast as through a mapping.
    void* area = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return os_error(errno, path).context("cannot read " + path);
    ::madvise(area, size, MADV_HUGEPAGE);  // a hint only
    out.keep = std::shared_ptr<const void>(area, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
    // Read, not copied from a mapping: a file cut short meanwhile reads short.
    char* to = static_cast<char*>(area);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(file.fd, to + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return os_error(errno, path).context("cannot read " + path);
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.bytes = std::string_view(to, got);
    return out;
}

}  // namespace zemo
