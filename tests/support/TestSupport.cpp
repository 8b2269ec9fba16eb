#include "TestSupport.h"

#include <algorithm>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace kt::test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kt-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const
{
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    return file.string();
}

std::string CrLf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& l : lines)
        text += l + "\r\n";
    return text;
}

long CountOf(const std::vector<std::string>& frames, const std::string& prefix)
{
    return std::count_if(frames.begin(), frames.end(), [&](const std::string& f) { return f.rfind(prefix, 0) == 0; });
}

bool ChangesTheDevice(const std::string& frame)
{
    return frame == "B" || frame.rfind("W", 0) == 0 || frame.rfind("F", 0) == 0 || frame.rfind("T", 0) == 0;
}

}  // namespace kt::test
