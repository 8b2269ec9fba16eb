// kt-flash: the window. The first argument that is not an option (options
// start with "--") names a package to open at start; further ones are ignored.
#include "InProcessDevice.h"
#include "TMainForm.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("DRAXO CORE FLASHER");

    TMainForm form;
    // --simulate: a simulated device inside the program answers instead of a real one.
    std::unique_ptr<kt::sim::InProcessDevice> simulator;
    if (QApplication::arguments().contains("--simulate")) {
        kt::sim::SimOptions device;
        device.baud = form.Comm1.BaudRate();
        simulator = std::make_unique<kt::sim::InProcessDevice>(device);
        form.UseSimulatedDevice(simulator->PortName(), simulator->Factory());
    }
    const std::string package = TMainForm::PackageArgument(QApplication::arguments());
    form.show();
    if (!package.empty())
        form.OpenPackage(package);
    return QApplication::exec();
}
