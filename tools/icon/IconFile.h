// The program's icon as a Windows .ico file, made from the same XPM artwork
// as the toolbar: the Windows build embeds src/app_win32/kt-flash.ico, which
// kt-make-icon writes and a test keeps equal to the artwork.
#pragma once

#include "view/XpmImage.h"

#include <string>
#include <vector>

namespace kt::icon {

// `image` enlarged `scale` times, each pixel a square.
XpmImage Enlarged(const XpmImage& image, int scale);

// An .ico file with one 32-bit picture (colour with alpha, and the mask of
// its transparent pixels) for each of `images`, in that order. Sides of 1 to 256.
std::string IcoFile(const std::vector<XpmImage>& images);

// The program's icon: the lightning bolt at 16, 32 and 48 pixels.
std::string ProgramIcon();

}  // namespace kt::icon
