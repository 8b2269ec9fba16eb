// Records and constants shared by the port component, the port core and the platform layer.
#pragma once

#include <cstdint>

namespace kt::serial {

// Line settings as one fixed 28-byte record, laid out like the Windows DCB so
// that settings built here can be handed to that platform unchanged. The POSIX
// layer translates it into termios.
struct Dcb {
    std::uint32_t dcbLength = 0;
    std::uint32_t baudRate = 0;
    std::uint32_t flags = 0;
    std::uint16_t reserved = 0;
    std::uint16_t xonLim = 0;
    std::uint16_t xoffLim = 0;
    std::uint8_t byteSize = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
    char xonChar = 0;
    char xoffChar = 0;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;
    std::uint16_t reserved1 = 0;
};
static_assert(sizeof(Dcb) == 28, "the device control block is a 28-byte record");

inline constexpr std::uint32_t kDcbSize = 28;

// Bits of Dcb::flags.
inline constexpr std::uint32_t kDcbBinary = 0x0001;
inline constexpr std::uint32_t kDcbParityCheck = 0x0002;
inline constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t kDcbDtrControlEnable = 0x0010;
inline constexpr std::uint32_t kDcbDtrControlHandshake = 0x0020;
inline constexpr std::uint32_t kDcbDtrControlMask = 0x0030;
inline constexpr std::uint32_t kDcbDsrSensitivity = 0x0040;
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 0x0080;
inline constexpr std::uint32_t kDcbOutX = 0x0100;
inline constexpr std::uint32_t kDcbInX = 0x0200;
inline constexpr std::uint32_t kDcbErrorChar = 0x0400;
inline constexpr std::uint32_t kDcbNull = 0x0800;
inline constexpr std::uint32_t kDcbRtsControlEnable = 0x1000;
inline constexpr std::uint32_t kDcbRtsControlHandshake = 0x2000;
inline constexpr std::uint32_t kDcbRtsControlMask = 0x3000;

// Dcb::parity and Dcb::stopBits values.
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kMarkParity = 3;
inline constexpr std::uint8_t kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;

// The event, error and purge bits below have the values of Windows' EV_*,
// CE_* and PURGE_* macros, spelled apart so that this header can stand beside
// <windows.h>.

// Communication event bits, as reported with ceLineEvent.
inline constexpr std::uint32_t kEvRxChar = 0x001;
inline constexpr std::uint32_t kEvCts = 0x008;
inline constexpr std::uint32_t kEvDsr = 0x010;
inline constexpr std::uint32_t kEvRlsd = 0x020;
inline constexpr std::uint32_t kEvErr = 0x080;
inline constexpr std::uint32_t kEvRing = 0x100;
inline constexpr std::uint32_t kAllLineEvents = kEvRxChar | kEvCts | kEvDsr | kEvRlsd | kEvErr | kEvRing;

// Line error bits, accumulated by the core and handed to OnLineError.
inline constexpr std::uint32_t kCeRxOver = 0x01;
inline constexpr std::uint32_t kCeOverrun = 0x02;
inline constexpr std::uint32_t kCeRxParity = 0x04;
inline constexpr std::uint32_t kCeFrame = 0x08;
inline constexpr std::uint32_t kCeBreak = 0x10;

// Purge flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x01;
inline constexpr std::uint32_t kPurgeRxAbort = 0x02;
inline constexpr std::uint32_t kPurgeTxClear = 0x04;
inline constexpr std::uint32_t kPurgeRxClear = 0x08;

// Modem line functions for TSpComPortCore::EscapeComm.
enum class EscapeFunction : std::uint8_t { SetRts = 3, ClrRts = 4, SetDtr = 5, ClrDtr = 6 };

// Input and output queue counts of an open port.
struct ComStat {
    std::uint32_t flags = 0;
    std::uint32_t inQueue = 0;
    std::uint32_t outQueue = 0;
};

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

}  // namespace kt::serial
