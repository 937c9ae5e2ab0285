#include "parser/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>
#include <utility>

namespace zemo::parser {

namespace {

Error os_error(int code) {
    return Error(std::system_category().message(code) + " (os error " + std::to_string(code) + ")");
}

}  // namespace

namespace {

template <typename Identity>
Identity identity_of(const struct stat& st) {
    Identity id;
    id.size = static_cast<long long>(st.st_size);
    id.mtime_sec = static_cast<long long>(st.st_mtim.tv_sec);
    id.mtime_nsec = static_cast<long long>(st.st_mtim.tv_nsec);
    id.device = static_cast<unsigned long long>(st.st_dev);
    id.inode = static_cast<unsigned long long>(st.st_ino);
    return id;
}

}  // namespace

bool MappedFile::changed() const noexcept {
    struct stat now {};
    if (fd_ < 0 || ::fstat(fd_, &now) != 0 || !(identity_of<Identity>(now) == identity_)) return true;
    if (::stat(path_.c_str(), &now) != 0) return true;
    return !(identity_of<Identity>(now) == identity_);
}

Result<MappedFile> MappedFile::open(const std::string& path) {
    // The C path would silently end at an embedded NUL and name another file.
    if (path.find('\0') != std::string::npos) {
        return Error("path contains a NUL byte").context("cannot open " + path);
    }
    MappedFile file;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it has no effect
    // on regular files.
    do {
        file.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (file.fd_ < 0 && errno == EINTR);
    if (file.fd_ < 0) return os_error(errno).context("cannot open " + path);

    struct stat st {};
    if (::fstat(file.fd_, &st) != 0) return os_error(errno);
    file.path_ = path;
    file.identity_ = identity_of<Identity>(st);
    if (st.st_size == 0) return file;
    if (st.st_size < 0 ||
        static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::size_t>::max()) {
        return Error("file size out of the addressable range").context("cannot mmap " + path);
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd_, 0);
    if (addr == MAP_FAILED) return os_error(errno).context("cannot mmap " + path);
    file.addr_ = addr;
    file.size_ = size;
    ::madvise(addr, size, MADV_SEQUENTIAL);  // a hint only; failure is harmless
    return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      addr_(std::exchange(other.addr_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      released_(std::exchange(other.released_, 0)),
      path_(std::move(other.path_)),
      identity_(other.identity_) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        addr_ = std::exchange(other.addr_, nullptr);
        size_ = std::exchange(other.size_, 0);
        released_ = std::exchange(other.released_, 0);
        path_ = std::move(other.path_);
        identity_ = other.identity_;
    }
    return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release_before(std::size_t offset) noexcept {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t end = std::min(offset, size_) / page * page;
    if (addr_ == nullptr || end <= released_) return;
    // A hint: on failure the pages simply stay.
    ::madvise(static_cast<char*>(addr_) + released_, end - released_, MADV_DONTNEED);
    released_ = end;
}

void MappedFile::release() noexcept {
    if (addr_ != nullptr) ::munmap(addr_, size_);
    if (fd_ >= 0) ::close(fd_);
    addr_ = nullptr;
    size_ = 0;
    released_ = 0;
    fd_ = -1;
}

}  // namespace zemo::parser
