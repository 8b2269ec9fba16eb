#include "platform/UserFolders.h"

#include "platform/Text_win32.h"

#include <windows.h>

#include <filesystem>

namespace kt::platform {

bool FolderWritable(const std::string& folder)
{
    // Access rights on Windows are best learnt by trying: a file that goes
    // again when its handle closes.
    if (folder.empty())
        return false;
    const std::wstring probe =
        (std::filesystem::path(ToWide(folder)) / (L".kt-flash-" + std::to_wstring(GetCurrentProcessId()) + L".tmp"))
            .wstring();
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool InstalledProgramFolder(const std::string& folder)
{
    std::wstring path = std::filesystem::path(ToWide(folder)).lexically_normal().wstring();
    CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    for (const wchar_t* variable : {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432"}) {
        wchar_t value[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(variable, value, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            continue;
        std::wstring root = std::filesystem::path(value).lexically_normal().wstring();
        CharUpperBuffW(root.data(), static_cast<DWORD>(root.size()));
        if (path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
            (path.size() == root.size() || path[root.size()] == L'\\'))
            return true;
    }
    return false;
}

std::optional<std::string> UserConfigFolder()
{
    const DWORD length = GetEnvironmentVariableW(L"APPDATA", nullptr, 0);
    if (length == 0)
        return std::nullopt;
    std::wstring appData(length, L'\0');
    appData.resize(GetEnvironmentVariableW(L"APPDATA", appData.data(), length));
    if (appData.empty())
        return std::nullopt;
    return ToUtf8((std::filesystem::path(appData) / L"KT-FLASH").wstring());
}

}  // namespace kt::platform
