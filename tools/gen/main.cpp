// kt-make-package: writes a firmware package with generated images.
//   kt-make-package OUT.kvf [--core N] [--flash N] [--record N] [--device N] [--example]
#include "PackageWriter.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

int main(int argc, char** argv)
{
    using namespace kt::gen;
    PackageContent c;
    c.name = "Тестовый пакет";
    c.copyright = "(c) ТЕЛВИКС";
    c.support = "support";
    c.coreVers = "1.0";
    c.coreDate = "01.01.2026";
    c.text = "Проверка";
    std::size_t coreSize = 1024;
    std::size_t flashSize = 1024;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto number = [&]() -> long long {
            if (i + 1 >= argc) {
                std::cerr << "kt-make-package: " << arg << " needs a number\n";
                std::exit(2);
            }
            return std::strtoll(argv[++i], nullptr, 0);
        };
        if (arg == "--core")
            coreSize = static_cast<std::size_t>(number());
        else if (arg == "--flash")
            flashSize = static_cast<std::size_t>(number());
        else if (arg == "--record")
            c.recordSize = static_cast<std::size_t>(number());
        else if (arg == "--device")
            c.device = static_cast<std::int32_t>(number());
        else if (arg == "--example") {
            // The example package shipped in examples/.
            c.name = "ТЕЛВИКС-М2, основная прошивка";
            c.copyright = "(c) 2026 ТЕЛВИКС. Все права защищены.";
            c.support = "Служба поддержки: support@telviks.example";
            c.coreVers = "3.0.12";
            c.coreDate = "10.12.2026";
            c.text = "Обновление ядра и медиа данных контроллера";
            c.device = 0x21;
            coreSize = 3000;
            flashSize = 10000;
        } else if (!arg.starts_with("--") && out.empty())
            out = arg;
        else {
            std::cerr << "usage: kt-make-package OUT.kvf [--core N] [--flash N] [--record N] [--device N] [--example]\n";
            return 2;
        }
    }
    if (out.empty() || c.recordSize == 0 || c.recordSize > 255) {
        std::cerr << "usage: kt-make-package OUT.kvf [--core N] [--flash N] [--record N] [--device N] [--example]\n";
        return 2;
    }
    c.core = PatternBytes(coreSize, 1);
    c.flash = PatternBytes(flashSize, 2);
    try {
        WritePackageFile(out, c);
    } catch (const std::exception& e) {
        std::cerr << "kt-make-package: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
