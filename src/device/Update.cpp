// The firmware update's steps: the core image through the device's loader,
// the media image through its flasher.
#include "device/DeviceSession.h"

#include "link/FlagScope.h"
#include "link/Protocol.h"

#include <algorithm>
#include <array>

namespace kt {

void DeviceSession::TellTransfer(std::string_view step, int blocks, int blocksDone, long long bytes,
                                 long long bytesDone)
{
    if (blocksDone == 0)
        transferStart_ = DeviceHost::Clock::now();
    DeviceHost::Transfer transfer;
    transfer.step = step;
    transfer.blocks = blocks;
    transfer.blocksDone = blocksDone;
    transfer.bytes = bytes;
    transfer.bytesDone = bytesDone;
    transfer.elapsed = DeviceHost::Clock::now() - transferStart_;
    if (!Report.steps.empty()) {
        Report.steps.back().blocks = blocks;
        Report.steps.back().blocksDone = blocksDone;
    }
    host_.TransferProgress(transfer);
}

bool DeviceSession::WriteCoreBlocks(const Bytes& image, int count)
{
    FlagScope transferring(transferring_);
    ProgressBar& progress = host_.Progress();
    progress.SetToMin();
    progress.SetMax(std::max(count, 0) + 1);
    const long long bytes = static_cast<long long>(std::max(count, 0)) * kCoreBlockSize;
    TellTransfer("core", count, 0, bytes, 0);
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* block = image.data() + static_cast<std::size_t>(k) * kCoreBlockSize;
        bool accepted = false;
        for (int attempt = 0; attempt < kCoreAttempts && !accepted; ++attempt) {
            // A stop request ends the transfer here; a quick device would
            // otherwise keep acknowledging blocks after it.
            if (Aborted) {
                Report.failedBlock = k;
                return false;
            }
            if (attempt > 0)
                ++Report.coreRetries;
            DiscardInput();
            accepted = (SendDataCommand("W", block, kCoreBlockSize, kAckLength) && Acknowledged()) || AwaitLateAck();
        }
        if (!accepted) {
            Report.failedBlock = k;
            return false;
        }
        Report.bytesSent += kCoreBlockSize;
        progress.StepBy(1);
        TellTransfer("core", count, k + 1, bytes, static_cast<long long>(k + 1) * kCoreBlockSize);
    }
    return true;
}

bool DeviceSession::WriteMediaBlocks(const Bytes& image, int first, int count)
{
    FlagScope transferring(transferring_);
    ProgressBar& progress = host_.Progress();
    progress.SetToMin();
    progress.SetMax(std::max(count, 0) + 1);
    const long long bytes = static_cast<long long>(std::max(count, 0)) * kMediaBlockSize;
    TellTransfer("media", count, 0, bytes, 0);
    std::array<std::uint8_t, kBlockNumberSize + kMediaBlockSize> block{};
    for (int k = 0; k < count; ++k) {
        if (Aborted) {
            Report.failedBlock = k;
            return false;
        }
        const auto number = static_cast<std::uint16_t>(first + k);
        block[0] = static_cast<std::uint8_t>(number & 0xFF);
        block[1] = static_cast<std::uint8_t>(number >> 8);
        // The last block of an image that is not a whole number of blocks is
        // padded with 0xFF, the value of every byte the package leaves open.
        const auto data = block.begin() + kBlockNumberSize;
        const std::size_t offset = static_cast<std::size_t>(k) * kMediaBlockSize;
        const std::size_t available =
            offset < image.size() ? std::min<std::size_t>(kMediaBlockSize, image.size() - offset) : 0;
        if (available > 0)
            std::copy_n(image.data() + offset, available, data);
        std::fill(data + static_cast<std::ptrdiff_t>(available), block.end(), kErasedByte);
        DiscardInput();
        if (!((SendDataCommand("F", block.data(), block.size(), kAckLength) && Acknowledged()) || AwaitLateAck())) {
            Report.failedBlock = k;
            return false;
        }
        Report.bytesSent += kMediaBlockSize;
        progress.StepBy(1);
        TellTransfer("media", count, k + 1, bytes, static_cast<long long>(k + 1) * kMediaBlockSize);
    }
    return true;
}

bool DeviceSession::UpdateCore()
{
    if (Package.CORE_SIZE < 1)
        return false;
    host_.AddLog("Обновление микропрограммы...");
    bool exchangeOk = false;
    if (PingDevice("PFLASH") && !Aborted) {
        SendCommand("B", kWholeReply);
        bool polled = false;
        for (int i = 0; i < kLoaderPolls && !polled && !Aborted; ++i) {
            host_.Pause(kLoaderPollPause);
            polled = SendCommand("n", kWholeReply);
        }
        if (!polled || RxText != kLoaderIdentity) {
            LogFailure("   ОШИБКА! Не могу войти в режим загрузчика.");
            return false;
        }
        bool modelOk;
        Bytes model;
        if (SendCommand("D", kModelReplyLength)) {
            // A reply that is not hexadecimal cannot be compared: the update goes on.
            modelOk = !HexToBytes(RxText, model) || model.size() != 1 || model[0] == Package.DEVICE;
        } else {
            modelOk = Package.DEVICE == kAnyModel || Package.DEVICE == kAnyModelToo;
        }
        if (ReportStop())
            return false;  // a stop is no model mismatch
        if (!modelOk) {
            host_.AddLog("   ОШИБКА! Обновление не соответствует модели ТЕЛВИКСа!");
        } else {
            exchangeOk = true;
        }
    }
    if (!exchangeOk) {
        LogFailure("   ОШИБКА! Ошибка при работе с контроллером.");
        return false;
    }
    if (WriteCoreBlocks(Package.CORE, Package.CORE_SIZE / kCoreBlockSize)) {
        SendCommand("X", kWholeReply);
        host_.Pause(kAfterCorePause);
        host_.AddLog("   Данные успешно загружены.");
        return true;
    }
    LogFailure("   ОШИБКА загрузки данных.");
    return false;
}

bool DeviceSession::UpdateMedia()
{
    if (Package.FLASH_SIZE < 1) {
        if (!Report.steps.empty())
            Report.steps.back().outcome = StepOutcome::Skipped;
        return true;
    }
    host_.AddLog("Обновление медиа данных...");
    if (!PingDevice("PFLASH") || !SendCommand("n", static_cast<int>(kFlasherIdentity.size()))) {
        LogFailure(kReadoutFailedLine);
        return false;
    }
    if (RxText != kFlasherIdentity) {
        LogFailure("   ОШИБКА! Не могу войти в режим программирования.");
        return false;
    }
    if (WriteMediaBlocks(Package.FLASH, 0, (Package.FLASH_SIZE + kMediaBlockSize - 1) / kMediaBlockSize)) {
        host_.AddLog("   Данные успешно загружены.");
        return true;
    }
    LogFailure("   ОШИБКА загрузки данных.");
    return false;
}

}  // namespace kt
