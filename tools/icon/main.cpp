// kt-make-icon: writes the program's Windows icon from the toolbar artwork.
//   kt-make-icon OUT.ico
#include "IconFile.h"

#include <fstream>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: kt-make-icon OUT.ico\n";
        return 2;
    }
    const std::string icon = kt::icon::ProgramIcon();
    std::ofstream out(argv[1], std::ios::binary);
    out.write(icon.data(), static_cast<std::streamsize>(icon.size()));
    out.close();
    if (!out) {
        std::cerr << "kt-make-icon: cannot write " << argv[1] << '\n';
        return 1;
    }
    return 0;
}
