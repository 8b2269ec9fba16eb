#include "cli/ProgressLine.h"
#include "platform/Console.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace kt::cli {
namespace {

constexpr long long kKiB = 1024;
constexpr long long kMiB = 1024 * 1024;
constexpr long long kHuge = std::numeric_limits<long long>::max();

// Characters as a terminal counts them: UTF-8 code points.
int Width(const std::string& text)
{
    return static_cast<int>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool IsValidUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// ---- Any state at any width ----------------------------------------------

struct StateRow {
    std::string name;
    ProgressState state;
    // What the line shows after the prefix and the step, most important
    // first, each as it reads when shown.
    std::vector<std::string> parts;
    // What the line must never show for this state.
    std::vector<std::string> never;
};

std::ostream& operator<<(std::ostream& os, const StateRow& row)
{
    return os << row.name;
}

const std::string kCyrillicPrefix = "Прошивочный стенд №3, порт /dev/ttyUSB0: ";

const StateRow kStates[] = {
    {"Start", {"core image", 0, 3 * kMiB / 2, 0.0, ""}, {"  0%", "0.0/1.5 MiB"}, {"KiB/s", "left"}},
    {"Middle",
     {"media image", 720 * kKiB, 1536 * kKiB, 10.0, ""},
     {" 46%", "0.7/1.5 MiB", "72.0 KiB/s", "0:11 left"},
     {}},
    {"Done",
     {"core image", 3 * kMiB / 2, 3 * kMiB / 2, 17.3, ""},
     {"100%", "1.5/1.5 MiB", "88.8 KiB/s", "0:00 left"},
     {}},
    {"ZeroTotal", {"media image", 312 * kKiB, 0, 4.0, ""}, {"312.0 KiB", "78.0 KiB/s"}, {"%", "[", "left"}},
    {"HugeSizes",
     {"media image", kHuge / 3, kHuge, 1000.0, ""},
     {" 33%", "2932031007402.7/8796093022208.0 MiB", "3002399751580.3 KiB/s", "33:20 left"},
     {}},
    {"LongCyrillicPrefix",
     {"media image", 720 * kKiB, 1536 * kKiB, 10.0, kCyrillicPrefix},
     {" 46%", "0.7/1.5 MiB", "72.0 KiB/s", "0:11 left"},
     {}},
};

class ProgressLineFit : public ::testing::TestWithParam<std::tuple<int, StateRow>> {};

TEST_P(ProgressLineFit, KeepsToTheWidthAndDropsTheLeastImportantFirst)
{
    const auto& [columns, row] = GetParam();
    const std::string line = FormatProgressLine(row.state, columns);
    SCOPED_TRACE("line: \"" + line + "\"");

    EXPECT_LE(Width(line), columns);
    EXPECT_TRUE(IsValidUtf8(line));
    for (const char* nonsense : {"nan", "inf", "-"})
        EXPECT_FALSE(Contains(line, nonsense)) << nonsense;
    for (const auto& part : row.never)
        EXPECT_FALSE(Contains(line, part)) << part;

    const std::string head = row.state.prefix + row.state.step;
    if (Width(head) <= columns) {
        EXPECT_EQ(line.substr(0, head.size()), head);
    } else {
        // Cut short: the start kept, the cut marked, the whole width used.
        const std::string ellipsis = "\u2026";
        ASSERT_GE(line.size(), ellipsis.size());
        EXPECT_EQ(line.substr(line.size() - ellipsis.size()), ellipsis);
        EXPECT_EQ(head.substr(0, line.size() - ellipsis.size()), line.substr(0, line.size() - ellipsis.size()));
        EXPECT_EQ(Width(line), columns);
    }

    for (std::size_t i = 0; i < row.parts.size(); ++i) {
        const auto& part = row.parts[i];
        if (Contains(line, part))
            continue;
        // Left out only for want of room, and never in favour of a less
        // important part at least as wide.
        EXPECT_GT(Width(line) + 2 + Width(part), columns) << part << " would have fit";
        for (std::size_t j = i + 1; j < row.parts.size(); ++j) {
            if (Contains(line, row.parts[j])) {
                EXPECT_LT(Width(row.parts[j]), Width(part)) << row.parts[j] << " shown instead of " << part;
            }
        }
    }

    // The bar takes what is left, filled in proportion.
    const auto open = line.find('[');
    if (open != std::string::npos) {
        const auto close = line.find(']', open);
        ASSERT_NE(close, std::string::npos);
        const auto cells = static_cast<long long>(close - open - 1);
        const auto filled = std::count(line.begin() + static_cast<std::ptrdiff_t>(open), line.end(), '#');
        const long long done = std::min(row.state.bytesDone, row.state.bytesTotal);
        EXPECT_EQ(filled, static_cast<long long>(static_cast<double>(done) * static_cast<double>(cells) /
                                                 static_cast<double>(row.state.bytesTotal)));
        EXPECT_EQ(Width(line), columns);
    }
}

INSTANTIATE_TEST_SUITE_P(WidthsAndStates, ProgressLineFit,
                         ::testing::Combine(::testing::Values(20, 40, 60, 80, 200), ::testing::ValuesIn(kStates)),
                         [](const auto& info) {
                             return std::get<1>(info.param).name + "_" + std::to_string(std::get<0>(info.param));
                         });

TEST(ProgressLine, ReadsAsAUserSeesIt)
{
    const ProgressState middle{"media image", 720 * kKiB, 1536 * kKiB, 10.0, ""};
    EXPECT_EQ(FormatProgressLine(middle, 80),
              "media image  [##########             ]   46%  0.7/1.5 MiB  72.0 KiB/s  0:11 left");
    EXPECT_EQ(FormatProgressLine(middle, 40), "media image  [##    ]   46%  0.7/1.5 MiB");
    const ProgressState severalDevices{"core image", 2 * kKiB, 600 * kKiB, 0.1, "/dev/ttyUSB1: "};
    EXPECT_EQ(FormatProgressLine(severalDevices, 60), "/dev/ttyUSB1: core image  [         ]    0%    2.0/600.0 KiB");
    EXPECT_EQ(FormatProgressLine(severalDevices, 20), "/dev/ttyUSB1: core …");
}

// ---- Percent, speed and time left ----------------------------------------

struct RateRow {
    std::string name;
    long long done;
    long long total;
    double elapsed;
    std::string percent;  // "": none shown
    std::string speed;
    std::string left;
};

std::ostream& operator<<(std::ostream& os, const RateRow& row)
{
    return os << row.name;
}

class ProgressLineRate : public ::testing::TestWithParam<RateRow> {};

TEST_P(ProgressLineRate, ShowsOnlyWhatTheDataSoFarSupports)
{
    const auto& row = GetParam();
    const std::string line = FormatProgressLine({"core image", row.done, row.total, row.elapsed, ""}, 200);
    SCOPED_TRACE("line: \"" + line + "\"");
    for (const char* nonsense : {"nan", "inf", "-"})
        EXPECT_FALSE(Contains(line, nonsense)) << nonsense;

    if (row.percent.empty())
        EXPECT_FALSE(Contains(line, "%"));
    else
        EXPECT_TRUE(Contains(line, " " + row.percent));
    if (row.speed.empty())
        EXPECT_FALSE(Contains(line, "KiB/s"));
    else
        EXPECT_TRUE(Contains(line, "  " + row.speed + " KiB/s"));
    if (row.left.empty())
        EXPECT_FALSE(Contains(line, "left"));
    else
        EXPECT_TRUE(Contains(line, "  " + row.left + " left"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressLineRate,
    ::testing::Values(RateRow{"HalfDoneInTenSeconds", 512 * kKiB, kMiB, 10.0, "50%", "51.2", "0:10"},
                      RateRow{"QuarterDoneInAMinute", 256 * kKiB, kMiB, 60.0, "25%", "4.3", "3:00"},
                      RateRow{"TooEarlyToTell", 4 * kKiB, kMiB, 0.2, "0%", "", ""},
                      RateRow{"NothingSentYet", 0, kMiB, 3.0, "0%", "", ""},
                      RateRow{"Finished", kMiB, kMiB, 8.0, "100%", "128.0", "0:00"},
                      RateRow{"MoreThanTheTotal", 1100000, kMiB, 8.0, "100%", "134.3", "0:00"},
                      RateRow{"AlmostDoneIsNotAHundred", 999, 1000, 0.0, "99%", "", ""},
                      RateRow{"TwentyNineIsNotTwentyEight", 29, 100, 0.0, "29%", "", ""},
                      RateRow{"LongestTimeLeftShown", kKiB, 6000 * kKiB, 1.0, "0%", "1.0", "99:59"},
                      RateRow{"LongerTimeLeftNotShown", kKiB, 6001 * kKiB, 1.0, "0%", "1.0", ""},
                      RateRow{"UnknownTotal", 100 * kKiB, 0, 2.0, "", "50.0", ""},
                      RateRow{"NegativeTotal", 100 * kKiB, -5, 2.0, "", "50.0", ""},
                      RateRow{"NegativeDone", -100, kMiB, 5.0, "0%", "", ""},
                      RateRow{"NegativeElapsed", kKiB, 2 * kKiB, -5.0, "50%", "", ""},
                      RateRow{"ElapsedNotANumber", kKiB, 2 * kKiB, std::nan(""), "50%", "", ""},
                      RateRow{"ElapsedInfinite", kKiB, 2 * kKiB, std::numeric_limits<double>::infinity(), "50%", "",
                              ""}),
    [](const auto& info) { return info.param.name; });

// ---- The closing line ----------------------------------------------------

struct SummaryRow {
    std::string name;
    std::string operation;
    bool ok;
    long long bytes;
    double seconds;
    std::string expected;
};

std::ostream& operator<<(std::ostream& os, const SummaryRow& row)
{
    return os << row.name;
}

class SummaryLine : public ::testing::TestWithParam<SummaryRow> {};

TEST_P(SummaryLine, TellsTheOutcomeTheSizeAndTheTime)
{
    const auto& row = GetParam();
    EXPECT_EQ(FormatSummaryLine(row.operation, row.ok, row.bytes, row.seconds), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SummaryLine,
    ::testing::Values(
        SummaryRow{"UpdateDone", "update", true, 3 * kMiB / 2, 17.3,
                   "kt-flash-cli: update done: 1.5 MiB in 17.3 s, 88.8 KiB/s"},
        SummaryRow{"UpdateFailedPartWay", "update", false, 312 * kKiB, 12.0,
                   "kt-flash-cli: update failed after 12.0 s (312.0 KiB sent)"},
        SummaryRow{"FailedBeforeSending", "update", false, 0, 0.4, "kt-flash-cli: update failed after 0.4 s"},
        SummaryRow{"DoneWithoutData", "time", true, 0, 0.4, "kt-flash-cli: time done in 0.4 s"},
        SummaryRow{"TooQuickForASpeed", "update", true, 2 * kKiB, 0.01, "kt-flash-cli: update done: 2.0 KiB in 0.0 s"},
        SummaryRow{"MinutesReadAsMinutes", "update", true, 12 * kMiB, 125.0,
                   "kt-flash-cli: update done: 12.0 MiB in 2:05, 98.3 KiB/s"},
        SummaryRow{"AlmostAMinuteIsOne", "update", true, 6 * kMiB, 59.96,
                   "kt-flash-cli: update done: 6.0 MiB in 1:00, 102.5 KiB/s"},
        SummaryRow{"JustUnderAMebibyte", "update", true, kMiB - 1, 10.0,
                   "kt-flash-cli: update done: 1.0 MiB in 10.0 s, 102.4 KiB/s"},
        SummaryRow{"NonsenseInputs", "update", false, -5, std::nan(""), "kt-flash-cli: update failed after 0.0 s"},
        SummaryRow{"HugeSize", "update", true, kHuge, 1e6,
                   "kt-flash-cli: update done: 8796093022208.0 MiB in 16666:40, 9007199254.7 KiB/s"}),
    [](const auto& info) { return info.param.name; });

// ---- The terminal's width ------------------------------------------------

// Standard error goes to `fd` while this lives.
class StandardErrorTo {
public:
    explicit StandardErrorTo(int fd) : saved_(::dup(STDERR_FILENO)) { ::dup2(fd, STDERR_FILENO); }
    ~StandardErrorTo()
    {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    StandardErrorTo(const StandardErrorTo&) = delete;
    StandardErrorTo& operator=(const StandardErrorTo&) = delete;

private:
    int saved_;
};

// A pseudo-terminal that tells `columns` as its width (0: none).
class Pty {
public:
    explicit Pty(unsigned short columns)
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        terminal_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        winsize size{};
        size.ws_row = columns == 0 ? 0 : 24;
        size.ws_col = columns;
        ::ioctl(master_, TIOCSWINSZ, &size);
    }
    ~Pty()
    {
        for (int fd : {terminal_, master_})
            if (fd >= 0)
                ::close(fd);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Terminal() const { return terminal_; }

private:
    int master_ = -1;
    int terminal_ = -1;
};

// $COLUMNS as given (unset for nullopt) while this lives.
class ColumnsVariable {
public:
    explicit ColumnsVariable(const std::optional<std::string>& value)
    {
        if (const char* old = ::getenv("COLUMNS"))
            saved_ = old;
        if (value)
            ::setenv("COLUMNS", value->c_str(), 1);
        else
            ::unsetenv("COLUMNS");
    }
    ~ColumnsVariable()
    {
        if (saved_)
            ::setenv("COLUMNS", saved_->c_str(), 1);
        else
            ::unsetenv("COLUMNS");
    }
    ColumnsVariable(const ColumnsVariable&) = delete;
    ColumnsVariable& operator=(const ColumnsVariable&) = delete;

private:
    std::optional<std::string> saved_;
};

struct ColumnsRow {
    std::string name;
    unsigned short terminalColumns;  // 0: the terminal tells none
    std::optional<std::string> variable;
    int expected;
};

std::ostream& operator<<(std::ostream& os, const ColumnsRow& row)
{
    return os << row.name;
}

class TerminalWidth : public ::testing::TestWithParam<ColumnsRow> {};

TEST_P(TerminalWidth, FollowsTheTerminalThenColumnsThenEighty)
{
    const auto& row = GetParam();
    Pty pty(row.terminalColumns);
    ASSERT_GE(pty.Terminal(), 0);
    ColumnsVariable variable(row.variable);
    StandardErrorTo redirect(pty.Terminal());
    EXPECT_EQ(platform::TerminalColumns(platform::StandardStream::Error), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TerminalWidth,
                         ::testing::Values(ColumnsRow{"TerminalWidthWins", 132, "50", 132},
                                           ColumnsRow{"UnsizedTerminalTakesColumns", 0, "100", 100},
                                           ColumnsRow{"UnsizedTerminalWithoutColumns", 0, std::nullopt, 80},
                                           ColumnsRow{"ColumnsNotANumber", 0, "wide", 80},
                                           ColumnsRow{"ColumnsZero", 0, "0", 80}),
                         [](const auto& info) { return info.param.name; });

TEST(TerminalWidthOfAPipe, IsZero)
{
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    {
        ColumnsVariable variable(std::string("100"));
        StandardErrorTo redirect(pipe[1]);
        EXPECT_EQ(platform::TerminalColumns(platform::StandardStream::Error), 0);
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
}

}  // namespace
}  // namespace kt::cli
