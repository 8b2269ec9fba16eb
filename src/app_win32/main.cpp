// kt-flash: the window. The first argument that is not an option (options
// start with "--") names a package to open at start; further ones are ignored.
#include "Program.h"

#include "platform/Text_win32.h"

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

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
    return kt::win32::RunProgram(arguments);
}
