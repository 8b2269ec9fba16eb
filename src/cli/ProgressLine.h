// The text kt-flash-cli shows on standard error while a step sends its data
// and once an operation has ended: plain strings, no terminal calls.
#pragma once

#include <string>

namespace kt::cli {

struct ProgressState {
    std::string step;  // "core image", "media image"
    long long bytesDone = 0;
    long long bytesTotal = 0;   // 0: not known
    double elapsedSeconds = 0;  // since the step's first block
    std::string prefix;         // "" or "/dev/ttyUSB0: " when several devices run at once
};

// One line without a line end, at most `columns` characters wide (UTF-8 code
// points, each taken as one cell), e.g.
//   media image  [##########             ]   46%  0.7/1.5 MiB  72.0 KiB/s  0:11 left
// The prefix and the step come first and are cut short, ending in "…", only
// when they alone are too wide. Then, each as room allows and in this order:
// the percentage, bytes done of the total, the speed, the time left; the bar
// takes whatever room is still free. The speed and the time left appear
// once half a second has passed and data has been sent; a time left beyond
// 99:59 is not shown. A step of unknown size shows the bytes done and the
// speed only.
// A Windows console moves to the next line as soon as its last column is
// written, which breaks a "\r" redraw: give it one column less than it has.
std::string FormatProgressLine(const ProgressState& state, int columns);

// The closing line of an operation, without a line end:
//   kt-flash-cli: update done: 1.5 MiB in 17.3 s, 88.8 KiB/s
//   kt-flash-cli: update failed after 12.0 s (312.0 KiB sent)
// An operation that sent nothing names no size ("kt-flash-cli: time done in
// 0.4 s"); a minute or more reads m:ss ("in 2:05").
std::string FormatSummaryLine(const std::string& operation, bool ok, long long bytes, double seconds);

}  // namespace kt::cli
