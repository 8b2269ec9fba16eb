// Opening speed of a package: a package with a 32 MiB media image and a
// 256 KiB core image in 16-byte records, opened with OpenPackage (header, core
// and media), against objcopy converting the media records alone to a binary
// image, in the same run. Each run is a child process, so that its time is a
// whole program's and its peak memory its own.
//
//   hex_load_bench [--runs N] [--size BYTES] [--core BYTES]
#include "BenchView.h"
#include "PackageWriter.h"
#include "package/Package.h"

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

// The child: opens the package quietly; a failure shows the log that says why.
int OpenOnly(const char* path)
{
    class QuietView : public BenchView {
    public:
        QuietView() : BenchView(false) {}
        void AddLog(std::string_view line) override { log_.emplace_back(line); }
        void Show() const
        {
            for (const auto& line : log_)
                std::fprintf(stderr, "%s\n", line.c_str());
        }

    private:
        std::vector<std::string> log_;
    } view;
    kt::KVF_TYPE package;
    if (kt::OpenPackage(path, package, view))
        return 0;
    view.Show();
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--open") == 0)
        return OpenOnly(argv[2]);

    int runs = 5;
    std::size_t size = 32u * 1024 * 1024;
    std::size_t coreSize = 256u * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--size") == 0)
            size = std::strtoull(argv[i + 1], nullptr, 0);
        else if (std::strcmp(argv[i], "--core") == 0)
            coreSize = std::strtoull(argv[i + 1], nullptr, 0);
    }

    const auto dir = std::filesystem::temp_directory_path() / ("kt-hex-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto package = (dir / "media.kvf").string();
    const auto hex = (dir / "media.hex").string();
    const auto bin = (dir / "media.bin").string();
    {
        kt::gen::PackageContent content;
        content.name = "bench";
        content.coreVers = "1.0";
        content.coreDate = "01.01.2026";
        content.core = kt::gen::PatternBytes(coreSize, 3);
        content.flash = kt::gen::PatternBytes(size, 7);
        kt::gen::WritePackageFile(package, content);
        std::ofstream h(hex, std::ios::binary);
        kt::gen::WriteHexRecords(h, content.flash, content.recordSize, content.eol);
    }
    const double hexMiB = static_cast<double>(std::filesystem::file_size(hex)) / (1024.0 * 1024.0);
    const double packageMiB = static_cast<double>(std::filesystem::file_size(package)) / (1024.0 * 1024.0);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

    std::vector<double> ours, theirs, ratios;
    long oursRss = 0, theirsRss = 0;
    bool objcopyOk = true;
    for (int r = 0; r < runs + 1; ++r) {  // the first pair warms the page cache
        const auto a = RunChild({self, "--open", package});
        const auto b = RunChild({"objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", hex, bin});
        if (a.status != 0) {
            std::fprintf(stderr, "the package did not open\n");
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

    const double imagesMiB = static_cast<double>(size + coreSize) / (1024.0 * 1024.0);
    std::printf(
        "media image %.1f MiB (HEX text %.1f MiB, 16-byte records) and core image %.2f MiB "
        "(package %.1f MiB), %d runs each, medians\n",
        static_cast<double>(size) / (1024.0 * 1024.0), hexMiB, static_cast<double>(coreSize) / (1024.0 * 1024.0),
        packageMiB, runs);
    std::printf("OpenPackage        %7.3f s  %7.1f MiB/s of package text  peak %6.1f MiB (images + %.1f MiB)\n",
                Median(ours), packageMiB / Median(ours), static_cast<double>(oursRss) / 1024.0,
                static_cast<double>(oursRss) / 1024.0 - imagesMiB);
    if (objcopyOk)
        std::printf("objcopy -O binary  %7.3f s  %7.1f MiB/s of HEX text  peak %6.1f MiB\n", Median(theirs),
                    hexMiB / Median(theirs), static_cast<double>(theirsRss) / 1024.0);
    else
        std::printf("objcopy did not run (binutils missing?)\n");
    std::printf("speed-up over objcopy (median of pairwise ratios): %.2fx\n", Median(ratios));
    return 0;
}
