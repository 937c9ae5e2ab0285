#pragma once
// A file read from start to end in pieces, for sources that cannot be mapped
// (a pipe, standard input): the bytes not yet handed back stay in a window
// that holds at most what the reader keeps plus one piece.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo::parser {

class StreamedFile {
public:
    // The file at `path` opened to be read in pieces when it is a pipe (or
    // a socket), which cannot be mapped; nothing for any other file, or one
    // that cannot be opened (MappedFile::open says why).
    static std::optional<StreamedFile> open_unmappable(const std::string& path);

    // Takes `fd` (open for reading, a pipe or any file), closed with the
    // object. Pieces of `piece` bytes, or with 0 of kDefaultPiece unless
    // ZEMO_ETL_DUMP_PIECE_BYTES sets another (tests cut statements with tiny
    // pieces).
    StreamedFile(int fd, std::string path, std::size_t piece = 0);
    StreamedFile(StreamedFile&& other) noexcept;
    StreamedFile& operator=(StreamedFile&&) = delete;
    StreamedFile(const StreamedFile&) = delete;
    StreamedFile& operator=(const StreamedFile&) = delete;
    ~StreamedFile();

    // The bytes from offset base() of the file that are held now.
    std::string_view window() const noexcept { return {buffer_.data() + start_, buffer_.size() - start_}; }
    std::size_t base() const noexcept { return base_; }
    bool ended() const noexcept { return ended_; }
    std::size_t piece() const noexcept { return piece_; }

    // Drops the window's bytes before `keep_from` and appends the next piece
    // (fewer bytes at the end of the file; none once ended()). Waiting for
    // data polls for interruption; a read error is "cannot read <path>".
    Result<bool> refill(std::size_t keep_from);

    static constexpr std::size_t kDefaultPiece = std::size_t{1} << 20;

private:
    int fd_ = -1;
    std::string path_;
    std::string buffer_;
    std::size_t start_ = 0;  // where the window begins in buffer_
    std::size_t base_ = 0;   // the file offset of the window's first byte
    std::size_t piece_ = kDefaultPiece;
    bool ended_ = false;
};

}  // namespace zemo::parser
