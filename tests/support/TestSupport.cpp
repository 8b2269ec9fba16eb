#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace kt::test {

TempDir::TempDir()
{
    // A new folder under a random name: creating it fails when the name is
    // taken, and the next name is tried.
    constexpr int kTries = 100;
    const auto base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int i = 0; i < kTries; ++i) {
        const auto candidate = base / ("kt-test-" + std::to_string(random()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder under " + base.string());
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
    return static_cast<long>(
        std::count_if(frames.begin(), frames.end(), [&](const std::string& f) { return f.rfind(prefix, 0) == 0; }));
}

bool ChangesTheDevice(const std::string& frame)
{
    return frame == "B" || frame.rfind("W", 0) == 0 || frame.rfind("F", 0) == 0 || frame.rfind("T", 0) == 0;
}

}  // namespace kt::test
