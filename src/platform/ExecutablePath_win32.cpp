#include "platform/ExecutablePath.h"

#include "platform/Text_win32.h"

#include <windows.h>

#include <vector>

namespace kt::platform {

std::optional<std::string> ExecutablePath()
{
    // Paths may be longer than MAX_PATH; the buffer grows until the name fits.
    constexpr DWORD kLongestPath = 32768;
    for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
        std::vector<wchar_t> buffer(size);
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0)
            return std::nullopt;
        if (length < size)
            return ToUtf8(std::wstring_view(buffer.data(), length));
    }
    return std::nullopt;
}

}  // namespace kt::platform
