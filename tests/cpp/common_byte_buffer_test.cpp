// The byte buffer against std::string: the same bytes after every kind of
// append, extension and truncation while it grows from empty through many
// reallocations, and after moves and a release.
#include <random>
#include <string>
#include <utility>

#include "check.hpp"
#include "common/byte_buffer.hpp"

using namespace zemo;

TEST(byte_buffer_matches_string) {
    std::mt19937 rng(3);
    ByteBuffer buffer;
    std::string reference;
    for (int step = 0; step < 20000; ++step) {
        const std::size_t n = rng() % 8 == 0 ? rng() % 300 : rng() % 5;  // now and then past the doubling
        const char c = static_cast<char>('a' + rng() % 26);
        switch (rng() % 6) {
            case 0:
                buffer.push_back(c);
                reference.push_back(c);
                break;
            case 1: {
                const std::string piece(n, c);
                buffer.append(piece);
                reference += piece;
                break;
            }
            case 2:
                buffer.append(n, c);
                reference.append(n, c);
                break;
            case 3: {
                char* w = buffer.extend(n);
                for (std::size_t k = 0; k < n; ++k) w[k] = static_cast<char>(c + k % 3);
                for (std::size_t k = 0; k < n; ++k) reference.push_back(static_cast<char>(c + k % 3));
                break;
            }
            case 4: {
                const std::size_t keep = reference.empty() ? 0 : rng() % (reference.size() + 1);
                buffer.truncate(keep);
                reference.resize(keep);
                break;
            }
            default:
                if (rng() % 50 == 0) {
                    buffer.clear();
                    reference.clear();
                }
                break;
        }
        CHECK_EQ(buffer.size(), reference.size());
        CHECK(buffer.capacity() >= buffer.size());
    }
    CHECK(buffer.view() == reference);

    ByteBuffer moved(std::move(buffer));
    CHECK(moved.view() == reference);
    CHECK(buffer.empty());  // NOLINT: a moved-from buffer is empty
    ByteBuffer other;
    other.append("left behind");
    other = std::move(moved);
    CHECK(other.view() == reference);
    other.release();
    CHECK(other.empty() && other.capacity() == 0);
    other.append("again");
    CHECK(other.view() == "again");
}
