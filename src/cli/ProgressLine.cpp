#include "cli/ProgressLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kt::cli {
namespace {

constexpr double kKiB = 1024.0;
constexpr double kMiB = 1024.0 * 1024.0;

// The first block's time alone says nothing about the speed.
constexpr double kMinSecondsForSpeed = 0.5;
// Beyond this the estimate of a stalled or crawling transfer is noise.
constexpr long long kMaxSecondsLeft = 99 * 60 + 59;
// A bar narrower than this shows nothing a percentage does not.
constexpr int kMinBarCells = 5;

const std::string kSeparator = "  ";
const std::string kEllipsis = "\u2026";

bool IsContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

int Width(const std::string& text)
{
    return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuationByte(c); }));
}

// `text` cut to `columns` characters, its last one "…" when anything was cut.
std::string Shorten(const std::string& text, int columns)
{
    if (Width(text) <= columns)
        return text;
    if (columns <= 0)
        return {};
    int kept = 0;
    std::size_t end = 0;
    while (end < text.size()) {
        if (!IsContinuationByte(text[end]) && kept++ == columns - 1)
            break;
        ++end;
    }
    return text.substr(0, end) + kEllipsis;
}

// One decimal, always with a point: the user's locale does not reach here.
std::string OneDecimal(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    return std::string(buffer, result.ptr);
}

// A size below a mebibyte (as rounded) counts in KiB, a larger one in MiB.
bool InMebibytes(long long bytes)
{
    return std::round(static_cast<double>(bytes) / kKiB * 10) >= 1024 * 10;
}

std::string Size(long long bytes)
{
    return InMebibytes(bytes) ? OneDecimal(static_cast<double>(bytes) / kMiB) + " MiB"
                              : OneDecimal(static_cast<double>(bytes) / kKiB) + " KiB";
}

// "0.7/1.5 MiB": the amount done in the total's unit, padded to its width so
// that the line keeps its layout while the count grows.
std::string SizeOfTotal(long long done, long long total)
{
    const double unit = InMebibytes(total) ? kMiB : kKiB;
    const std::string totalText = OneDecimal(static_cast<double>(total) / unit);
    std::string doneText = OneDecimal(static_cast<double>(done) / unit);
    if (doneText.size() < totalText.size())
        doneText.insert(0, totalText.size() - doneText.size(), ' ');
    return doneText + "/" + totalText + (unit == kMiB ? " MiB" : " KiB");
}

std::string MinutesAndSeconds(long long seconds)
{
    const long long rest = seconds % 60;
    return std::to_string(seconds / 60) + (rest < 10 ? ":0" : ":") + std::to_string(rest);
}

std::string Duration(double seconds)
{
    if (std::round(seconds * 10) < 60 * 10)
        return OneDecimal(seconds) + " s";
    return MinutesAndSeconds(std::llround(seconds));
}

// Seconds as given, or 0 for a negative, infinite or missing value.
double ValidSeconds(double seconds)
{
    return std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
}

struct Piece {
    std::string text;
    bool shown = false;
};

}  // namespace

std::string FormatProgressLine(const ProgressState& state, int columns)
{
    const long long done = std::max(state.bytesDone, 0LL);
    const long long total = std::max(state.bytesTotal, 0LL);
    const double elapsed = ValidSeconds(state.elapsedSeconds);
    const bool sized = total > 0;
    // Of a hundred and of the bar's cells: 29 of 100 bytes is 29 %, where
    // 29.0 / 100 * 100 would be a hair below it.
    auto share = [&](int whole) {
        return static_cast<int>(
            std::floor(static_cast<double>(std::min(done, total)) * whole / static_cast<double>(total)));
    };

    Piece bar, percent, bytes, speed, left;
    if (sized) {
        const int whole = share(100);
        percent.text = (whole < 10 ? "  " : whole < 100 ? " " : "") + std::to_string(whole) + "%";
        bytes.text = SizeOfTotal(done, total);
    } else {
        bytes.text = Size(done);
    }
    if (elapsed >= kMinSecondsForSpeed && done > 0) {
        const double bytesPerSecond = static_cast<double>(done) / elapsed;
        speed.text = OneDecimal(bytesPerSecond / kKiB) + " KiB/s";
        if (sized) {
            const double secondsLeft = static_cast<double>(total - std::min(done, total)) / bytesPerSecond;
            if (secondsLeft < static_cast<double>(kMaxSecondsLeft) + 0.5)
                left.text = MinutesAndSeconds(std::llround(secondsLeft)) + " left";
        }
    }

    const std::string head = Shorten(state.prefix + state.step, columns);
    const int separator = Width(kSeparator);
    int used = Width(head);
    for (Piece* piece : {&percent, &bytes, &speed, &left}) {
        if (piece->text.empty())
            continue;
        const int cost = (used > 0 ? separator : 0) + Width(piece->text);
        if (used + cost > columns)
            continue;
        piece->shown = true;
        used += cost;
    }
    const int barRoom = columns - used - (used > 0 ? separator : 0);
    if (sized && barRoom >= kMinBarCells + 2) {
        const int cells = barRoom - 2;
        const int filled = share(cells);
        bar.text = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                   std::string(static_cast<std::size_t>(cells - filled), ' ') + "]";
        bar.shown = true;
    }

    std::string line = head;
    for (const Piece* piece : {&bar, &percent, &bytes, &speed, &left}) {
        if (!piece->shown)
            continue;
        if (!line.empty())
            line += kSeparator;
        line += piece->text;
    }
    return line;
}

std::string FormatSummaryLine(const std::string& operation, bool ok, long long bytes, double seconds)
{
    seconds = ValidSeconds(seconds);
    bytes = std::max(bytes, 0LL);
    std::string line = "kt-flash-cli: " + operation;
    if (!ok) {
        line += " failed after " + Duration(seconds);
        if (bytes > 0)
            line += " (" + Size(bytes) + " sent)";
        return line;
    }
    line += " done";
    if (bytes > 0)
        line += ": " + Size(bytes);
    line += " in " + Duration(seconds);
    // A time shown as 0.0 s gives no speed worth printing.
    if (bytes > 0 && std::round(seconds * 10) > 0)
        line += ", " + OneDecimal(static_cast<double>(bytes) / seconds / kKiB) + " KiB/s";
    return line;
}

}  // namespace kt::cli
