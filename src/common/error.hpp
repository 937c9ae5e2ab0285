#pragma once
// Error values for library operations that can fail: a message plus the chain
// of causes beneath it, and the kind of failure (which the binding maps to an
// exception class). Callers that add context wrap the error, which keeps the
// kind, errno and path of its cause; the binding shows only the outermost
// message.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zemo {

enum class ErrorKind : std::uint8_t {
    Other,        // the operation itself failed (a dump it cannot read, a state that does not fit)
    Io,           // a system call failed: error_number() says why, path() on what (empty when on no path)
    Damaged,      // bytes that are not what their kind of file must hold
    BadArgument,  // a value the caller gave that the operation cannot take
};

class Error {
public:
    explicit Error(std::string message, ErrorKind kind = ErrorKind::Other)
        : message_(std::move(message)), kind_(kind) {}

    // A failed system call with errno `code` on `path`.
    static Error io(int code, std::string path, std::string message) {
        Error e(std::move(message), ErrorKind::Io);
        e.errno_ = code;
        e.path_ = std::move(path);
        return e;
    }

    // Returns a new error whose message is `context` and whose cause is this one.
    [[nodiscard]] Error context(std::string context) && {
        Error outer(std::move(context), kind_);
        outer.errno_ = errno_;
        outer.path_ = path_;
        outer.cause_ = std::make_shared<Error>(std::move(*this));
        return outer;
    }

    // The same error about `path` where it names none yet.
    [[nodiscard]] Error on_path(std::string path) && {
        if (path_.empty()) path_ = std::move(path);
        return std::move(*this);
    }

    const std::string& message() const noexcept { return message_; }
    const Error* cause() const noexcept { return cause_.get(); }
    ErrorKind kind() const noexcept { return kind_; }
    int error_number() const noexcept { return errno_; }
    const std::string& path() const noexcept { return path_; }

    // Outermost message first, then each cause: "a: b: c".
    std::string chain() const {
        std::string out = message_;
        for (const Error* e = cause(); e != nullptr; e = e->cause()) {
            out += ": ";
            out += e->message();
        }
        return out;
    }

private:
    std::string message_;
    ErrorKind kind_;
    int errno_ = 0;
    std::string path_;
    std::shared_ptr<const Error> cause_;
};

// A value or an error. Deliberately small: holds, tests, unwraps.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

// For operations that produce nothing on success.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace zemo
