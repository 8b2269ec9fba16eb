// The serial port as the application sees it: settings, open and close, writes, and events on the main thread.
//
// Every property, Open, Close, the reads and writes, and every event except
// OnNonSyncEvent belong to the main thread (see SpSafeSync.h for how that
// thread serves the events). OnNonSyncEvent runs on the port's event thread.
// Assign the events while the port is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "serial/SerialTypes.h"
#include "serial/SpComPortCore.h"
#include "serial/SpDataDispatcher.h"

namespace kt::serial {

enum TSpDatabits { db4, db5, db6, db7, db8 };
enum TSpParity { paNone, paOdd, paEven, paMark, paSpace };
enum TSpStopbits { sbOne, sbOneAndHalf, sbTwo };
enum TSpFlowControl { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };
enum TSpComOption { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull };

// A set of TSpComOption.
class TSpComOptions {
public:
    constexpr TSpComOptions() = default;
    constexpr TSpComOptions(std::initializer_list<TSpComOption> options)
    {
        for (auto option : options)
            Include(option);
    }
    constexpr bool Contains(TSpComOption option) const { return bits_ & bit(option); }
    constexpr void Include(TSpComOption option) { bits_ = static_cast<std::uint8_t>(bits_ | bit(option)); }
    constexpr void Exclude(TSpComOption option) { bits_ = static_cast<std::uint8_t>(bits_ & ~bit(option)); }
    constexpr bool operator==(const TSpComOptions&) const = default;

private:
    static constexpr std::uint8_t bit(TSpComOption option) { return static_cast<std::uint8_t>(1u << option); }
    std::uint8_t bits_ = 0;
};

// The component's own errors; the text is "<message> - <Name> ".
class ESpComPortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TSpCustomSerialPort;
using TNotifyEvent = std::function<void(TSpCustomSerialPort& sender)>;
using TSpCPTDataReceivedEvent = std::function<void(TSpCustomSerialPort& sender, int count)>;
using TSpCPTErrorEvent = std::function<void(TSpCustomSerialPort& sender, std::uint32_t errors)>;

class TSpCustomSerialPort : public TSpDataDispConnComponent {
public:
    TSpCustomSerialPort();
    ~TSpCustomSerialPort() override;

    void Loaded() override;
    void Open() override;
    // Fires OnPortClose, also when the port was not open.
    void Close() override;
    bool Active() const;
    // True once the open port's device has gone (a pulled USB adapter); false
    // when the port is not open. Noticed within milliseconds by the event
    // thread, which then ends the main thread's wait in the dispatcher (without
    // an event), so a loop that waits there should ask this after each wait.
    bool HungUp() const;

    // Every byte waiting now; empty when none wait or the port is not open.
    std::string ReadString();
    // Queues all of s or raises; an empty s does nothing. A block no larger
    // than OutBufSize waits for ring room that is still being released (see
    // TSpComPortCore::WriteDataWhenRoom) instead of raising; no event runs meanwhile.
    void WriteString(const std::string& s);
    void Write(const char* buffer, int count) override;
    void ReadData(char* buffer, int count);
    int InBufUsed();
    int OutBufFree();

    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool value) { autoOpen_ = value; }
    int BaudRate() const { return baudRate_; }
    void SetBaudRate(int value);
    TSpDatabits Databits() const { return databits_; }
    void SetDatabits(TSpDatabits value);
    bool DTR() const { return dtr_; }
    void SetDTR(bool value);
    TThreadPriority EventThreadPriority() const { return eventThreadPriority_; }
    void SetEventThreadPriority(TThreadPriority value) { eventThreadPriority_ = value; }
    TSpFlowControl FlowControl() const { return flowControl_; }
    void SetFlowControl(TSpFlowControl value);
    int InBufSize() const { return inBufSize_; }
    void SetInBufSize(int value);
    TSpComOptions Options() const { return options_; }
    void SetOptions(TSpComOptions value);
    int OutBufSize() const { return outBufSize_; }
    void SetOutBufSize(int value);
    TSpParity Parity() const { return parity_; }
    void SetParity(TSpParity value);
    bool RTS() const { return rts_; }
    void SetRTS(bool value);
    TSpStopbits Stopbits() const { return stopbits_; }
    void SetStopbits(TSpStopbits value);
    TThreadPriority WriteThreadPriority() const { return writeThreadPriority_; }
    void SetWriteThreadPriority(TThreadPriority value) { writeThreadPriority_ = value; }
    char XOnChar() const { return xOnChar_; }
    void SetXOnChar(char value);
    char XOffChar() const { return xOffChar_; }
    void SetXOffChar(char value);
    std::uint16_t XOnLim() const { return xOnLim_; }
    void SetXOnLim(std::uint16_t value);
    std::uint16_t XOffLim() const { return xOffLim_; }
    void SetXOffLim(std::uint16_t value);

