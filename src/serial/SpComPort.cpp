#include "serial/SpComPort.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

// How long the event thread waits for the main thread to take an event. The
// main thread may sit in a 250 ms reply wait or a fixed pause; an event it has
// not taken by then is dropped and the event thread goes on.
constexpr std::uint32_t kHandOverTimeoutMs = 2000;

constexpr std::uint8_t kByteSizes[] = {4, 5, 6, 7, 8};
constexpr std::uint8_t kParities[] = {kNoParity, kOddParity, kEvenParity, kMarkParity, kSpaceParity};
constexpr std::uint8_t kStopBits[] = {kOneStopBit, kOne5StopBits, kTwoStopBits};
constexpr std::uint32_t kFlowBits[] = {0, kDcbOutX | kDcbInX, kDcbOutxCtsFlow | kDcbRtsControlHandshake,
                                       kDcbOutxDsrFlow | kDcbDtrControlHandshake};
constexpr std::uint32_t kOptionBits[] = {kDcbParityCheck, kDcbDsrSensitivity, kDcbTxContinueOnXoff, kDcbErrorChar,
                                         kDcbNull};

// Clears the closing flag however Close ends.
class ClosingScope {
public:
    explicit ClosingScope(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
    ~ClosingScope() { flag_ = false; }
    ClosingScope(const ClosingScope&) = delete;
    ClosingScope& operator=(const ClosingScope&) = delete;

private:
    std::atomic<bool>& flag_;
};

}  // namespace

TSpCustomSerialPort::TSpCustomSerialPort()
{
    syncId_ = RegisterSyncObj([this](int) { DeliverEvent(); });
    core_ = std::make_unique<TSpComPortCore>();
    core_->SetOnCoreEvent([this](EventSender&, TSpCoreEvent kind, std::uint32_t data, const std::exception_ptr& error) {
        CoreEvent(kind, data, error);
    });
    UpdateDCB();
}

TSpCustomSerialPort::~TSpCustomSerialPort()
{
    BeginDestroy();
    UnregisterSyncObj(syncId_);
    core_.reset();
}

void TSpCustomSerialPort::Loaded()
{
    TSpDataDispConnComponent::Loaded();
    if (autoOpen_)
        Open();
    else
        UpdateDCB();
}

void TSpCustomSerialPort::Open()
{
    if (!core_->Opened()) {
        EnableSyncObj(syncId_, true);
        core_->SetDCB(dcb_);
        core_->SetInQueueSize(inBufSize_);
        core_->SetOutQueueSize(outBufSize_);
        core_->SetEventThreadPriority(eventThreadPriority_);
        core_->SetWriteThreadPriority(writeThreadPriority_);
        // An emptied write ring is news only to a handler that takes it;
        // without one no worker and no main thread is woken after each write.
        core_->SetReportsOutputFree(OnOutBufFree || OnSyncEvent || OnNonSyncEvent);
        closing_ = false;
        DoOpenPort();
        if (OnPortOpen)
            OnPortOpen(*this);
    }
    TSpDataDispConnComponent::Open();
}

void TSpCustomSerialPort::Close()
{
    ClosingScope closing(closing_);
    TSpDataDispConnComponent::Close();
    // Disabled before the workers stop, so that no event reaches us meanwhile
    // and an event thread waiting on the main thread is let go at once.
    EnableSyncObj(syncId_, false);
    core_->ClosePort();
    if (OnPortClose)
        OnPortClose(*this);
}

bool TSpCustomSerialPort::Active() const
{
    return core_ && core_->Opened();
}

bool TSpCustomSerialPort::HungUp() const
{
    return core_ && core_->HungUp();
}

