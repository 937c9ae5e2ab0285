#include "common/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "common/fd.hpp"

namespace zemo {
namespace {

// About the file being replaced (the caller's `path`: set by on_path), not the temporary one.
Error system_error(int err) { return Error::io(err, {}, std::strerror(err)); }

Status write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return system_error(errno);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return ok_status();
}

// 12 letters and digits: 62 bits, from the system's random source.
std::string random_suffix() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device source;
    std::string out(12, '\0');
    for (char& c : out) c = kAlphabet[source() % 62];
    return out;
}

}  // namespace

Status write_temp_file(std::string_view prefix, std::string_view contents, std::string& temp) {
    temp.assign(prefix);
    // The system calls stop at a NUL byte and would create another file.
    if (prefix.find('\0') != std::string_view::npos) return Error("path contains a NUL byte", ErrorKind::BadArgument);
    int fd = -1;
    // A name already taken is never opened: another one is drawn.
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp.assign(prefix).append(random_suffix());
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return system_error(errno);
    Fd file(fd);
    Status status = write_all(file.get(), contents);
    if (status && ::fsync(file.get()) != 0) status = system_error(errno);
    if (file.close() != 0 && status) status = system_error(errno);
    if (!status) ::unlink(temp.c_str());
    return status;
}

Status rename_temp_file(const std::string& temp, const std::string& path) {
    // A rename would replace a device or a pipe with a plain file (as root,
    // /dev/null itself): only files and links to replace are renamed over.
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode)) {
        ::unlink(temp.c_str());
        return Error::io(0, {}, "not a regular file");
    }
    if (::rename(temp.c_str(), path.c_str()) == 0) return ok_status();
    const int err = errno;
    ::unlink(temp.c_str());
    return system_error(err);
}

std::string parent_folder(std::string_view path) {
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos) return path.empty() ? "." : "/";
    const std::size_t slash = path.rfind('/', end);
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

Status sync_parent_folder(std::string_view path) {
    Fd fd(::open(parent_folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return ok_status();
    if (::fsync(fd.get()) != 0 && errno != EINVAL) return system_error(errno);
    return ok_status();
}

Status replace_file_atomically(const std::string& path, std::string_view contents) {
    if (path.find('\0') != std::string::npos) return Error("path contains a NUL byte", ErrorKind::BadArgument);
    std::string temp;
    if (Status written = write_temp_file(path + ".tmp-", contents, temp); !written) {
        return std::move(written).error().on_path(path).context("cannot write " + temp);
    }
    if (Status renamed = rename_temp_file(temp, path); !renamed) {
        return std::move(renamed).error().on_path(path).context("cannot rename " + temp + " to " + path);
    }
    (void)sync_parent_folder(path);  // best effort: some filesystems cannot sync a folder
    return ok_status();
}

}  // namespace zemo
