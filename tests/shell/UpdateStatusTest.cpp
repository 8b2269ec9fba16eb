// The windows' status figure for the whole update: core and media together.
#include "shell/FormActions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>

namespace kt {
namespace {

using namespace std::chrono_literals;

struct StatusCase {
    std::string name;
    std::string step;
    long long bytesDone;
    std::chrono::milliseconds elapsed;
    std::string expected;
};

std::ostream& operator<<(std::ostream& os, const StatusCase& c)
{
    return os << c.name;
}

class UpdateStatus : public ::testing::TestWithParam<StatusCase> {};

// 10 core blocks (2,600 bytes; the last 100 bytes of a 2,700-byte image are
// not sent) and 2 media blocks (1,024 bytes, the last one padded): 3,624 bytes.
TEST_P(UpdateStatus, CountsTheWholeUpdate)
{
    KVF_TYPE package;
    package.CORE_SIZE = 2700;
    package.FLASH_SIZE = 1000;
    DeviceHost::Transfer transfer;
    transfer.step = GetParam().step;
    transfer.bytesDone = GetParam().bytesDone;
    transfer.elapsed = GetParam().elapsed;
    EXPECT_EQ(UpdateStatusText(transfer, package), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, UpdateStatus,
    ::testing::Values(
        StatusCase{"CoreStart", "core", 0, 0ms, "Всего 0 %"},
        StatusCase{"CoreTooEarlyForASpeed", "core", 1300, 400ms, "Всего 35 %"},
        StatusCase{"CoreHalfWay", "core", 1300, 1000ms, "Всего 35 %  ·  1 КБ/с  ·  осталось 0:02"},
        StatusCase{"MediaCountsTheCoreDone", "media", 512, 500ms, "Всего 85 %  ·  1 КБ/с  ·  осталось 0:01"},
        StatusCase{"Done", "media", 1024, 1000ms, "Всего 100 %  ·  1 КБ/с  ·  осталось 0:00"},
        StatusCase{"MoreThanThePackageSays", "media", 4096, 2000ms, "Всего 100 %  ·  2 КБ/с  ·  осталось 0:00"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kt
