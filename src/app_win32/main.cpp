// kt-flash: the window. The first argument that is not an option (options
// start with "--") names a package to open at start; further ones are ignored.
// --version and --help print and end without a window.
#include "Program.h"

#include "platform/Text_win32.h"
#include "shell/FormActions.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A window program has no console of its own: the text goes where its output
// was sent (a file, a pipe), else to the console it was started from, else,
// started from the desktop, into a message box.
void Tell(const std::string& text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    bool attached = false;
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        attached = AttachConsole(ATTACH_PARENT_PROCESS) != FALSE;
        out = attached ? CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
                       : INVALID_HANDLE_VALUE;
    }
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        MessageBoxW(nullptr, kt::platform::ToWide(text).c_str(), L"KT-FLASH", MB_OK | MB_ICONINFORMATION);
        return;
    }
    DWORD written = 0;
    if (GetFileType(out) == FILE_TYPE_CHAR) {
        // A console takes UTF-16 whatever its code page.
        const std::wstring wide = kt::platform::ToWide(text);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    if (attached)
        CloseHandle(out);
}

}  // namespace

int main()
{
    // The arguments as the system has them, in UTF-16, whatever the code page.
    std::vector<std::string> arguments;
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments.push_back(kt::platform::ToUtf8(wide[i]));
        LocalFree(wide);
    }
    auto given = [&](const char* option) {
        return std::find(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(), option) != arguments.end();
    };
    if (given("--version")) {
        Tell("kt-flash " KT_VERSION "\n");
        return 0;
    }
    if (given("--help")) {
        Tell(kt::kWindowHelp);
        return 0;
    }
    return kt::win32::RunProgram(arguments);
}
