#include "Program.h"

#include "InProcessDevice.h"
#include "TMainForm.h"

#include <algorithm>
#include <memory>

namespace kt::win32 {

int RunProgram(const std::vector<std::string>& arguments, std::optional<std::string> settingsPath,
               const std::function<void(TMainForm&)>& shown)
{
    TMainForm form(std::move(settingsPath));
    std::unique_ptr<sim::InProcessDevice> simulator;
    if (arguments.size() > 1 && std::find(arguments.begin() + 1, arguments.end(), "--simulate") != arguments.end()) {
        sim::SimOptions device;
        device.baud = form.Comm1.BaudRate();
        simulator = std::make_unique<sim::InProcessDevice>(device);
        form.UseSimulatedDevice(simulator->PortName(), simulator->Factory());
    }
    const std::string package = TMainForm::PackageArgument(arguments);
    form.Show();
    if (shown)
        shown(form);
    if (!package.empty())
        form.OpenPackage(package);
    return form.Run();
}

}  // namespace kt::win32
