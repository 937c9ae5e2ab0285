#pragma once
// Error values for library operations that can fail: a message plus the chain
// of causes beneath it. Callers that add context wrap the error; the binding
// layer shows only the outermost message.

#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zemo {

class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}

    // Returns a new error whose message is `context` and whose cause is this one.
    [[nodiscard]] Error context(std::string context) && {
        Error outer(std::move(context));
        outer.cause_ = std::make_shared<Error>(std::move(*this));
        return outer;
    }

    const std::string& message() const noexcept { return message_; }
    const Error* cause() const noexcept { return cause_.get(); }

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
