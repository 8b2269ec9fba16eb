#include "package/Package.h"

#include "package/Cp1251.h"
#include "package/IniFile.h"
#include "platform/Memory.h"

#include <array>
#include <filesystem>
#include <memory>
#include <optional>

namespace kt {
namespace {

constexpr const char* kCommon = "COMMON";
// Every key OpenPackage reads; the header reader keeps nothing else of the file.
constexpr std::array<std::string_view, 10> kHeaderKeys = {"VERSION",   "NAME", "COPYRIGHT", "SUPPORT",    "CORE_VERS",
                                                          "CORE_DATE", "TEXT", "CORE_SIZE", "FLASH_SIZE", "DEVICE"};

// Loads one image of `size` bytes from `section`; logs the size line and the outcome.
bool LoadImage(const std::string& fileName, const char* sizeLine, std::int32_t size, std::int32_t limit,
               const char* section, Bytes& image, FormView& view)
{
    view.AddLog(std::string(sizeLine) + std::to_string(size) + " байт...");
    bool loaded = false;
    if (size <= limit) {
        // Allocated untouched first, so that the system can back the image
        // with large pages before it is filled.
        image.reserve(static_cast<std::size_t>(size));
        platform::AdviseLargePages(image.data(), image.capacity());
        image.assign(static_cast<std::size_t>(size), 0xFF);
        loaded = LoadHexSection(fileName, section, image, view);
    }
    if (!loaded) {
        view.AddLog("   ОШИБКА! Не могу загрузить данные.");
        view.AddLog("");
        return false;
    }
    view.AddLog("   Данные загружены успешно.");
    return true;
}

}  // namespace

bool OpenPackage(const std::string& fileName, KVF_TYPE& package, FormView& view)
{
    view.SetCaption(kNoPackageCaption);
    view.ClearLog();
    package.CORE.clear();
    package.CORE.shrink_to_fit();
    package.FLASH.clear();
    package.FLASH.shrink_to_fit();
    view.SetUpdateEnabled(false);
    view.AddLog("Открываю файл: " + fileName);

    std::unique_ptr<IniFile> ini;
    try {
        ini = std::make_unique<IniFile>(fileName, kCommon, kHeaderKeys);
        package.FILE_NAME.clear();
    } catch (const IniError&) {
        // A file that cannot be read is the package's failure; anything else
        // is the program's and goes on to the front end.
        view.AddLog("   Ошибка при открытии файла!");
        view.AddLog("");
        return false;
    }

    bool headerRead = false;
    try {
        if (ini->ReadString(kCommon, "VERSION", "") != "2") {
            view.AddLog("   Несовместимая версия файла!");
        } else {
            package.NAME = ini->ReadString(kCommon, "NAME", "");
            package.COPYRIGHT = ini->ReadString(kCommon, "COPYRIGHT", "");
            package.SUPPORT = ini->ReadString(kCommon, "SUPPORT", "");
            package.CORE_VERS = ini->ReadString(kCommon, "CORE_VERS", "");
            if (!package.CORE_VERS.empty()) {
                package.CORE_DATE = ini->ReadString(kCommon, "CORE_DATE", "");
                package.TEXT = ini->ReadString(kCommon, "TEXT", "");
                package.CORE_SIZE = ini->ReadInteger(kCommon, "CORE_SIZE", -1);
                package.FLASH_SIZE = ini->ReadInteger(kCommon, "FLASH_SIZE", -1);
                package.DEVICE = ini->ReadInteger(kCommon, "DEVICE", -1);
                headerRead = package.DEVICE >= 0;
            }
        }
    } catch (const IniError&) {
        headerRead = false;  // the file could not be read to its end
    }
    ini.reset();
    if (!headerRead) {
        view.AddLog("   Ошибка при чтении файла!");
        view.AddLog("");
        return false;
    }

    package.FILE_NAME = fileName;
    view.AddLog("  Имя: " + Cp1251ToUtf8(package.NAME));
    view.AddLog("  Версия: " + Cp1251ToUtf8(package.CORE_VERS) + " от " + Cp1251ToUtf8(package.CORE_DATE));
    view.AddLog("  Назначение: " + Cp1251ToUtf8(package.TEXT));
    view.AddLog("  Права: " + Cp1251ToUtf8(package.COPYRIGHT));

    if (package.CORE_SIZE > 0 && !LoadImage(package.FILE_NAME, "Загружаю данные прошивки - ", package.CORE_SIZE,
                                            kMaxCoreSize, "CORE", package.CORE, view))
        return false;
    if (package.FLASH_SIZE > 0 && !LoadImage(package.FILE_NAME, "Загружаю медиа данные - ", package.FLASH_SIZE,
                                             kMaxFlashSize, "FLASH", package.FLASH, view))
        return false;

    view.Progress().SetToMin();
    view.SetUpdateEnabled(true);
    view.AddLog("Файл загружен успешно.");
    view.AddLog("");
    view.SetCaption("KT_FLASH - " + std::filesystem::path(package.FILE_NAME).filename().string());
    return true;
}

}  // namespace kt
