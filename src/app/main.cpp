// kt-flash: the window. The first argument that is not an option (options
// start with "--") names a package to open at start; further ones are ignored.
#include "TMainForm.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("DRAXO CORE FLASHER");

    TMainForm form;
    const std::string package = TMainForm::PackageArgument(QApplication::arguments());
    form.show();
    if (!package.empty())
        form.OpenPackage(package);
    return QApplication::exec();
}
