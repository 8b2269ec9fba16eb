// The record file on Linux: permissions seen by a user without privileges,
// files that are not files, and other programs sharing the file through flock().
#include "platform/RecordFile.h"

#include "RecordFileTest.h"
#include "ChildProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace kt::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using kt::test::AsUnprivilegedUser;

// "accepted", or "refused" with a reason.
std::string Verdict(const fs::path& path)
{
    std::string error;
    if (CheckAppendable(path.string(), error))
        return "accepted";
    return error.empty() ? "refused without a reason" : "refused";
}

TEST(RecordFileAccess, WhatTheUserMayNotWriteIsRefused)
{
    test::TempDir dir;
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir.Path(), readOnly | fs::perms::owner_write);
    fs::create_directory(dir.Path() / "read-only");
    fs::permissions(dir.Path() / "read-only", readOnly);
    fs::create_directory(dir.Path() / "open");
    fs::permissions(dir.Path() / "open", fs::perms::all);
    std::ofstream(dir.Path() / "open" / "locked.jsonl") << "{}\n";
    fs::permissions(dir.Path() / "open" / "locked.jsonl",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    const std::string verdicts = AsUnprivilegedUser([&] {
        return Verdict(dir.Path() / "read-only" / "records.jsonl") + " " +
               Verdict(dir.Path() / "open" / "locked.jsonl") + " " + Verdict(dir.Path() / "open" / "records.jsonl");
    });
    fs::permissions(dir.Path() / "read-only", fs::perms::owner_all);
    EXPECT_EQ(verdicts, "refused refused accepted")
        << "a new file in a read-only folder, a read-only file, a new file in an open folder";
    EXPECT_FALSE(fs::exists(dir.Path() / "read-only" / "records.jsonl"));
    EXPECT_EQ(Contents(dir.Path() / "open" / "locked.jsonl"), "{}\n");
}

// A named pipe without a reader would block an open for writing for good.
TEST(RecordFileAccess, APipeIsRefusedWithoutWaitingForAReader)
{
    test::TempDir dir;
    const std::string path = (dir.Path() / "records.fifo").string();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::string error;
    EXPECT_FALSE(CheckAppendable(path, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(AppendWholeLine(path, "line", error));
}

// Another program appending holds flock(): the line waits for it, then follows
// the other program's line instead of landing inside it.
TEST(RecordFileAccess, WaitsWhileAnotherProgramHoldsTheLock)
{
    test::TempDir dir;
    const std::string path = (dir.Path() / "records.jsonl").string();
    const int other = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    ASSERT_EQ(::write(other, "{\"other\":", 9), 9);  // the other program's line, half written

    bool appended = false;
    std::string error;
    std::thread appender([&] { appended = AppendWholeLine(path, "{\"ours\":1}", error); });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Contents(path), "{\"other\":") << "the line was added while the lock was held";
    ASSERT_EQ(::write(other, "2}\n", 3), 3);
    ::flock(other, LOCK_UN);
    ::close(other);
    appender.join();
    EXPECT_TRUE(appended) << error;
    EXPECT_EQ(Contents(path), "{\"other\":2}\n{\"ours\":1}\n");
}

// Several programs record into one file (the window and a command line, or
// scripts running kt-flash-cli for several devices).
TEST(RecordFileAccess, ProcessesAppendingAtOnceLeaveWholeLines)
{
    constexpr int kProcesses = 3;
    constexpr int kLines = 100;
    test::TempDir dir;
    const std::string path = (dir.Path() / "records.jsonl").string();
    auto lineOf = [](int process, int n) {
        return "{\"process\":" + std::to_string(process) + ",\"n\":" + std::to_string(n) + ",\"pad\":\"" +
               std::string(static_cast<std::size_t>(300 + n), 'p') + "\"}";
    };
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = fork();
        if (child == 0) {
            for (int n = 0; n < kLines; ++n) {
                std::string error;
                if (!AppendWholeLine(path, lineOf(p, n), error))
                    _exit(1);
            }
            _exit(0);
        }
        ASSERT_GT(child, 0);
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "an append failed in a child";
    }

    std::vector<std::string> expected;
    for (int p = 0; p < kProcesses; ++p)
        for (int n = 0; n < kLines; ++n)
            expected.push_back(lineOf(p, n));
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(SortedLines(path) == expected) << "lines were lost, mixed, doubled or broken";
}

}  // namespace
}  // namespace kt::platform
