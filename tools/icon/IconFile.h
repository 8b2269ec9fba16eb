// The program's icon, made from the same XPM artwork as the toolbar: a
// Windows .ico file (the Windows build embeds src/app_win32/kt-flash.ico,
// which kt-make-icon writes and a test keeps equal to the artwork), and the
// PNG and SVG files of the desktop's icon theme.
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

// The lightning bolt alone, 16 x 16.
XpmImage ProgramArt();

// `image` as a PNG file: 8-bit RGBA, not compressed (stored deflate blocks).
std::string PngFile(const XpmImage& image);

// `image` as an SVG file: one square per opaque pixel, drawn with crisp edges.
std::string SvgFile(const XpmImage& image);

}  // namespace kt::icon
