// Loading speed of an Intel HEX section: a 32 MiB media image in 16-byte
// records, loaded with LoadHexSection, against objcopy converting the same
// records to a binary image, in the same run. Each run is a child process,
// so that its peak memory is its own.
//
//   hex_load_bench [--runs N] [--size BYTES]
#include "BenchView.h"
#include "PackageWriter.h"
#include "package/HexSection.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct RunResult {
    double seconds;
    long maxRssKiB;
    int status;
};

RunResult RunChild(const std::vector<std::string>& argv)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), usage.ru_maxrss, status};
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int LoadOnly(const char* path, std::size_t size)
{
    BenchView view(true);
    kt::Bytes image(size);
    return kt::LoadHexSection(path, "FLASH", image, view) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--load") == 0)
        return LoadOnly(argv[2], std::strtoull(argv[3], nullptr, 10));

    int runs = 5;
    std::size_t size = 32u * 1024 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--size") == 0)
            size = std::strtoull(argv[i + 1], nullptr, 0);
    }

    const auto dir = std::filesystem::temp_directory_path() / ("kt-hex-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto package = (dir / "media.kvf").string();
    const auto hex = (dir / "media.hex").string();
    const auto bin = (dir / "media.bin").string();
    {
        const auto image = kt::gen::PatternBytes(size, 7);
        std::ofstream p(package, std::ios::binary);
        p << "[COMMON]\r\nVERSION=2\r\n\r\n[FLASH]\r\n";
        kt::gen::WriteHexRecords(p, image, 16, "\r\n");
        std::ofstream h(hex, std::ios::binary);
        kt::gen::WriteHexRecords(h, image, 16, "\r\n");
    }
    const double hexMiB = static_cast<double>(std::filesystem::file_size(hex)) / (1024.0 * 1024.0);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

    std::vector<double> ours, theirs, ratios;
    long oursRss = 0, theirsRss = 0;
    bool objcopyOk = true;
    for (int r = 0; r < runs + 1; ++r) {  // the first pair warms the page cache
        const auto a = RunChild({self, "--load", package, std::to_string(size)});
        const auto b = RunChild({"objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", hex, bin});
        if (a.status != 0) {
            std::fprintf(stderr, "LoadHexSection failed\n");
            return 1;
        }
        objcopyOk = objcopyOk && b.status == 0;
        if (r == 0)
            continue;
        ours.push_back(a.seconds);
        theirs.push_back(b.seconds);
        ratios.push_back(b.seconds / a.seconds);
        oursRss = std::max(oursRss, a.maxRssKiB);
        theirsRss = std::max(theirsRss, b.maxRssKiB);
    }
    std::filesystem::remove_all(dir);

    const double imageMiB = static_cast<double>(size) / (1024.0 * 1024.0);
    std::printf("image %.1f MiB, HEX text %.1f MiB (16-byte records), %d runs each, medians\n", imageMiB, hexMiB, runs);
    std::printf("LoadHexSection     %7.3f s  %7.1f MiB/s of HEX text  peak %6.1f MiB (image + %.1f MiB)\n",
                Median(ours), hexMiB / Median(ours), static_cast<double>(oursRss) / 1024.0,
                static_cast<double>(oursRss) / 1024.0 - imageMiB);
    if (objcopyOk)
        std::printf("objcopy -O binary  %7.3f s  %7.1f MiB/s of HEX text  peak %6.1f MiB\n", Median(theirs),
                    hexMiB / Median(theirs), static_cast<double>(theirsRss) / 1024.0);
    else
        std::printf("objcopy did not run (binutils missing?)\n");
    std::printf("speed-up over objcopy (median of pairwise ratios): %.2fx\n", Median(ratios));
    return 0;
}
