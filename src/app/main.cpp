// kt-flash: the window. The first argument that is not an option (options
// start with "--") names a package to open at start; further ones are ignored.
#include "InProcessDevice.h"
#include "TMainForm.h"
#include "shell/FormActions.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string_view>

namespace {

bool Given(int argc, char** argv, std::string_view option)
{
    for (int i = 1; i < argc; ++i)
        if (argv[i] == option)
            return true;
    return false;
}

bool Set(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

}  // namespace

int main(int argc, char** argv)
{
    if (Given(argc, argv, "--version")) {
        std::cout << "kt-flash " KT_VERSION "\n";
        return 0;
    }
    if (Given(argc, argv, "--help")) {
        std::cout << kt::kWindowHelp;
        return 0;
    }
    // With nowhere to draw, Qt can only abort with its own message: one line instead.
    if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
        std::cerr << "kt-flash: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not set); "
                     "kt-flash-cli works without one\n";
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("DRAXO CORE FLASHER");
    // Qt's own dialogs (the file dialogs, the log's context menu) in Russian,
    // like the rest of the window, where Qt's translations are installed.
    QTranslator qtTranslation;
    if (qtTranslation.load(QLocale(QLocale::Russian), "qtbase", "_",
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslation);

    TMainForm form;
    QApplication::setWindowIcon(form.windowIcon());  // the dialogs' too
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
