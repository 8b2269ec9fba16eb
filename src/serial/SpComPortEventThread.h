// The port core's event thread: waits for communication events, polls the
// input queue, and reports through the core's callback, on this thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/SpComPortCore.h"
#include "serial/SpComPortCoreThread.h"

namespace kt::serial {

class TSpComPortEventThread final : public TSpComPortCoreThread {
public:
    TSpComPortEventThread(TSpComPortCore& core, SerialDevice& device, TSpCPTCoreEvent callback)
        : TSpComPortCoreThread(core, device), callback_(std::move(callback))
    {}
    ~TSpComPortEventThread() override { stopIfRunning(); }

    void StopThread() override;
    // Passes the error to the callback as ceException while the callback is on.
    void HandleException(const std::exception_ptr& error) override;

protected:
    void Execute() override;
    void signalStop() override;

private:
    void DoEvent(TSpCoreEvent kind, std::uint32_t data);

    TSpCPTCoreEvent callback_;
    std::atomic<bool> callbackEnabled_{true};
};

}  // namespace kt::serial
