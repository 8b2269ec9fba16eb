// kt-make-package: writes a firmware package with generated images.
//   kt-make-package OUT.kvf [--core N] [--flash N] [--record N] [--device N] [--example]
#include "PackageWriter.h"

#include "shell/CommandLine.h"

#include <cstdint>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: kt-make-package OUT.kvf [--core N] [--flash N] [--record N] [--device N] [--example]\n";
// A usage error, as in the other programs.
constexpr int kUsageExit = 2;
constexpr int kWriteFailedExit = 1;

// Image sizes and the device code are written as 32-bit header values.
constexpr kt::NumberRule kSizeRule{0, std::numeric_limits<std::int32_t>::max(), true};
constexpr kt::NumberRule kDeviceRule{std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                                     true};
// An Intel HEX record carries 1 to 255 data bytes.
constexpr kt::NumberRule kRecordRule{1, 255, true};

constexpr std::size_t kDefaultImageSize = 1024;

int UsageError(const std::string& message)
{
    std::cerr << "kt-make-package: " << message << '\n' << kUsage;
    return kUsageExit;
}

}  // namespace

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
    std::size_t coreSize = kDefaultImageSize;
    std::size_t flashSize = kDefaultImageSize;
    const std::vector<kt::CommandOption> options = {
        kt::NumberOption("--core", kSizeRule, coreSize),
        kt::NumberOption("--flash", kSizeRule, flashSize),
        kt::NumberOption("--record", kRecordRule, c.recordSize),
        kt::NumberOption("--device", kDeviceRule, c.device),
        kt::FlagOption("--example",
                       [&] {
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
                       }),
    };
    const kt::ParsedArguments parsed = kt::ParseArguments(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!parsed.Ok())
        return UsageError(parsed.error);
    if (parsed.positional.empty() || parsed.positional[0].empty())
        return UsageError("no output file given");
    if (parsed.positional.size() > 1)
        return UsageError("unexpected argument " + parsed.positional[1]);

    c.core = PatternBytes(coreSize, 1);
    c.flash = PatternBytes(flashSize, 2);
    try {
        WritePackageFile(parsed.positional[0], c);
    } catch (const std::exception& e) {
        std::cerr << "kt-make-package: " << e.what() << '\n';
        return kWriteFailedExit;
    }
    return 0;
}
