// The operations on the device over its link: the information readout, the
// clock, and the firmware update, each run from a toolbar button.
#pragma once

#include "link/DeviceLink.h"
#include "package/HexSection.h"
#include "package/Package.h"

#include <chrono>
#include <string_view>

namespace kt {

class DeviceSession : public DeviceLink {
public:
    // The device's loader and flasher take core and media data in blocks.
    static constexpr int kCoreBlockSize = 260;
    static constexpr int kMediaBlockSize = 512;
    // A core block the loader refuses or does not acknowledge is sent again,
    // up to this many times in all; media blocks carry their number and get one try.
    static constexpr int kCoreAttempts = 3;
    // After "B" the device restarts into its loader: it is asked for its
    // identity this many times, a pause before each.
    static constexpr int kLoaderPolls = 5;
    static constexpr std::chrono::milliseconds kLoaderPollPause{50};
    // A pause after "X" ends the loader's session, before the next step.
    static constexpr std::chrono::milliseconds kAfterCorePause{100};
    // Lets the device settle between the core, media and clock steps.
    static constexpr std::chrono::milliseconds kStepPause{250};

    // `package` must outlive the session; the update reads it when it runs.
    DeviceSession(serial::TSpComPort& comm, DeviceHost& host, const KVF_TYPE& package);

    // Steps, run inside the busy state with the port open. Each logs its
    // heading and, on failure, its error line (or the stop notice).
    // The readout: true when the identity was read and no stop, program error
    // or hang-up cut it short; a query left unanswered only leaves its line out.
    bool ReadDeviceInfo();
    bool SyncClock();
    // False for a package without a core image: the update cannot go on.
    bool UpdateCore();
    // True, with nothing sent, for a package without a media image.
    bool UpdateMedia();
    // Writes `count` blocks of the image, stepping the progress bar; false at
    // the first block that is not acknowledged, or after a stop.
    bool WriteCoreBlocks(const Bytes& image, int count);
    // Media blocks numbered from `first`; the image's last block is padded with 0xFF.
    bool WriteMediaBlocks(const Bytes& image, int first, int count);

    // Toolbar buttons: connect, run, end the busy state and close the port on
    // every way out. False when no device was found or the operation failed;
    // the window ignores the result, the command line turns it into its exit status.
    bool ToolInfoClick();
    bool ToolTimeClick();
    // The whole update, after the user's confirmation; true when it succeeded.
    bool ToolFullFlashClick();

    // True while core or media blocks are being written: stopping now leaves
    // the device with an incomplete image.
    bool InTransfer() const { return transferring_; }

    // The package the update sends.
    const KVF_TYPE& PackageInUse() const { return Package; }

    // After a successful update, read the device again, without a log line,
    // for the report's "after" (a record wants it; the window's log does not).
    bool ReadBackAfterUpdate = false;

private:
    // Replies of fixed length, in hex digits: the clock record "t" (7 bytes),
    // the identity record "s" (12 characters of identity and a check byte), the model "D" (1 byte).
    static constexpr int kClockReplyLength = 14;
    static constexpr int kIdentityReplyLength = 26;
    static constexpr std::size_t kIdentityLength = 12;
    static constexpr int kModelReplyLength = 2;
    // A package made for any model says so with DEVICE 0 or 255: a device that
    // does not tell its model takes it.
    static constexpr int kAnyModel = 0;
    static constexpr int kAnyModelToo = 255;
    // A media block starts with its number, low byte first.
    static constexpr std::size_t kBlockNumberSize = 2;
    // Bytes of a media block that the image does not fill, as erased flash reads.
    static constexpr std::uint8_t kErasedByte = 0xFF;

    static constexpr std::string_view kReadoutFailedLine = "   ОШИБКА при работе с контроллером!";

    // Connects, takes the busy state, runs `step` as the report's `stepName`,
    // and ends the busy state on every way out.
    bool RunBusy(const char* operation, const char* stepName, bool (DeviceSession::*step)());
    // Runs one step of an operation as the report's step `name`.
    bool RunStep(const char* name, bool (DeviceSession::*step)());
    // The readout: `log` false reads the same into `state` and writes no line.
    bool ReadDevice(DeviceState& state, bool log);
    bool ReadDeviceStateQuietly();
    // Tells the host how a transfer goes and notes the failing block.
    void TellTransfer(std::string_view step, int blocks, int blocksDone, long long bytes, long long bytesDone);

    const KVF_TYPE& Package;
    bool transferring_ = false;
    DeviceHost::Clock::time_point transferStart_{};
};

}  // namespace kt
