// Reads a text file line by line, streaming, with a bound on what one line may
// cost: only the first `keep` bytes of a line are held, its full length is counted.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

// CR and LF each end a line.
inline bool IsLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

struct TextLine {
    std::string_view text;   // the first min(length, keep) bytes of the line
    std::size_t length = 0;  // the line's full length, line end excluded

    bool Equals(std::string_view s) const { return length == s.size() && text == s; }
};

class LineReader {
public:
    enum class Status { Line, End, Error };

    // Opens `path` for reading; IsOpen() tells whether that worked. A folder
    // never opens. With `ctrlZEnds` a byte 0x1A ends the file, as it does for
    // DOS text files. CR LF, a bare LF and a bare CR each end a line.
    LineReader(const std::string& path, std::size_t keep, bool ctrlZEnds);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool IsOpen() const { return file_ != nullptr; }

    // True when nothing but the end of the file (or 0x1A) is left.
    // False after a read error, so that the next Read reports it.
    bool AtEnd();

    // The next line; its text stays valid until the next call.
    Status Read(TextLine& line);

    // The unread bytes already read from the file, refilled first when none
    // are left; empty at the end of the file and after a read error. A caller
    // that finds a whole line in them takes it with TakeLine instead of Read.
    std::string_view Buffered();
    // Takes the first `length` bytes of Buffered() as a line; the byte after
    // them must be in Buffered() and be a CR or an LF, which ends the line.
    void TakeLine(std::size_t length);

private:
    bool Fill();  // false at the end of the file or on an error
    void SkipPendingLf();

    std::FILE* file_ = nullptr;
    std::size_t keep_;
    bool ctrlZEnds_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool error_ = false;
    bool pendingLf_ = false;  // the last line ended with CR: a following LF belongs to it
    std::string carry_;       // a line that spans refills
};

}  // namespace kt
