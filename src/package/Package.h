// The firmware package: its record, and the open operation that reads a .kvf
// file (an INI header and two Intel HEX sections) into it and reports it.
#pragma once

#include "view/FormView.h"
#include "package/HexSection.h"

#include <cstdint>
#include <string>

namespace kt {

// One opened package. Texts hold the file's own Windows-1251 bytes;
// FILE_NAME holds the path exactly as it was given.
struct KVF_TYPE {
    std::string FILE_NAME;
    std::string NAME;
    std::string COPYRIGHT;
    std::string SUPPORT;
    std::string CORE_VERS;
    std::string CORE_DATE;
    std::string TEXT;
    std::int32_t CORE_SIZE = 0;
    std::int32_t FLASH_SIZE = 0;
    std::int32_t DEVICE = 0;
    Bytes CORE;
    Bytes FLASH;
};

// Media blocks carry a 16-bit number: 65,536 blocks of 512 bytes at most.
inline constexpr std::int32_t kMaxFlashSize = 65536 * 512;
// The core image goes to the device's loader in 260-byte blocks; 16 MiB is far
// beyond any controller program and keeps a hostile header from making us
// allocate gigabytes.
inline constexpr std::int32_t kMaxCoreSize = 16 * 1024 * 1024;

// The window's caption before any package was opened, and after a failed open.
inline constexpr const char* kDesignCaption = "KT-FLASH V.3.0";
inline constexpr const char* kNoPackageCaption = "KT_FLASH V.3.0";

// Reads the package at `fileName` into `package`, logging as it goes; true
// when the header and every image present were read. Enables the update
// button on success and disables it first in any case.
bool OpenPackage(const std::string& fileName, KVF_TYPE& package, FormView& view);

}  // namespace kt
