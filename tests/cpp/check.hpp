#pragma once
// A minimal test runner for library code the Python face cannot reach.
// TEST(name) { CHECK(cond); CHECK_EQ(a, b); }  -- main() lives in main.cpp.

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace zemo::check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures_in_case() {
    static int n = 0;
    return n;
}

struct Registrar {
    Registrar(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

template <typename A, typename B>
void check_eq(const A& a, const B& b, const char* expr_a, const char* expr_b, const char* file, int line) {
    if (a == b) return;
    ++failures_in_case();
    std::ostringstream msg;
    msg << file << ":" << line << ": CHECK_EQ(" << expr_a << ", " << expr_b << ") failed";
    if constexpr (requires(std::ostream& os) { os << a; os << b; }) msg << ": " << a << " != " << b;
    std::cerr << msg.str() << "\n";
}

}  // namespace zemo::check

#define ZEMO_CONCAT2(a, b) a##b
#define ZEMO_CONCAT(a, b) ZEMO_CONCAT2(a, b)
#define TEST(name)                                                                              \
    static void name();                                                                        \
    static const ::zemo::check::Registrar ZEMO_CONCAT(registrar_, name)(#name, &name);         \
    static void name()
#define CHECK(cond)                                                                             \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            ++::zemo::check::failures_in_case();                                                \
            std::cerr << __FILE__ << ":" << __LINE__ << ": CHECK(" #cond ") failed\n";          \
        }                                                                                       \
    } while (0)
#define CHECK_EQ(a, b) ::zemo::check::check_eq((a), (b), #a, #b, __FILE__, __LINE__)
