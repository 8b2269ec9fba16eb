// The moments at which a user stops an update with Esc, for the tests of
// both windows: the simulated device's behaviour, when Esc is pressed (by
// the frames the device has received), and the log's last lines afterwards.
#pragma once

#include "SimOptions.h"
#include "TestSupport.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kt::test {

struct EscapeMoment {
    std::string name;
    sim::SimOptions options;
    std::function<bool(const std::vector<std::string>& frames)> when;
    std::vector<std::string> tail;
};

inline std::ostream& operator<<(std::ostream& os, const EscapeMoment& m)
{
    return os << m.name;
}

// During the search, the readout, the core and the media transfer, and the clock.
namespace escape_detail {

inline std::vector<std::string> StoppedUpdate(const char* before)
{
    return {before, "Прервано пользователем!", "", "Обновление завершено с ошибками!", ""};
}

inline sim::SimOptions WithOptions(void (*change)(sim::SimOptions&))
{
    sim::SimOptions o;
    change(o);
    return o;
}

}  // namespace escape_detail

inline std::vector<EscapeMoment> EscapeMoments()
{
    using escape_detail::StoppedUpdate;
    using escape_detail::WithOptions;
    return {
        {"DuringTheSearch",
         WithOptions([](sim::SimOptions& o) { o.silentOn = {"PFLASH"}; }),
         [](const auto& f) { return CountOf(f, "PFLASH") >= 2; },
         {"ОБНОВЛЕНИЕ начато, ожидайте...", "Прервано пользователем!", ""}},
        {"DuringTheReadout",
         {},
         [](const auto& f) { return CountOf(f, "n") >= 2; },
         StoppedUpdate("Считываю информацию о контроллере...")},
        {"DuringTheCoreTransfer",
         {},
         [](const auto& f) { return CountOf(f, "W[") >= 3; },
         StoppedUpdate("Обновление микропрограммы...")},
        {"DuringTheMediaTransfer",
         {},
         [](const auto& f) { return CountOf(f, "F[") >= 3; },
         StoppedUpdate("Обновление медиа данных...")},
        {"DuringTheClock", WithOptions([](sim::SimOptions& o) {
             o.silentAfter = {{"PFLASH", 3}};
         }),
         [](const auto& f) { return CountOf(f, "PFLASH") >= 4; }, StoppedUpdate("Синхронизация часов ...")},
    };
}

}  // namespace kt::test