std::string TSpCustomSerialPort::ReadString()
{
    if (closing_)
        return {};
    const ComStat stat = core_->GetComStat();
    const int waiting = static_cast<int>(std::min<std::uint32_t>(stat.inQueue, INT_MAX));
    if (waiting == 0)
        return {};
    std::string text(static_cast<std::size_t>(waiting), '\0');
    const int got = core_->ReadData(text.data(), waiting);
    // The read returns what the count promised, but a device that went away
    // may give less; only what actually arrived is returned.
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

void TSpCustomSerialPort::WriteString(const std::string& s)
{
    if (s.empty())
        return;
    Write(s.data(), static_cast<int>(std::min<std::size_t>(s.size(), INT_MAX)));
}

void TSpCustomSerialPort::Write(const char* buffer, int count)
{
    if (closing_)
        return;
    // The previous frame may have reached the device, and the device may have
    // answered, before the write thread released its bytes from the ring.
    if (core_->WriteDataWhenRoom(buffer, count))
        return;
    char message[96];
    std::snprintf(message, sizeof message, "Write data error [requested: %d, free: %d]", count, core_->OutBufFree());
    ComError(message);
}

void TSpCustomSerialPort::ReadData(char* buffer, int count)
{
    if (closing_)
        return;
    if (core_->ReadData(buffer, count) != count)
        ComError("Read data error");
}

int TSpCustomSerialPort::InBufUsed()
{
    return static_cast<int>(std::min<std::uint32_t>(core_->GetComStat().inQueue, INT_MAX));
}

int TSpCustomSerialPort::OutBufFree()
{
    return core_->OutBufFree();
}

void TSpCustomSerialPort::ComError(const std::string& message)
{
    throw ESpComPortError(message + " - " + Name() + " ");
}

void TSpCustomSerialPort::CheckPortClosed()
{
    if (Active())
        ComError("Port is not closed");
}

void TSpCustomSerialPort::SetBaudRate(int value)
{
    if (value == baudRate_)
        return;
    baudRate_ = value;
    UpdateDCB();
}

void TSpCustomSerialPort::SetDatabits(TSpDatabits value)
{
    if (value == databits_)
        return;
    databits_ = value;
    UpdateDCB();
}

void TSpCustomSerialPort::SetDTR(bool value)
{
    if (value == dtr_)
        return;
    if (core_)
        core_->EscapeComm(value ? EscapeFunction::SetDtr : EscapeFunction::ClrDtr);
    dtr_ = value;
}

void TSpCustomSerialPort::SetRTS(bool value)
{
    if (value == rts_)
        return;
    if (core_)
        core_->EscapeComm(value ? EscapeFunction::SetRts : EscapeFunction::ClrRts);
    rts_ = value;
}

void TSpCustomSerialPort::SetFlowControl(TSpFlowControl value)
{
    if (value == flowControl_)
        return;
    flowControl_ = value;
    UpdateXLimits();
    UpdateDCB();
}

void TSpCustomSerialPort::SetInBufSize(int value)
{
    if (value == inBufSize_)
        return;
    CheckPortClosed();
    inBufSize_ = value;
    UpdateXLimits();
}

void TSpCustomSerialPort::SetOptions(TSpComOptions value)
{
    if (value == options_)
        return;
    options_ = value;
    UpdateDCB();
}

void TSpCustomSerialPort::SetOutBufSize(int value)
{
    if (value == outBufSize_)
        return;
    CheckPortClosed();
    outBufSize_ = value;
}

void TSpCustomSerialPort::SetParity(TSpParity value)
{
    if (value == parity_)
        return;
    parity_ = value;
    UpdateDCB();
}

void TSpCustomSerialPort::SetStopbits(TSpStopbits value)
{
    if (value == stopbits_)
        return;
    stopbits_ = value;
    UpdateDCB();
}

void TSpCustomSerialPort::SetXOnChar(char value)
{
    if (value == xOnChar_)
        return;
    xOnChar_ = value;
    UpdateDCB();
}

void TSpCustomSerialPort::SetXOffChar(char value)
{
    if (value == xOffChar_)
        return;
    xOffChar_ = value;
    UpdateDCB();
}

void TSpCustomSerialPort::SetXOnLim(std::uint16_t value)
{
    if (value == xOnLim_)
        return;
    xOnLim_ = value;
    xOffLim_ = static_cast<std::uint16_t>(static_cast<std::uint16_t>(inBufSize_) - value);
}

void TSpCustomSerialPort::SetXOffLim(std::uint16_t value)
{
    if (value == xOffLim_)
        return;
    xOffLim_ = value;
    xOnLim_ = static_cast<std::uint16_t>(static_cast<std::uint16_t>(inBufSize_) - value);
}

void TSpCustomSerialPort::UpdateXLimits()
{
    if (flowControl_ == fwNone) {
        xOnLim_ = 0;
        xOffLim_ = 0;
        return;
    }
    // The driver asks the far end to pause when the input buffer is three
    // quarters full and to go on once it has drained to a quarter.
    constexpr int kXOnFraction = 4;
    xOnLim_ = static_cast<std::uint16_t>(inBufSize_ / kXOnFraction);
    xOffLim_ = static_cast<std::uint16_t>(inBufSize_ - xOnLim_);
}

void TSpCustomSerialPort::UpdateDCB()
{
    Dcb block{};
    block.dcbLength = kDcbSize;
    block.baudRate = static_cast<std::uint32_t>(baudRate_);
    block.byteSize = kByteSizes[databits_];
    block.parity = kParities[parity_];
    block.stopBits = kStopBits[stopbits_];
    block.xonChar = xOnChar_;
    block.xoffChar = xOffChar_;
    block.xonLim = xOnLim_;
    block.xoffLim = xOffLim_;
    block.flags = kFlowBits[flowControl_] | kDcbBinary;
    for (int option = coParityCheck; option <= coStripNull; ++option)
        if (options_.Contains(static_cast<TSpComOption>(option)))
            block.flags |= kOptionBits[option];
    if (dtr_ && flowControl_ != fwDtrDsr)
        block.flags |= kDcbDtrControlEnable;
    if (rts_ && flowControl_ != fwRtsCts)
        block.flags |= kDcbRtsControlEnable;
    dcb_ = block;
    if (!Active())
        return;
    try {
        core_->SetDCB(dcb_);
    } catch (...) {
        dcb_ = core_->DCB();
        throw;
    }
}

void TSpCustomSerialPort::LoadFromDCB(const Dcb& block)
{
    if (block.dcbLength != kDcbSize)
        ComError("Error setting parameters from DCB");
    dcb_ = block;
    baudRate_ = static_cast<int>(block.baudRate);
    auto pick = [](const auto& table, auto value, int fallback) {
        const auto* end = std::end(table);
        const auto* found = std::find(std::begin(table), end, value);
        return found == end ? fallback : static_cast<int>(found - std::begin(table));
    };
    databits_ = static_cast<TSpDatabits>(pick(kByteSizes, block.byteSize, db8));
    parity_ = static_cast<TSpParity>(pick(kParities, block.parity, paNone));
    stopbits_ = static_cast<TSpStopbits>(pick(kStopBits, block.stopBits, sbOne));
    flowControl_ = fwNone;
    for (TSpFlowControl flow : {fwDtrDsr, fwRtsCts, fwXOnXOff}) {
        if ((block.flags & kFlowBits[flow]) == kFlowBits[flow]) {
            flowControl_ = flow;
            break;
        }
    }
    options_ = {};
    for (int option = coParityCheck; option <= coStripNull; ++option)
        if (block.flags & kOptionBits[option])
            options_.Include(static_cast<TSpComOption>(option));
    xOnChar_ = block.xonChar;
    xOffChar_ = block.xoffChar;
    xOnLim_ = block.xonLim;
    xOffLim_ = block.xoffLim;
    UpdateDCB();
}

void TSpCustomSerialPort::CoreEvent(TSpCoreEvent kind, std::uint32_t data, const std::exception_ptr& error)
{
    if (closing_ || Destroying())
        return;
    if (kind == ceException) {
        handOver(kind, data, error);
        return;
    }
    if (OnNonSyncEvent) {
        OnNonSyncEvent(*this, kind, data, error);
        return;
    }
    handOver(kind, data, error);
}

void TSpCustomSerialPort::handOver(TSpCoreEvent kind, std::uint32_t data, const std::exception_ptr& error)
{
    {
        std::lock_guard lock(pendingMutex_);
        pending_ = PendingEvent{kind, data, error};
    }
    // Refused when Close disabled the slot or the component is going away:
    // the event is dropped without a trace.
    if (!CallSyncObj(syncId_, kHandOverTimeoutMs))
        throw SilentAbort();
}

void TSpCustomSerialPort::DeliverEvent()
{
    PendingEvent event;
    {
        std::lock_guard lock(pendingMutex_);
        event = pending_;
    }
    if (closing_ || Destroying())
        return;
    if (OnSyncEvent)
        OnSyncEvent(*this, event.kind, event.data, event.error);
    switch (event.kind) {
    case ceOutFree:
        if (OnOutBufFree)
            OnOutBufFree(*this);
        break;
    case ceLineEvent:
        deliverLineEvent(event.data);
        break;
    case ceNeedReadData:
        if (OnDataReceived)
            OnDataReceived(*this, static_cast<int>(std::min<std::uint32_t>(event.data, INT_MAX)));
        break;
    case ceException:
        // Goes to the dispatcher, which shows it through the standard display.
        if (event.error)
            std::rethrow_exception(event.error);
        break;
    }
}

void TSpCustomSerialPort::deliverLineEvent(std::uint32_t mask)
{
    if ((mask & kEvRxChar) && OnDataReceived)
        OnDataReceived(*this, InBufUsed());
    const std::uint32_t errors = core_->TakeErrors();
    if ((mask & kEvErr) && OnLineError)
        OnLineError(*this, errors);
    if ((mask & kEvCts) && OnCTSChanged)
        OnCTSChanged(*this);
    if ((mask & kEvDsr) && OnDSRChanged)
        OnDSRChanged(*this);
    if ((mask & kEvRing) && OnRINGDetected)
        OnRINGDetected(*this);
    if ((mask & kEvRlsd) && OnRLSDChanged)
        OnRLSDChanged(*this);
}

void TSpCustomComPort::SetComPort(const std::string& value)
{
    if (value == comPort_)
        return;
    if (Active()) {
        Close();
        comPort_ = value;
        Open();
    } else {
        comPort_ = value;
    }
}

void TSpCustomComPort::DoOpenPort()
{
    Core().OpenPort(comPort_);
}

}  // namespace kt::serial
