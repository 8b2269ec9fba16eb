// A device host for tests: records the log and dialogs, keeps toolbar states,
// runs the plain event loop, and supplies a fixed local time and port list.
#pragma once

#include "TestSupport.h"
#include "link/DeviceHost.h"
#include "serial/PlainEventLoop.h"

#include <array>
#include <thread>

namespace kt::test {

class DeviceTestHost : public RecordingViewT<DeviceHost> {
public:
    DeviceTestHost()
    {
        buttons.fill(true);
        buttons[static_cast<std::size_t>(ToolButton::FullFlash)] = false;
        localTime.tm_year = 2026 - 1900;
        localTime.tm_mon = 11;
        localTime.tm_mday = 8;
        localTime.tm_hour = 9;
        localTime.tm_min = 5;
        localTime.tm_sec = 3;
    }

    void ProcessEvents(Clock::time_point deadline) override
    {
        if (duringEvents)
            duringEvents();
        loop.ProcessEvents(deadline);
    }
    void Pause(std::chrono::milliseconds d) override { std::this_thread::sleep_for(d); }
    bool ToolButtonEnabled(ToolButton b) const override { return buttons[static_cast<std::size_t>(b)]; }
    void SetToolButtonEnabled(ToolButton b, bool enabled) override { buttons[static_cast<std::size_t>(b)] = enabled; }
    std::tm LocalTime() override { return localTime; }
    std::vector<std::string> SystemPorts() override
    {
        ++portListReads;
        return ports;
    }

    PlainEventLoop loop;
    std::array<bool, kToolButtonCount> buttons{};
    std::tm localTime{};
    std::vector<std::string> ports;
    int portListReads = 0;
    std::function<void()> duringEvents;  // runs inside every wait, as a user's click would
};

}  // namespace kt::test
