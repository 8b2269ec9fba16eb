// kt-device-sim: a simulated ТЕЛВИКС on a pseudo-terminal, to run the tool
// without hardware. Prints the port path, serves until a stop request (Ctrl+C, SIGTERM, SIGHUP),
// then writes what it was sent. kt-device-sim --help lists the options.
#include "PtyDevice.h"
#include "SimCommandLine.h"
#include "platform/Console.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

namespace {

using namespace kt::sim;

// Removes the symlink again however main ends.
class Symlink {
public:
    Symlink(std::filesystem::path link, const std::string& target) : link_(std::move(link))
    {
        // A stale link from an earlier run is replaced; anything else is not ours to remove.
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(link_)))
            std::filesystem::remove(link_);
        std::filesystem::create_symlink(target, link_);
    }
    ~Symlink()
    {
        std::error_code ignored;
        std::filesystem::remove(link_, ignored);
    }
    Symlink(const Symlink&) = delete;
    Symlink& operator=(const Symlink&) = delete;

private:
    std::filesystem::path link_;
};

bool WriteFile(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out)
        std::cerr << "kt-device-sim: cannot write " << path << '\n';
    return static_cast<bool>(out);
}

bool WriteDumps(const SimProgramOptions& o, const PtyDevice& device)
{
    bool ok = true;
    if (!o.dumpCore.empty()) {
        const Bytes core = device.CoreImage();
        ok &= WriteFile(o.dumpCore, std::string(core.begin(), core.end()));
    }
    if (!o.dumpMedia.empty()) {
        const Bytes media = device.MediaImage();
        ok &= WriteFile(o.dumpMedia, std::string(media.begin(), media.end()));
    }
    if (!o.dumpFrames.empty()) {
        std::string lines;
        for (const auto& frame : device.Frames())
            lines += frame + '\n';
        ok &= WriteFile(o.dumpFrames, lines);
    }
    if (!o.turnarounds.empty()) {
        std::string lines;
        for (const auto& turnaround : device.Turnarounds())
            lines += std::to_string(std::chrono::duration<double, std::micro>(turnaround).count()) + '\n';
        ok &= WriteFile(o.turnarounds, lines);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const auto parsed = ParseSimCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cerr << "kt-device-sim: " << parsed.error << "\n(kt-device-sim --help lists the options)\n";
        return 2;
    }
    const SimProgramOptions& o = *parsed.options;
    if (o.help) {
        std::cout << SimUsage();
        return 0;
    }

    // Blocked before the worker starts, so that it inherits the mask and the
    // stop requests reach the wait below.
    kt::platform::BlockStopRequests();

    try {
        PtyDevice device(o.device);
        std::optional<Symlink> link;
        if (!o.link.empty())
            link.emplace(o.link, device.SlavePath());
        std::cout << device.SlavePath() << std::endl;

        kt::platform::WaitForStopRequest();
        device.Stop();
        return WriteDumps(o, device) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "kt-device-sim: " << e.what() << '\n';
        return 1;
    }
}
