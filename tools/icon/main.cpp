// kt-make-icon: writes the program's icon from the toolbar artwork.
//   kt-make-icon OUT.ico             the Windows icon (16, 32 and 48 pixels)
//   kt-make-icon --png SIZE OUT.png  the icon SIZE pixels wide, SIZE a multiple of 16
//   kt-make-icon --svg OUT.svg       the icon as a scalable picture
#include "IconFile.h"

#include <charconv>
#include <fstream>
#include <iostream>
#include <string_view>

namespace {

constexpr const char* kUsage = "usage: kt-make-icon OUT.ico | --png SIZE OUT.png | --svg OUT.svg\n";

int Write(const char* path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "kt-make-icon: cannot write " << path << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (argc == 2 && !first.starts_with("--"))
        return Write(argv[1], kt::icon::ProgramIcon());
    if (argc == 3 && first == "--svg")
        return Write(argv[2], kt::icon::SvgFile(kt::icon::ProgramArt()));
    if (argc == 4 && first == "--png") {
        const std::string_view text = argv[2];
        int size = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
        if (error == std::errc() && end == text.data() + text.size() && size >= 16 && size <= 256 && size % 16 == 0)
            return Write(argv[3], kt::icon::PngFile(kt::icon::Enlarged(kt::icon::ProgramArt(), size / 16)));
    }
    std::cerr << kUsage;
    return 2;
}
