// Runs every registered TEST, or those whose name contains argv[1].
#include <cstring>

#include "check.hpp"

int main(int argc, char** argv) {
    int passed = 0, failed = 0;
    for (const auto& c : zemo::check::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        zemo::check::failures_in_case() = 0;
        try {
            c.body();
        } catch (const std::exception& e) {
            ++zemo::check::failures_in_case();
            std::cerr << c.name << ": unexpected exception: " << e.what() << "\n";
        }
        if (zemo::check::failures_in_case() == 0) {
            ++passed;
        } else {
            ++failed;
            std::cerr << "FAILED " << c.name << "\n";
        }
    }
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}
