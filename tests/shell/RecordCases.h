// Operation reports as the device operations leave them, from a whole update
// to a search that found no device, with what their records must say.
#pragma once

#include "device/OperationReport.h"
#include "package/Package.h"
#include "shell/OperationRecord.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kt::test {

struct RecordCase {
    std::string name;
    RecordContext context;  // its package comes from `package`
    std::shared_ptr<const KVF_TYPE> package;
    OperationReport report;
    // JSON pointer → the value there, as JSON text.
    std::vector<std::pair<std::string, std::string>> expected;

    std::string Record() const;
};

const std::vector<RecordCase>& RecordCases();

}  // namespace kt::test
