// The operation record: one JSON object on one line (JSON Lines) for each
// device operation, for programs to read; dist/record.schema.json describes it.
#pragma once

#include "device/OperationReport.h"

#include <ctime>
#include <string>

namespace kt {

struct KVF_TYPE;

// What a record says beside the operation's own report.
struct RecordContext {
    std::string time;                   // when the operation started: FormatRecordTime, RecordTimeNow
    std::string host;                   // the computer's name
    std::string programVersion;         // "3.0", as --version prints it
    const KVF_TYPE* package = nullptr;  // the update's package; none for other operations
    int exitStatus = 0;
};

// The record of one operation, without the line end. Texts are written as
// UTF-8: the package's from Windows-1251, the report's as they are, with any
// byte that is not part of valid UTF-8 (the device's own bytes) as U+FFFD.
// Control characters, and the characters some readers take for line ends
// (U+0085, U+2028, U+2029), are escaped, so the record is always one line.
// Seconds are rounded to milliseconds.
std::string FormatRecord(const RecordContext& context, const OperationReport& report);

// "2026-12-11T04:05:06+03:00": local civil time in ISO 8601, with its offset
// from UTC (minutes east, negative west).
std::string FormatRecordTime(const std::tm& local, int utcOffsetMinutes);

// The computer's local time now, so formatted.
std::string RecordTimeNow();

// Appends the record of `report` to the file at `path`: begun at `startedAt`
// (RecordTimeNow), on this computer, by this program's version, with
// `package` for an update. False with the reason in `error`.
bool AppendOperationRecord(const std::string& path, const OperationReport& report, const KVF_TYPE* package,
                           const std::string& startedAt, std::string& error);

}  // namespace kt
