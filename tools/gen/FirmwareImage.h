// A compiler's output as the data it places at addresses: read from an Intel
// HEX file or a raw binary, cut to a range of addresses, moved to address 0,
// and laid out as the byte image a package carries.
#pragma once

#include "PackageWriter.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kt::gen {

// An input that cannot be read, or a layout that cannot be packaged; the
// message says which and why, ready for standard error.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Addresses are 64-bit: a HEX record near the top of the 32-bit space may
// reach past it, and the arithmetic below never wraps.
using Address = std::uint64_t;

struct Segment {
    Address address = 0;
    Bytes bytes;

    Address End() const { return address + bytes.size(); }
};

// Data that lies close together: segments joined across gaps of at most the
// joining distance, with how many bytes of data they hold.
struct Region {
    Address first = 0;
    Address last = 0;  // inclusive
    std::uint64_t dataBytes = 0;
};

class FirmwareImage {
public:
    FirmwareImage() = default;
    // Any order, overlaps allowed only where they agree; throws ImageError
    // naming `source` otherwise. Touching segments are joined.
    FirmwareImage(std::vector<Segment> segments, const std::string& source);

    // Sorted, disjoint and never touching.
    const std::vector<Segment>& Segments() const { return segments_; }
    bool Empty() const { return segments_.empty(); }
    std::uint64_t DataBytes() const;
    Address Lowest() const;  // 0 for an empty image
    Address End() const;     // one past the highest byte; 0 for an empty image

    // Keeps only the bytes at `first`..`last` (both included).
    void Keep(Address first, Address last);
    // Moves every byte down by `base`; throws ImageError when data lies below it.
    void Rebase(Address base, const std::string& source);

    std::vector<Region> Regions(Address joinGap) const;

    // The bytes from address 0 to End(), 0xFF where no data is; the caller
    // bounds End() first. `size` (at least End()) pads the image further with 0xFF.
    Bytes Flatten(std::size_t size) const;
    // True when `image` is exactly that: every byte of data in its place and
    // 0xFF everywhere else.
    bool Matches(const Bytes& image) const;

private:
    std::vector<Segment> segments_;
};

enum class InputFormat { IntelHex, Binary };

// Files named *.hex, *.ihex, *.ihx are Intel HEX and *.bin raw binary; any
// other file is Intel HEX when its first byte (after blank lines) is ':'.
InputFormat FormatOf(const std::string& path, std::string_view contents);

// The records of an Intel HEX text: types 00 (data), 01 (end), 02 (extended
// segment address), 03 and 05 (start addresses, dropped with a note), 04
// (extended linear address); digits of either case, lines ended by CR LF, LF
// or CR, blank lines and blanks at the ends of lines ignored. `source` names
// the input in messages. Throws ImageError with the line of the first fault.
FirmwareImage ReadIntelHex(std::string_view text, const std::string& source, std::vector<std::string>& notes);

struct InputFile {
    FirmwareImage image;
    InputFormat format = InputFormat::IntelHex;
};

// Reads `path` in the format FormatOf gives; a raw binary is data from address 0.
InputFile ReadFirmwareFile(const std::string& path, const std::string& source, std::vector<std::string>& notes);

// "0x0001FC00": eight digits at least, upper case.
std::string FormatAddress(Address address);

}  // namespace kt::gen
