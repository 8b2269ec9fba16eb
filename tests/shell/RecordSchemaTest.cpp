// The records follow dist/record.schema.json, as a program that reads them
// checks it (Python's jsonschema), and the schema is strict enough to catch a
// writer that strays from it.
#include "platform/RecordFile.h"

#include "ChildProcess.h"
#include "RecordCases.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kt::test {
namespace {

// Python with jsonschema checking the lines of `records`; its status and what it printed.
ProgramRun Validate(const std::string& records, const TempDir& scratch)
{
    return RunProgram(KT_PYTHON, {KT_VALIDATE_RECORDS, KT_RECORD_SCHEMA, records}, scratch.Path());
}

TEST(RecordSchema, EveryRecordFollowsIt)
{
    TempDir dir;
    const std::string records = (dir.Path() / "records.jsonl").string();
    std::string error;
    for (const RecordCase& row : RecordCases())
        ASSERT_TRUE(platform::AppendWholeLine(records, row.Record(), error)) << error;
    const ProgramRun run = Validate(records, dir);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
}

// One change to a good record, as a slip in the writer would make it.
struct Slip {
    const char* name;
    const char* from;
    const char* to;
};

constexpr Slip kSlips[] = {
    {"MisspeltField", R"("core_retries":)", R"("core_retry":)"},
    {"FieldLeftOut", R"("exit_status":0)", R"("exit":0)"},
    {"UnknownFieldInAPortAttempt", R"("outcome":"found")", R"("outcome":"found","pid":1)"},
    {"UnknownFieldInTheDevice", R"("identity":)", R"("draxo_id":)"},
    {"UnknownFieldInThePackage", R"("model":42)", R"("model":42,"device":42)"},
    {"UnknownFieldInAStep", R"("blocks_done":120)", R"("blocks_done":120,"retries":0)"},
    {"UnknownStopReason", R"("stop_reason":"none")", R"("stop_reason":"stopped")"},
    {"UnknownStepOutcome", R"("outcome":"ok")", R"("outcome":"done")"},
    {"UpperCaseDigest", "ba7816bf", "BA7816BF"},
    {"ModelAsText", R"("model":42)", R"("model":"0x2A")"},
    {"SecondsAsText", R"("seconds":45.679)", R"("seconds":"45.679")"},
    {"BlockCountBelowZero", R"("blocks_done":120)", R"("blocks_done":-1)"},
    {"TimeWithoutItsOffset", "04:05:06+03:00", "04:05:06"},
};

// Every slip on a line of its own after a good record, checked in one run
// of Python (its start costs more than the check): each slip's line fails,
// the good one passes.
TEST(RecordSchema, RejectsRecordsThatStray)
{
    TempDir dir;
    const std::string records = (dir.Path() / "records.jsonl").string();
    const std::string good = RecordCases().front().Record();
    std::string error;
    ASSERT_TRUE(platform::AppendWholeLine(records, good, error)) << error;
    for (const Slip& slip : kSlips) {
        std::string line = good;
        const std::size_t at = line.find(slip.from);
        ASSERT_NE(at, std::string::npos) << slip.name << ": " << slip.from << " not in " << line;
        line.replace(at, std::string_view(slip.from).size(), slip.to);
        ASSERT_TRUE(platform::AppendWholeLine(records, line, error)) << error;
    }
    const ProgramRun run = Validate(records, dir);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(run.out.find("line 1:"), std::string::npos) << "the good record passes:\n" << run.out;
    int number = 2;
    for (const Slip& slip : kSlips)
        EXPECT_NE(run.out.find("line " + std::to_string(number++) + ":"), std::string::npos)
            << slip.name << " passed:\n"
            << run.out << run.err;
}

}  // namespace
}  // namespace kt::test
