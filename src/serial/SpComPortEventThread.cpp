#include "serial/SpComPortEventThread.h"

#include "serial/SerialDevice.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

// Received bytes left unread are reported again at this interval.
constexpr auto kInputPollInterval = std::chrono::milliseconds(200);

}  // namespace

void TSpComPortEventThread::StopThread()
{
    // The callback may not run any more once Close is on its way; it is
    // switched off rather than emptied, as it may be running right now.
    callbackEnabled_ = false;
    device_.setEventMask(0);
    device_.purge(kPurgeRxAbort | kPurgeRxClear);
    TSpComPortCoreThread::StopThread();
}

void TSpComPortEventThread::HandleException(const std::exception_ptr& error)
{
    if (isSilentAbort(error))
        return;
    if (!callbackEnabled_ || !callback_) {
        ShowSyncException(error);
        return;
    }
    try {
        callback_(core_, ceException, 0, error);
    } catch (...) {
        // Passing the error on failed as well; the thread goes on, and the
        // second error is shown unless it is the silent kind.
        TSpComPortCoreThread::HandleException(std::current_exception());
    }
}

void TSpComPortEventThread::Execute()
{
    signalStarted();
    while (!Terminated()) {
        std::uint32_t mask = 0;
        const auto status = device_.waitEvent(mask, kInputPollInterval);
        if (Terminated())
            break;
        if (status == SerialDevice::WaitStatus::HungUp)
            core_.signalHungUp();
        if (core_.outputDrained_.exchange(false))
            DoEvent(ceOutFree, 0);
        if (status == SerialDevice::WaitStatus::Event && mask != 0) {
            DoEvent(ceLineEvent, mask);
        } else if (status == SerialDevice::WaitStatus::Timeout) {
            const ComStat stat = core_.GetComStat();
            if (stat.inQueue > 0)
                DoEvent(ceNeedReadData, stat.inQueue);
        }
    }
}

void TSpComPortEventThread::signalStop()
{
    device_.wakeEventWait();
}

void TSpComPortEventThread::DoEvent(TSpCoreEvent kind, std::uint32_t data)
{
    if (!callbackEnabled_ || !callback_)
        return;
    try {
        callback_(core_, kind, data, nullptr);
    } catch (...) {
        HandleException(std::current_exception());
    }
}

}  // namespace kt::serial
