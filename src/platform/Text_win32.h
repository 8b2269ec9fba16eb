// UTF-8, the core's text, to and from the UTF-16 of the Windows API.
#pragma once

#include <string>
#include <string_view>

namespace kt::platform {

// Invalid sequences become U+FFFD.
std::wstring ToWide(std::string_view utf8);
std::string ToUtf8(std::wstring_view wide);

}  // namespace kt::platform
