// A simulated device on a pseudo-terminal, the port, and a session over it.
#pragma once

#include "DeviceTestHost.h"
#include "PtyDevice.h"
#include "device/DeviceSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace kt::test {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

class SessionTest : public ::testing::Test {
protected:
    SessionTest() { DeviceSession::ConfigurePort(comm); }

    void Start(sim::SimOptions options = {})
    {
        sim = std::make_unique<sim::PtyDevice>(std::move(options));
        session.PortName = sim->SlavePath();
    }
    // Opens the port on the simulator, as a successful search leaves it.
    void Connect()
    {
        ASSERT_TRUE(session.ProbePort(sim->SlavePath()));
        host.log.clear();
    }
    long Count(const std::string& frame) const
    {
        const auto frames = sim->Frames();
        return std::count(frames.begin(), frames.end(), frame);
    }
    static long Elapsed(Clock::time_point start)
    {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }

    test::DeviceTestHost host;
    KVF_TYPE package;
    serial::TSpComPort comm;
    DeviceSession session{comm, host, package};
    std::unique_ptr<sim::PtyDevice> sim;
};


// Options changed by one function, for tables of cases.
inline sim::SimOptions With(void (*change)(sim::SimOptions&))
{
    sim::SimOptions o;
    change(o);
    return o;
}


}  // namespace kt::test
