// Simulated devices, the port, and a session over them; the suites run over
// both simulated devices, the one on a pseudo-terminal and the one in the process.
#pragma once

#include "DeviceTestHost.h"
#include "FirstThatOpens.h"
#include "InProcessDevice.h"
#ifdef KT_PTY_DEVICE
#include "PtyDevice.h"
#endif
#include "device/DeviceSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace kt::test {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

enum class Backend { Pty, InProcess };

inline std::string NameOf(Backend backend)
{
    return backend == Backend::Pty ? "Pty" : "InProcess";
}

// What the tests ask of a simulated device, whichever kind it is.
class SimulatedDevice {
public:
    virtual ~SimulatedDevice() = default;
    virtual std::string PortName() const = 0;
    virtual std::vector<std::string> Frames() const = 0;
    virtual sim::Bytes CoreImage() const = 0;
    virtual sim::Bytes MediaImage() const = 0;
    virtual bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const = 0;
};

template <class Device>
class SimulatedDeviceOf final : public SimulatedDevice {
public:
    template <class... Args>
    explicit SimulatedDeviceOf(Args&&... args) : device(std::forward<Args>(args)...)
    {}

    std::string PortName() const override
    {
#ifdef KT_PTY_DEVICE
        if constexpr (std::is_same_v<Device, sim::PtyDevice>)
            return device.SlavePath();
        else
#endif
            return device.PortName();
    }
    std::vector<std::string> Frames() const override
    {
        return device.Frames();
    }
    sim::Bytes CoreImage() const override
    {
        return device.CoreImage();
    }
    sim::Bytes MediaImage() const override
    {
        return device.MediaImage();
    }
    bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const override
    {
        return device.WaitForFrames(count, timeout);
    }

    Device device;
};

class SessionFixture : public ::testing::Test {
protected:
    explicit SessionFixture(Backend backend) : backend_(backend)
    {
        DeviceSession::ConfigurePort(comm);
        // In-process devices are reached through the port's device factory,
        // each by its own name; the pty ones through the system.
        if (backend_ == Backend::InProcess)
            comm.SetDeviceFactory([this] { return FirstThatOpens(factories_)(); });
    }

    // A device of the suite's kind, which the port can open by its PortName().
    std::unique_ptr<SimulatedDevice> MakeDevice(sim::SimOptions options = {})
    {
#ifdef KT_PTY_DEVICE
        if (backend_ == Backend::Pty)
            return std::make_unique<SimulatedDeviceOf<sim::PtyDevice>>(std::move(options));
#endif
        std::string name = sim::InProcessDevice::kPortName;
        if (!factories_.empty())
            name += std::to_string(factories_.size() + 1);
        auto device = std::make_unique<SimulatedDeviceOf<sim::InProcessDevice>>(std::move(options), name);
        factories_.push_back(device->device.Factory());
        return device;
    }
    void Start(sim::SimOptions options = {})
    {
        sim = MakeDevice(std::move(options));
        session.PortName = sim->PortName();
    }
    // Opens the port on the simulator, as a successful search leaves it.
    void Connect()
    {
        ASSERT_TRUE(session.ProbePort(sim->PortName()));
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

    const Backend backend_;
    std::vector<serial::SerialDeviceFactory> factories_;
    test::DeviceTestHost host;
    KVF_TYPE package;
    serial::TSpComPort comm;
    DeviceSession session{comm, host, package};
    std::unique_ptr<SimulatedDevice> sim;
};

// A suite whose every test runs over both kinds of simulated device.
template <class Fixture = SessionFixture>
class OverBothDevices : public Fixture, public ::testing::WithParamInterface<Backend> {
protected:
    OverBothDevices() : Fixture(::testing::WithParamInterface<Backend>::GetParam()) {}
};

// A table of cases, each row run over both kinds of simulated device.
template <class Case, class Fixture = SessionFixture>
class RowsOverBothDevices : public Fixture, public ::testing::WithParamInterface<std::tuple<Backend, Case>> {
protected:
    using Param = ::testing::WithParamInterface<std::tuple<Backend, Case>>;

    RowsOverBothDevices() : Fixture(std::get<0>(Param::GetParam())) {}
    static const Case& Row() { return std::get<1>(Param::GetParam()); }
};

// Where there is no pty device (Windows), the in-process one alone.
inline auto BothDevices()
{
#ifdef KT_PTY_DEVICE
    return ::testing::Values(Backend::Pty, Backend::InProcess);
#else
    return ::testing::Values(Backend::InProcess);
#endif
}

// The rows of a table, each on both kinds of simulated device.
template <class Case, class... More>
auto EachOnBothDevices(Case first, More... more)
{
    return ::testing::Combine(BothDevices(), ::testing::Values(std::move(first), std::move(more)...));
}

// Test names: "Pty" and "InProcess" for a suite, "Pty_<row>" and "InProcess_<row>" for a table.
struct DeviceName {
    std::string operator()(const ::testing::TestParamInfo<Backend>& info) const { return NameOf(info.param); }
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<std::tuple<Backend, Case>>& info) const
    {
        return NameOf(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    }
};

class SessionTest : public OverBothDevices<> {};

// Options changed by one function, for tables of cases.
inline sim::SimOptions With(void (*change)(sim::SimOptions&))
{
    sim::SimOptions o;
    change(o);
    return o;
}

}  // namespace kt::test
