#pragma once
// The file format of saved indexes: a 64-byte header (magic string, format
// version, byte order, section count, total size, checksum of everything
// after the header), a table of (offset, size) pairs, then the sections,
// each aligned to 64 bytes so that a file read into memory is used in place.
//
// Compatibility: a reader accepts exactly its own magic string and format
// version and refuses anything else with a message naming both versions;
// it never guesses at another layout.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/error.hpp"
#include "common/flat_array.hpp"

namespace zemo {

inline constexpr std::size_t kSectionAlignment = 64;

// 64-bit checksum of a byte range (four interleaved multiply-rotate lanes).
std::uint64_t checksum64(const unsigned char* data, std::size_t size) noexcept;

// A copy of `bytes` in storage aligned for the sections, `size` bytes
// (at least bytes.size()) of it, freed with the last owner.
std::shared_ptr<const char> aligned_copy(std::string_view bytes, std::size_t size = 0);

// The bytes to read arrays from in place: `bytes` itself when it starts on
// a section boundary, else an aligned copy, which then replaces `keep`.
std::string_view aligned_bytes(std::string_view bytes, std::shared_ptr<const void>& keep);

class SectionWriter {
public:
    template <typename T>
    void add(const FlatArray<T>& array) {
        add(array.data(), array.size() * sizeof(T));
    }
    void add(const void* data, std::size_t bytes) { sections_.push_back({static_cast<const char*>(data), bytes}); }

    // The whole file: header, section table, sections.
    std::string finish(std::string_view magic, std::uint32_t version) const;

private:
    std::vector<std::string_view> sections_;
};

class SectionReader {
public:
    // Checks the header, the section table and the checksum. `what` names
    // the kind of file in messages ("library index", ...).
    static Result<SectionReader> open(std::string_view bytes, std::string_view magic, std::uint32_t version,
                                      std::size_t sections, std::string_view what);

    std::size_t bytes(std::size_t k) const { return table_[k].bytes; }

    // Section k as an array of T viewing the bytes; fails when its size is
    // not a multiple of sizeof(T).
    template <typename T>
    Result<FlatArray<T>> array(std::size_t k) const {
        const Entry& e = table_[k];
        if (e.bytes % sizeof(T) != 0) return Error("section " + std::to_string(k) + " has a size that fits no whole element", ErrorKind::Damaged);
        return FlatArray<T>::view(reinterpret_cast<const T*>(data_ + e.offset), e.bytes / sizeof(T));
    }

private:
    struct Entry {
        std::uint64_t offset;
        std::uint64_t bytes;
    };
    const char* data_ = nullptr;
    std::vector<Entry> table_;
};

// A kind of saved file.
struct FileKind {
    std::string_view magic;
    std::uint32_t version;  // bumped on any change to the arrays or their meaning
    std::size_t sections;
    std::string_view name;  // in messages: "library index", ...
};

// "<name> file is damaged: <what>".
Error damaged(const FileKind& kind, std::string_view what);

// A saved object lists its arrays once, in file order, as a Layout with
// `static constexpr FileKind kFile`, `static void each_array(Object&, Fn)`,
// `static Status validate(const Object&)` and `static void keep(Object&,
// std::shared_ptr<const void>)`; these write, read and size them all.

template <typename Layout, typename Object>
std::string write_saved(const Object& object) {
    SectionWriter w;
    Layout::each_array(const_cast<Object&>(object), [&](const auto& array) { w.add(array); });
    return w.finish(Layout::kFile.magic, Layout::kFile.version);
}

// Points every array of `object` at its section of `reader`.
template <typename Layout, typename Object>
Status read_sections(const SectionReader& reader, Object& object) {
    std::size_t k = 0;
    std::optional<Error> failure;
    Layout::each_array(object, [&](auto& array) {
        using T = std::remove_cv_t<std::remove_reference_t<decltype(*array.data())>>;
        Result<FlatArray<T>> a = reader.template array<T>(k++);
        if (!a) {
            if (!failure) failure = a.error();
            return;
        }
        array = std::move(a).value();
    });
    if (failure) return std::move(*failure);
    return ok_status();
}

// `object` (made empty) with its arrays viewing the sections of `bytes`,
// which `keep` keeps alive: after the header, the section table and the
// checksum, Layout::validate checks every count, offset and id in them
// against the arrays they size or index, before anything reads through them.
template <typename Layout, typename Object>
Result<Object> read_saved(std::string_view bytes, std::shared_ptr<const void> keep, Object object) {
    const FileKind& kind = Layout::kFile;
    bytes = aligned_bytes(bytes, keep);
    Result<SectionReader> reader = SectionReader::open(bytes, kind.magic, kind.version, kind.sections, kind.name);
    if (!reader) return std::move(reader).error();
    if (Status read = read_sections<Layout>(reader.value(), object); !read) return damaged(kind, read.error().message());
    if (Status valid = Layout::validate(object); !valid) return std::move(valid).error();
    Layout::keep(object, std::move(keep));
    return object;
}

// Bytes held on the heap (not in a mapping).
template <typename Layout, typename Object>
std::size_t owned_section_bytes(const Object& object) {
    std::size_t total = 0;
    Layout::each_array(const_cast<Object&>(object), [&](const auto& array) { total += array.owned_bytes(); });
    return total;
}

// Bytes of all the arrays' data, owned or read from a file.
template <typename Layout, typename Object>
std::size_t section_data_bytes(const Object& object) {
    std::size_t total = 0;
    Layout::each_array(const_cast<Object&>(object),
                       [&](const auto& array) { total += array.size() * sizeof(*array.data()); });
    return total;
}

}  // namespace zemo
