// The record file holds whole lines only: a line broken by a crash is cut
// before the next is added, and threads appending at once never mix their
// lines.
#include "platform/RecordFile.h"

#include "RecordFileTest.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace kt::platform {
namespace {

namespace fs = std::filesystem;

class RecordFile : public ::testing::Test {
protected:
    std::string Path(const char* name) const { return (dir_.Path() / name).string(); }

    test::TempDir dir_;
};

TEST_F(RecordFile, CheckMakesAMissingFileThatLinesAreAddedTo)
{
    const std::string path = Path("records.jsonl");
    std::string error;
    ASSERT_TRUE(CheckAppendable(path, error)) << error;
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(Contents(path), "") << "checking writes nothing";
    ASSERT_TRUE(CheckAppendable(path, error)) << "an existing file: " << error;

    ASSERT_TRUE(AppendWholeLine(path, R"({"operation":"info"})", error)) << error;
    ASSERT_TRUE(AppendWholeLine(path, R"({"operation":"update"})", error)) << error;
    EXPECT_EQ(Contents(path), "{\"operation\":\"info\"}\n{\"operation\":\"update\"}\n");
}

TEST_F(RecordFile, ALineWithALineEndIsRefusedAndTheFileKept)
{
    const std::string path = Path("records.jsonl");
    std::string error;
    ASSERT_TRUE(AppendWholeLine(path, "first", error)) << error;
    EXPECT_FALSE(AppendWholeLine(path, "two\nlines", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Contents(path), "first\n");
}

// What a crash or a power loss left at the end of the file, and the file
// after the next line.
struct TailRow {
    const char* name;
    std::string before;
    std::string after;
};

class BrokenLastLine : public RecordFile, public ::testing::WithParamInterface<TailRow> {};

TEST_P(BrokenLastLine, IsCutBeforeTheNextLine)
{
    const std::string path = Path("records.jsonl");
    {
        std::ofstream out(path, std::ios::binary);
        out << GetParam().before;
    }
    std::string error;
    ASSERT_TRUE(AppendWholeLine(path, "new", error)) << error;
    EXPECT_EQ(Contents(path), GetParam().after);
}

// The tail is searched backwards in pieces: lines longer than a piece.
const std::string kLongLine(9000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Tails, BrokenLastLine,
    ::testing::Values(TailRow{"EmptyFile", "", "new\n"}, TailRow{"WholeLines", "a\nb\n", "a\nb\nnew\n"},
                      TailRow{"BrokenAfterWholeLines", "a\n{\"time\":\"2026", "a\nnew\n"},
                      TailRow{"OnlyABrokenLine", "{\"time\":\"2026", "new\n"},
                      TailRow{"LongBrokenLine", "a\n" + kLongLine, "a\nnew\n"},
                      TailRow{"BrokenAfterALongLine", kLongLine + "\n{\"ti", kLongLine + "\nnew\n"},
                      TailRow{"LongLineBrokenAtItsEnd", "a\n" + kLongLine + "\n" + kLongLine,
                              "a\n" + kLongLine + "\nnew\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Several device sessions of one program record at once.
TEST_F(RecordFile, ThreadsAppendingAtOnceLeaveWholeLines)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 100;
    const std::string path = Path("records.jsonl");
    // Lines long enough that a write could be split, each one different.
    auto lineOf = [](int thread, int n) {
        return "{\"thread\":" + std::to_string(thread) + ",\"n\":" + std::to_string(n) + ",\"pad\":\"" +
               std::string(static_cast<std::size_t>(200 + 37 * thread + n), 'a' + static_cast<char>(thread)) + "\"}";
    };
    std::vector<std::string> failures(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int n = 0; n < kLines; ++n) {
                    std::string error;
                    if (!AppendWholeLine(path, lineOf(t, n), error))
                        failures[static_cast<std::size_t>(t)] += error + "\n";
                }
            });
    }
    for (const std::string& failure : failures)
        EXPECT_EQ(failure, "");

    std::vector<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int n = 0; n < kLines; ++n)
            expected.push_back(lineOf(t, n));
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(SortedLines(path) == expected) << "lines were lost, mixed, doubled or broken";
}

// Where no record can be kept; the user learns it before the device is touched.
struct RefusedRow {
    const char* name;
    fs::path (*where)(const fs::path& dir);
};

class RefusedPath : public RecordFile, public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(RefusedPath, FailsTheCheckAndTheAppendWithAReason)
{
    const fs::path where = GetParam().where(dir_.Path());
    std::string error;
    EXPECT_FALSE(CheckAppendable(where.string(), error));
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find(where.string()), std::string::npos) << "the reason names the file: " << error;
    error.clear();
    EXPECT_FALSE(AppendWholeLine(where.string(), "line", error));
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find(where.string()), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir_.Path() / "missing")) << "no folder is made";
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedPath,
                         ::testing::Values(RefusedRow{"AFolder",
                                                      [](const fs::path& dir) {
                                                          fs::create_directory(dir / "records.jsonl");
                                                          return dir / "records.jsonl";
                                                      }},
                                           RefusedRow{
                                               "AFileInAMissingFolder",
                                               [](const fs::path& dir) { return dir / "missing" / "records.jsonl"; }},
                                           RefusedRow{"NoName", [](const fs::path&) { return fs::path(); }}),
                         [](const auto& info) { return std::string(info.param.name); });

// The name goes into every record as a JSON string: no terminating NUL of the
// system's buffer comes with it.
TEST(HostName, IsTheNameAlone)
{
    const std::string name = HostName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace kt::platform
