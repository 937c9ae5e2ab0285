#include "common/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zemo {
namespace {

Error system_error(int err) { return Error(std::strerror(err)); }

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

Status write_and_sync(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return system_error(errno);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(fd) != 0) return system_error(errno);
    return ok_status();
}

}  // namespace

Status replace_file_atomically(const std::string& path, std::string_view contents) {
    if (path.find('\0') != std::string::npos) return Error("path contains a NUL byte");
    // One temporary name per process, so that two writers never share one.
    const std::string temp = path + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return system_error(errno).context("cannot create " + temp);
    Status written = write_and_sync(fd, contents);
    if (::close(fd) != 0 && written) written = system_error(errno);
    if (!written) {
        ::unlink(temp.c_str());
        return std::move(written).error().context("cannot write " + temp);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return system_error(err).context("cannot rename " + temp + " to " + path);
    }
    const int dir = ::open(parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);  // best effort: some filesystems cannot sync a folder
        ::close(dir);
    }
    return ok_status();
}

}  // namespace zemo
