#include "package/LineReader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kt {
namespace {

constexpr std::size_t kBufferSize = 256 * 1024;

// The first CR or LF in [begin, end), or end. Looks at eight bytes a step: a
// byte equal to CR or LF makes the matching lane of x ^ pattern zero, and the
// lowest lane flagged by the zero-byte test is always a true zero.
const char* FindLineEnd(const char* begin, const char* end)
{
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101u;
        constexpr std::uint64_t kHighs = 0x8080808080808080u;
        auto zeroLanes = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
        while (end - begin >= 8) {
            std::uint64_t x;
            std::memcpy(&x, begin, sizeof x);
            const std::uint64_t hits = zeroLanes(x ^ (kOnes * '\n')) | zeroLanes(x ^ (kOnes * '\r'));
            if (hits != 0)
                return begin + std::countr_zero(hits) / 8;
            begin += 8;
        }
    }
    return std::find_if(begin, end, IsLineEnd);
}

}  // namespace

LineReader::LineReader(const std::string& path, std::size_t keep, bool ctrlZEnds) : keep_(keep), ctrlZEnds_(ctrlZEnds)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ != nullptr) {
        std::setvbuf(file_, nullptr, _IONBF, 0);  // we buffer ourselves
        buffer_.resize(kBufferSize);
    }
}

LineReader::~LineReader()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

bool LineReader::Fill()
{
    if (pos_ < end_)
        return true;
    if (file_ == nullptr || eof_ || error_)
        return false;
    pos_ = 0;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    if (end_ == 0) {
        if (std::ferror(file_))
            error_ = true;
        else
            eof_ = true;
        return false;
    }
    if (ctrlZEnds_) {
        if (const void* z = std::memchr(buffer_.data(), 0x1A, end_)) {
            end_ = static_cast<std::size_t>(static_cast<const char*>(z) - buffer_.data());
            eof_ = true;  // nothing after the 0x1A counts
            return end_ > 0;
        }
    }
    return true;
}

void LineReader::SkipPendingLf()
{
    if (pendingLf_ && Fill()) {
        if (buffer_[pos_] == '\n')
            ++pos_;
        pendingLf_ = false;
    }
}

bool LineReader::AtEnd()
{
    SkipPendingLf();
    if (Fill())
        return false;
    return !error_;
}

LineReader::Status LineReader::Read(TextLine& line)
{
    SkipPendingLf();
    carry_.clear();
    std::size_t length = 0;
    bool any = false;
    while (Fill()) {
        any = true;
        const char* begin = buffer_.data() + pos_;
        const char* stop = buffer_.data() + end_;
        const char* eol = FindLineEnd(begin, stop);
        const auto piece = static_cast<std::size_t>(eol - begin);
        if (eol != stop && carry_.empty() && length == 0) {
            // The whole line sits in the buffer: hand it out without a copy.
            line.text = std::string_view(begin, std::min(piece, keep_));
            line.length = piece;
            pos_ += piece + 1;
            pendingLf_ = *eol == '\r';
            return Status::Line;
        }
        if (carry_.size() < keep_)
            carry_.append(begin, std::min(piece, keep_ - carry_.size()));
        length += piece;
        pos_ += piece;
        if (eol != stop) {
            ++pos_;
            pendingLf_ = *eol == '\r';
            break;
        }
    }
    if (error_)
        return Status::Error;
    if (!any)
        return Status::End;
    line.text = carry_;
    line.length = length;
    return Status::Line;
}

std::string_view LineReader::Buffered()
{
    SkipPendingLf();
    if (!Fill())
        return {};
    return {buffer_.data() + pos_, end_ - pos_};
}

void LineReader::TakeLine(std::size_t length)
{
    pendingLf_ = buffer_[pos_ + length] == '\r';
    pos_ += length + 1;
}

}  // namespace kt
