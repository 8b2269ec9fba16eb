// Makes a package from a compiler's output: reads the images, refuses a layout
// that cannot be packaged, writes the package beside its target, opens it with
// the program's own package loader and compares what it loads with the inputs,
// and only then puts it in the target's place.
#pragma once

#include "FirmwareImage.h"
#include "PackageWriter.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace kt::gen {

// Writing or checking the package failed; nothing was left behind.
class PackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Gaps of more than this much separate regions of an image's data. An image
// whose filler (0xFF where no data is, from address 0 of the image to its
// end) is larger than this and more than three quarters of the image has a
// far region and is refused: most of its package would be filler.
inline constexpr Address kFarGap = 64 * 1024;

struct ImageInput {
    std::string path;
    enum class Base { Zero, Lowest, Given } base = Base::Zero;
    Address baseAddress = 0;  // with Base::Given
    // Only the bytes at these addresses of the file, both ends included.
    std::optional<std::pair<Address, Address>> keep;
};

struct PackageRequest {
    std::string target;
    ImageInput core;
    std::optional<ImageInput> flash;
    // Header texts (UTF-8), device and record size; the images and their sizes are filled in.
    PackageContent content;
};

using NoteSink = std::function<void(const std::string&)>;

// The image of `input`, read, cut, moved and checked as described above.
// Throws ImageError.
FirmwareImage PrepareImage(const ImageInput& input, const char* role, const NoteSink& note);

// Throws ImageError for an input that cannot be packaged and PackageError
// when the package cannot be written or does not read back as made.
void MakePackage(const PackageRequest& request, const NoteSink& note);

// Writes `content` into a new file in the target's folder, calls `check` with
// its path, and renames it over `target`. Whatever fails (`check` throwing
// too), no file is left behind and `target` is as it was. Throws PackageError.
void WritePackageInPlace(const std::string& target, const PackageContent& content,
                         const std::function<void(const std::string&)>& check);

}  // namespace kt::gen
