#include "parser/streamed_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "common/interrupt.hpp"

namespace zemo::parser {

namespace {

std::size_t piece_size() {
    const char* set = std::getenv("ZEMO_ETL_DUMP_PIECE_BYTES");
    if (set == nullptr) return StreamedFile::kDefaultPiece;
    const long long n = std::atoll(set);
    return n > 0 ? static_cast<std::size_t>(n) : StreamedFile::kDefaultPiece;
}

// How long a read waits for data between polls for interruption.
constexpr int kWaitMillis = 50;

}  // namespace

std::optional<StreamedFile> StreamedFile::open_unmappable(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO: no wait for a writer
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    // Pipes only: a device would never end (/dev/zero), and is mapped as an empty file.
    if (::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return StreamedFile(fd, path);
    ::close(fd);
    return std::nullopt;
}

StreamedFile::StreamedFile(int fd, std::string path, std::size_t piece)
    : fd_(fd), path_(std::move(path)), piece_(piece > 0 ? piece : piece_size()) {
    // Reads never block, so that a wait can be interrupted (see refill).
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

StreamedFile::StreamedFile(StreamedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      buffer_(std::move(other.buffer_)),
      start_(other.start_),
      base_(other.base_),
      piece_(other.piece_),
      ended_(other.ended_) {}

StreamedFile::~StreamedFile() {
    if (fd_ >= 0) ::close(fd_);
}

Result<bool> StreamedFile::refill(std::size_t keep_from) {
    start_ += keep_from;
    base_ += keep_from;
    // The kept tail moves to the front once it is no more than what was dropped.
    if (start_ >= buffer_.size() - start_) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    if (ended_) return false;
    const std::size_t held = buffer_.size();
    buffer_.resize(held + piece_);
    for (;;) {
        const ssize_t n = ::read(fd_, buffer_.data() + held, piece_);
        if (n > 0) {
            buffer_.resize(held + static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0) {
            buffer_.resize(held);
            ended_ = true;
            return false;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            const int code = errno;
            buffer_.resize(held);
            return Error(std::system_category().message(code) + " (os error " + std::to_string(code) + ")")
                .context("cannot read " + path_);
        }
        interruption_point();
        pollfd wait{.fd = fd_, .events = POLLIN, .revents = 0};
        ::poll(&wait, 1, kWaitMillis);
    }
}

}  // namespace zemo::parser
