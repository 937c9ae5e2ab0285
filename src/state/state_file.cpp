#include "state/state_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/atomic_file.hpp"
#include "common/fd.hpp"
#include "common/utf8.hpp"

namespace zemo::state {

namespace {

Error system_error(int err) { return Error(std::strerror(err)); }

// The system calls stop at a NUL byte and would open another file.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

Error nul_in_path() { return Error("path contains a NUL byte"); }

}  // namespace

Result<std::string> read_utf8_file(const std::string& path) {
    if (has_nul(path)) return nul_in_path();
    // O_NONBLOCK so that opening a FIFO does not wait for a writer; it is
    // refused below like every other non-regular file.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return system_error(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return system_error(errno);
    if (S_ISDIR(st.st_mode)) return system_error(EISDIR);
    if (!S_ISREG(st.st_mode)) return Error("not a regular file");

    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size) + 1);  // +1 sees EOF in one read
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return system_error(errno);
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    if (!utf8::is_valid(text)) return Error("stream did not contain valid UTF-8");
    return text;
}

std::string temp_path_for(std::string_view path) {
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos) return std::string(path);
    std::string_view trimmed = path.substr(0, end + 1);
    std::size_t slash = trimmed.rfind('/');
    std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    std::string_view name = trimmed.substr(start);
    if (name == "." || name == "..") return std::string(path);

    std::size_t dot = name.rfind('.');
    std::string_view stem = dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
    std::string temp;
    temp.reserve(trimmed.size() + 8);
    temp.append(trimmed.substr(0, start)).append(stem).append(".tmp");
    if (temp == trimmed) temp.append(".tmp");
    return temp;
}

Status replace_file(const std::string& path, std::string_view contents) {
    std::string temp = temp_path_for(path);
    // Checked on the target too: a NUL inside its extension vanishes from the
    // temporary name, and the rename would then stop short at it.
    if (has_nul(path)) return nul_in_path().context("writing temp state file " + temp);
    if (Status written = write_temp_file(temp + "-", contents, temp); !written) {
        return std::move(written).error().context("writing temp state file " + temp);
    }
    if (Status renamed = rename_temp_file(temp, path); !renamed) {
        return std::move(renamed).error().context("renaming " + temp + " to " + path);
    }
    if (Status synced = sync_parent_folder(path); !synced) {
        return std::move(synced).error().context("syncing directory " + parent_folder(path));
    }
    return ok_status();
}

}  // namespace zemo::state
