// File descriptors and memory pieces as byte sinks and sources.
#include "core/io/byte_stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace qm::io {

namespace {

[[noreturn]] void throw_errno(const char* call) { throw std::system_error(errno, std::generic_category(), call); }

}  // namespace

void FdSink::write(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::byte*>(data);
    while (n != 0) {
        const ssize_t wrote = ::write(fd_, p, n);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            throw_errno("write");
        }
        p += wrote;
        n -= static_cast<std::size_t>(wrote);
    }
}

FdSource::FdSource(int fd) : fd_(fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw_errno("fstat");
    if (!S_ISREG(st.st_mode)) return;
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && at <= st.st_size) left_ = static_cast<std::uint64_t>(st.st_size - at);
}

std::size_t FdSource::read(void* data, std::size_t n) {
    auto* p = static_cast<std::byte*>(data);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd_, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw_errno("read");
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    if (left_) *left_ -= std::min<std::uint64_t>(*left_, got);
    return got;
}

std::optional<std::uint64_t> FdSource::remaining() const { return left_; }

void PieceSink::small(const std::byte* data, std::size_t n) { pending_.insert(pending_.end(), data, data + n); }

void PieceSink::begin_section(std::uint64_t length) {
    // The small piece before the section is complete.
    Piece head{HugeArray<std::uint8_t>(pending_.size()), false};
    if (!pending_.empty()) std::memcpy(head.data.data(), pending_.data(), pending_.size());
    Piece body{HugeArray<std::uint8_t>(length), true};
    pieces_.reserve(pieces_.size() + 2);
    pieces_.push_back(std::move(head));
    pieces_.push_back(std::move(body));
    pending_.clear();
    section_left_ = length;
}

void PieceSink::write(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::byte*>(data);
    if (section_left_ != 0) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, section_left_));
        Piece& body = pieces_.back();
        std::memcpy(body.data.data() + (body.data.size() - section_left_), p, k);
        section_left_ -= k;
        p += k;
        n -= k;
    }
    if (n != 0) small(p, n);
}

std::vector<PieceSink::Piece> PieceSink::take() {
    if (!pending_.empty()) {
        Piece tail{HugeArray<std::uint8_t>(pending_.size()), false};
        std::memcpy(tail.data.data(), pending_.data(), pending_.size());
        pieces_.push_back(std::move(tail));
        pending_.clear();
    }
    return std::move(pieces_);
}

std::size_t PieceSource::read(void* data, std::size_t n) {
    auto* out = static_cast<std::byte*>(data);
    std::size_t got = 0;
    while (got < n && piece_ < pieces_.size()) {
        const std::span<const std::byte> piece = pieces_[piece_];
        const std::size_t k = std::min(n - got, piece.size() - offset_);
        if (k != 0) std::memcpy(out + got, piece.data() + offset_, k);
        got += k;
        offset_ += k;
        if (offset_ == piece.size()) {
            ++piece_;
            offset_ = 0;
        }
    }
    return got;
}

std::optional<std::uint64_t> PieceSource::remaining() const {
    std::uint64_t left = 0;
    for (std::size_t p = piece_; p < pieces_.size(); ++p) left += pieces_[p].size();
    return left - offset_;
}

}  // namespace qm::io
