// Windows-1251 (Cyrillic) text, the code page of the package files and the
// device's texts, converted to and from the UTF-8 that the log shows.
#pragma once

#include <string>
#include <string_view>

namespace kt {

// Every byte becomes one character; the one undefined byte (0x98) becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view cp1251);

// Characters that Windows-1251 cannot hold become '?'. Invalid UTF-8 bytes too.
std::string Utf8ToCp1251(std::string_view utf8);

}  // namespace kt