    // The device the next Open opens: another than the platform's serial
    // device, such as a simulated one in this process; empty restores the platform's.
    void SetDeviceFactory(SerialDeviceFactory factory) { core_->SetDeviceFactory(std::move(factory)); }

    // The line settings built from the properties.
    const Dcb& DeviceControlBlock() const { return dcb_; }
    void LoadFromDCB(const Dcb& block);

    TNotifyEvent OnCTSChanged;
    TSpCPTDataReceivedEvent OnDataReceived;
    TNotifyEvent OnDSRChanged;
    TSpCPTErrorEvent OnLineError;
    TSpCPTCoreEvent OnNonSyncEvent;
    TNotifyEvent OnOutBufFree;
    TNotifyEvent OnPortClose;
    TNotifyEvent OnPortOpen;
    TNotifyEvent OnRINGDetected;
    TNotifyEvent OnRLSDChanged;
    TSpCPTCoreEvent OnSyncEvent;

protected:
    virtual void DoOpenPort() = 0;
    [[noreturn]] virtual void ComError(const std::string& message);
    void CheckPortClosed();
    void UpdateXLimits();
    void UpdateDCB();
    TSpComPortCore& Core() { return *core_; }

private:
    struct PendingEvent {
        TSpCoreEvent kind = ceOutFree;
        std::uint32_t data = 0;
        std::exception_ptr error;
    };

    // Event thread.
    void CoreEvent(TSpCoreEvent kind, std::uint32_t data, const std::exception_ptr& error);
    void handOver(TSpCoreEvent kind, std::uint32_t data, const std::exception_ptr& error);
    // Main thread.
    void DeliverEvent();
    void deliverLineEvent(std::uint32_t mask);

    // The component's defaults when the owner sets nothing: the usual serial
    // line of 9600 baud 8N1, and the ASCII DC1/DC3 characters of software flow control.
    static constexpr int kDefaultBaudRate = 9600;
    static constexpr int kDefaultInBufSize = 4096;
    static constexpr int kDefaultOutBufSize = 2048;
    static constexpr char kDc1XOn = 0x11;
    static constexpr char kDc3XOff = 0x13;

    bool autoOpen_ = false;
    int baudRate_ = kDefaultBaudRate;
    TSpDatabits databits_ = db8;
    bool dtr_ = true;
    TThreadPriority eventThreadPriority_ = tpNormal;
    TSpFlowControl flowControl_ = fwNone;
    int inBufSize_ = kDefaultInBufSize;
    TSpComOptions options_;
    int outBufSize_ = kDefaultOutBufSize;
    TSpParity parity_ = paNone;
    bool rts_ = true;
    TSpStopbits stopbits_ = sbOne;
    TThreadPriority writeThreadPriority_ = tpHighest;
    char xOnChar_ = kDc1XOn;
    char xOffChar_ = kDc3XOff;
    std::uint16_t xOnLim_ = 0;
    std::uint16_t xOffLim_ = 0;

    Dcb dcb_{};
    std::uint32_t syncId_ = 0;
    std::atomic<bool> closing_{false};
    std::mutex pendingMutex_;
    PendingEvent pending_;
    std::unique_ptr<TSpComPortCore> core_;
};

class TSpCustomComPort : public TSpCustomSerialPort {
public:
    // The device name goes to the platform unchanged (e.g. "/dev/ttyUSB0").
    const std::string& ComPort() const { return comPort_; }
    // While open: closes, renames and opens again.
    void SetComPort(const std::string& value);

protected:
    void DoOpenPort() override;

private:
    std::string comPort_;
};

class TSpComPort final : public TSpCustomComPort {};

}  // namespace kt::serial
