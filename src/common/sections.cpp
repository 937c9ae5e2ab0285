#include "common/sections.hpp"

#include <algorithm>

#include <cstdlib>
#include <new>

namespace zemo {
namespace {

constexpr std::uint32_t kByteOrder = 0x01020304;
constexpr std::size_t kHeaderBytes = 64;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t byte_order;
    std::uint32_t sections;
    std::uint32_t header_bytes;
    std::uint64_t total_bytes;
    std::uint64_t checksum;
    unsigned char reserved[24];
};
static_assert(sizeof(Header) == kHeaderBytes);

std::size_t align_up(std::size_t n) { return (n + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment; }

std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;

}  // namespace

std::uint64_t checksum64(const unsigned char* data, std::size_t size) noexcept {
    std::uint64_t lane[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (int k = 0; k < 4; ++k) {
            std::uint64_t w;
            std::memcpy(&w, data + i + 8 * k, 8);
            lane[k] = rotl(lane[k] + w * kP2, 31) * kP1;
        }
    }
    std::uint64_t h = rotl(lane[0], 1) + rotl(lane[1], 7) + rotl(lane[2], 12) + rotl(lane[3], 18) + size;
    for (; i < size; ++i) h = rotl(h ^ (data[i] * kP1), 11) * kP2;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    return h;
}

Error damaged(const FileKind& kind, std::string_view what) {
    return Error(std::string(kind.name) + " file is damaged: " + std::string(what), ErrorKind::Damaged);
}

std::shared_ptr<const char> aligned_copy(std::string_view bytes, std::size_t size) {
    void* copy = std::aligned_alloc(kSectionAlignment, align_up(std::max(size, bytes.size()) + 1));
    if (copy == nullptr) throw std::bad_alloc();
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    return std::shared_ptr<const char>(static_cast<const char*>(copy), [](const char* p) { std::free(const_cast<char*>(p)); });
}

std::string_view aligned_bytes(std::string_view bytes, std::shared_ptr<const void>& keep) {
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % kSectionAlignment == 0) return bytes;
    std::shared_ptr<const char> copy = aligned_copy(bytes);
    keep = copy;
    return std::string_view(copy.get(), bytes.size());
}

std::string SectionWriter::finish(std::string_view magic, std::uint32_t version) const {
    std::size_t at = align_up(kHeaderBytes + sections_.size() * 16);
    std::vector<std::uint64_t> table;
    for (std::string_view s : sections_) {
        table.push_back(at);
        table.push_back(s.size());
        at = align_up(at + s.size());
    }
    std::string out(at, '\0');
    std::memcpy(out.data() + kHeaderBytes, table.data(), table.size() * 8);
    for (std::size_t k = 0; k < sections_.size(); ++k)
        if (!sections_[k].empty()) std::memcpy(out.data() + table[2 * k], sections_[k].data(), sections_[k].size());
    Header h{};
    std::memcpy(h.magic, magic.data(), std::min<std::size_t>(magic.size(), sizeof h.magic));
    h.version = version;
    h.byte_order = kByteOrder;
    h.sections = static_cast<std::uint32_t>(sections_.size());
    h.header_bytes = kHeaderBytes;
    h.total_bytes = out.size();
    h.checksum = checksum64(reinterpret_cast<const unsigned char*>(out.data()) + kHeaderBytes, out.size() - kHeaderBytes);
    std::memcpy(out.data(), &h, sizeof h);
    return out;
}

Result<SectionReader> SectionReader::open(std::string_view bytes, std::string_view magic, std::uint32_t version,
                                          std::size_t sections, std::string_view what) {
    const std::string kind(what);
    Header h;
    char expected[8] = {};
    std::memcpy(expected, magic.data(), std::min<std::size_t>(magic.size(), sizeof expected));
    if (bytes.size() < kHeaderBytes) return Error("not a " + kind + " file: " + std::to_string(bytes.size()) + " bytes, too short", ErrorKind::Damaged);
    std::memcpy(&h, bytes.data(), sizeof h);
    if (std::memcmp(h.magic, expected, sizeof expected) != 0) return Error("not a " + kind + " file", ErrorKind::Damaged);
    if (h.byte_order != kByteOrder) return Error(kind + " file written on a machine of another byte order", ErrorKind::Damaged);
    if (h.version != version) {
        return Error(kind + " file has format version " + std::to_string(h.version) + "; this version of zemo_etl reads version " +
                     std::to_string(version) + " only: build the index again",
                     ErrorKind::Damaged);
    }
    if (h.header_bytes != kHeaderBytes || h.sections != sections) return Error(kind + " file has a damaged header", ErrorKind::Damaged);
    if (h.total_bytes != bytes.size()) {
        return Error(kind + " file is " + std::to_string(bytes.size()) + " bytes, its header says " + std::to_string(h.total_bytes) +
                     " (truncated or extended)", ErrorKind::Damaged);
    }
    const auto* body = reinterpret_cast<const unsigned char*>(bytes.data()) + kHeaderBytes;
    if (checksum64(body, bytes.size() - kHeaderBytes) != h.checksum) return Error(kind + " file is damaged: checksum mismatch", ErrorKind::Damaged);
    if (kHeaderBytes + sections * 16 > bytes.size()) return Error(kind + " file has a damaged section table", ErrorKind::Damaged);

    SectionReader r;
    r.data_ = bytes.data();
    r.table_.resize(sections);
    std::memcpy(r.table_.data(), bytes.data() + kHeaderBytes, sections * 16);
    for (const Entry& e : r.table_) {
        if (e.offset % kSectionAlignment != 0 || e.offset > bytes.size() || e.bytes > bytes.size() - e.offset)
            return Error(kind + " file has a damaged section table", ErrorKind::Damaged);
    }
    return r;
}

}  // namespace zemo
