#include "FirstThatOpens.h"

#include <memory>
#include <utility>

namespace kt::test {
namespace {

using serial::SerialDevice;

class FirstThatOpensDevice final : public SerialDevice {
public:
    explicit FirstThatOpensDevice(std::vector<serial::SerialDeviceFactory> factories) : factories_(std::move(factories))
    {}

    OpenStatus open(const std::string& name) override
    {
        close();
        for (const auto& factory : factories_) {
            auto device = factory();
            const OpenStatus status = device->open(name);
            if (status == OpenStatus::Opened)
                chosen_ = std::move(device);
            if (status != OpenStatus::NotFound)
                return status;
        }
        return OpenStatus::NotFound;
    }

    bool setTimeouts() override { return chosen_ && chosen_->setTimeouts(); }
    bool setupQueues(int in, int out) override { return chosen_ && chosen_->setupQueues(in, out); }
    bool setEventMask(std::uint32_t mask) override { return chosen_ && chosen_->setEventMask(mask); }
    bool setState(const serial::Dcb& dcb) override { return chosen_ && chosen_->setState(dcb); }
    bool getState(serial::Dcb& dcb) override { return chosen_ && chosen_->getState(dcb); }
    WaitStatus waitEvent(std::uint32_t& mask, std::chrono::milliseconds timeout) override
    {
        mask = 0;
        return chosen_ ? chosen_->waitEvent(mask, timeout) : WaitStatus::Timeout;
    }
    void wakeEventWait() override
    {
        if (chosen_)
            chosen_->wakeEventWait();
    }
    bool clearCommError(std::uint32_t& errors, serial::ComStat& stat) override
    {
        errors = 0;
        stat = {};
        return chosen_ && chosen_->clearCommError(errors, stat);
    }
    int read(char* buffer, int count) override { return chosen_ ? chosen_->read(buffer, count) : 0; }
    int write(const char* buffer, int count) override { return chosen_ ? chosen_->write(buffer, count) : -1; }
    WriteWait waitWritable() override { return chosen_ ? chosen_->waitWritable() : WriteWait::Failed; }
    void wakeWriter() override
    {
        if (chosen_)
            chosen_->wakeWriter();
    }
    bool HungUp() const override { return chosen_ && chosen_->HungUp(); }
    bool purge(std::uint32_t flags) override { return chosen_ && chosen_->purge(flags); }
    bool escape(serial::EscapeFunction function) override { return chosen_ && chosen_->escape(function); }
    void close() override
    {
        if (chosen_)
            chosen_->close();
        chosen_.reset();
    }

private:
    std::vector<serial::SerialDeviceFactory> factories_;
    std::unique_ptr<SerialDevice> chosen_;  // set by a successful open, for as long as it stays open
};

}  // namespace

serial::SerialDeviceFactory FirstThatOpens(std::vector<serial::SerialDeviceFactory> factories)
{
    return [factories = std::move(factories)] { return std::make_unique<FirstThatOpensDevice>(factories); };
}

}  // namespace kt::test
