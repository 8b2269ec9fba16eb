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

private:
    static constexpr std::string_view kReadoutFailedLine = "   ОШИБКА при работе с контроллером!";

    // Connects, takes the busy state, runs `operation`, and ends the busy state on every way out.
    bool RunBusy(bool (DeviceSession::*operation)());

    const KVF_TYPE& Package;
    bool transferring_ = false;
};

}  // namespace kt
