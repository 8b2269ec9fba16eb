// Peak memory of OpenPackage on a package whose [COMMON] section carries a
// large junk header (by default 65,536 keys of 1,000-character names, about
// 64 MiB) against the same package without it and against the junk header
// without images, in the same run. Each open is a child process that reports
// how far its own peak resident set grew (VmHWM, which unlike ru_maxrss does
// not inherit the parent's peak).
//
//   package_open_bench [--keys N] [--name-length N] [--core BYTES] [--flash BYTES]
#include "BenchView.h"
#include "PackageWriter.h"
#include "package/Package.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

long StatusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::strtol(line.c_str() + n + 1, nullptr, 10);
    return -1;
}

// The child: opens the package and prints "<peak growth KiB> <seconds> <image bytes>".
int OpenOnly(const char* path)
{
    BenchView view(false);
    kt::KVF_TYPE package;
    const long before = StatusKiB("VmHWM");
    const auto start = std::chrono::steady_clock::now();
    const bool ok = kt::OpenPackage(path, package, view);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const long peak = StatusKiB("VmHWM");
    std::printf("%ld %.3f %zu\n", peak - before, elapsed.count(), package.CORE.size() + package.FLASH.size());
    return ok ? 0 : 1;
}

struct OpenResult {
    bool ok = false;
    double growthMiB = 0;
    double seconds = 0;
    double imagesMiB = 0;
};

OpenResult RunChild(const std::string& self, const std::string& package)
{
    OpenResult r;
    FILE* child = popen(("'" + self + "' --open '" + package + "'").c_str(), "r");
    if (child == nullptr)
        return r;
    long growthKiB = 0;
    std::size_t images = 0;
    const bool parsed = std::fscanf(child, "%ld %lf %zu", &growthKiB, &r.seconds, &images) == 3;
    r.ok = pclose(child) == 0 && parsed;
    r.growthMiB = static_cast<double>(growthKiB) / 1024.0;
    r.imagesMiB = static_cast<double>(images) / (1024.0 * 1024.0);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--open") == 0)
        return OpenOnly(argv[2]);

    std::size_t keys = 65536;
    std::size_t nameLength = 1000;
    std::size_t coreSize = 1024 * 1024;
    std::size_t flashSize = 8 * 1024 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const auto value = std::strtoull(argv[i + 1], nullptr, 0);
        if (std::strcmp(argv[i], "--keys") == 0)
            keys = value;
        else if (std::strcmp(argv[i], "--name-length") == 0)
            nameLength = std::max<std::size_t>(value, 8);
        else if (std::strcmp(argv[i], "--core") == 0)
            coreSize = value;
        else if (std::strcmp(argv[i], "--flash") == 0)
            flashSize = value;
    }

    kt::gen::PackageContent content;
    content.name = "bench";
    content.coreVers = "1.0";
    content.coreDate = "01.01.2026";
    auto packageText = [&] {
        std::ostringstream text;
        kt::gen::WritePackage(text, content);
        return text.str();
    };
    const std::string imagesOnly = packageText();  // empty images: a header-only package
    content.core = kt::gen::PatternBytes(coreSize, 1);
    content.flash = kt::gen::PatternBytes(flashSize, 2);
    const std::string plain = packageText();

    // Half of the junk keys go before the real ones and half after them, so
    // that the real keys are neither the first nor the last of the section.
    auto withJunk = [&](const std::string& package) {
        std::string name(nameLength, 'j');
        std::ostringstream out;
        auto junk = [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; ++k) {
                const std::string number = std::to_string(k);
                std::copy(number.begin(), number.end(), name.end() - static_cast<std::ptrdiff_t>(number.size()));
                out << name << "=junk value " << k << "\r\n";
            }
        };
        const std::size_t firstKey = package.find("\r\n") + 2;
        const std::size_t headerEnd = package.find("\r\n\r\n[CORE]") + 2;
        out << package.substr(0, firstKey);
        junk(0, keys / 2);
        out << package.substr(firstKey, headerEnd - firstKey);
        junk(keys / 2, keys);
        out << package.substr(headerEnd);
        return out.str();
    };

    const auto dir = std::filesystem::temp_directory_path() / ("kt-open-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto plainPath = (dir / "plain.kvf").string();
    const auto junkPath = (dir / "junk-header.kvf").string();
    const auto junkOnlyPath = (dir / "junk-header-no-images.kvf").string();
    std::ofstream(plainPath, std::ios::binary) << plain;
    std::ofstream(junkPath, std::ios::binary) << withJunk(plain);
    std::ofstream(junkOnlyPath, std::ios::binary) << withJunk(imagesOnly);
    const double junkMiB =
        static_cast<double>(std::filesystem::file_size(junkPath) - std::filesystem::file_size(plainPath)) /
        (1024.0 * 1024.0);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

    RunChild(self, junkPath);  // warms the page cache
    const auto a = RunChild(self, plainPath);
    const auto b = RunChild(self, junkPath);
    const auto c = RunChild(self, junkOnlyPath);
    std::filesystem::remove_all(dir);
    if (!a.ok || !b.ok || !c.ok) {
        std::fprintf(stderr, "a package did not open\n");
        return 1;
    }

    std::printf("images %.1f MiB; junk header %.1f MiB (%zu keys, names of %zu characters)\n", a.imagesMiB, junkMiB,
                keys, nameLength);
    auto row = [](const char* what, const OpenResult& r) {
        std::printf("%-30s %7.3f s  peak growth %6.1f MiB = images + %5.1f MiB", what, r.seconds, r.growthMiB,
                    r.growthMiB - r.imagesMiB);
        if (r.imagesMiB > 0)
            std::printf(" = images x %.2f", r.growthMiB / r.imagesMiB);
        std::printf("\n");
    };
    row("plain header", a);
    row("junk header", b);
    row("junk header, no images", c);
    std::printf("the junk header costs %.1f MiB more than the plain one\n", b.growthMiB - a.growthMiB);
    return 0;
}
