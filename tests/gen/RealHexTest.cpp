// Real compiler output (../shared/realhex, see SOURCES.md there), each file
// packaged with one command as both images: what the package loader loads is
// what binutils' objcopy makes of the file, kt-flash-cli open tells its sizes
// and SHA-256, and an update leaves it on a simulated device byte for byte.
#include "ChildProcess.h"
#include "PtyDevice.h"
#include "TestSupport.h"
#include "package/Package.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kt::gen {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using test::ProgramRun;
using test::RunProgram;

constexpr std::size_t kCoreBlock = 260;
constexpr std::size_t kMediaBlock = 512;

struct RealHexCase {
    std::string name;
    std::string file;
    Strings options;  // after each of --core FILE and --flash FILE
    // The range of --keep in `options`: objcopy converts the sections inside it.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> keep = {};
    // Part of the refusal when the file is packaged without `options`; empty
    // when it is packaged all the same.
    std::string refusedWithout = {};
};

std::ostream& operator<<(std::ostream& os, const RealHexCase& c)
{
    return os << c.name;
}

const std::vector<RealHexCase> kRealHex = {
    // A boot loader in the last 1 KiB of 128 KiB of flash: the image starts at it.
    {"AvrOptiboot",
     "avr-optiboot_atmega1280.hex",
     {"--base", "auto"},
     {},
     "0x0001FC00-0x0001FFFF (787 bytes of data)\ngive --base auto (or --base 0x0001FC00)"},
    // Code from 0 and the lock byte at the end of its 256 KiB of flash, 14 KiB of filler apart.
    {"Cc2531Znp", "cc2531-iar8051-CC2531ZNP-Prod.hex", {}},
    // Code from 0 and the configuration at the end of its 352 KiB of flash: under half the image is filler.
    {"Cc2652rbCoordinator", "cc2652rb-ticlang-CC2652RB_coordinator_20240710.hex", {}},
    // Code from 0x9400 and the vectors at 0xFF80; from address 0 the image would still be only 64 KiB.
    {"Msp430Sketch", "msp430-gate_4_102.ino.hex", {"--base", "auto"}},
    // Program memory, and configuration words at 0x300000 beyond it: its 32 KiB of program memory kept.
    {"Pic18Loader",
     "pic18-loader-18F2550.hex",
     {"--keep", "0x0-0x7FFF"},
     std::pair<std::uint64_t, std::uint64_t>{0, 0x7FFF},
     "0x00300000-0x0030000D (12 bytes of data)"},
    // Code, and the configuration words in the last words of flash 86 KiB above it: the code kept.
    {"Pic24LedTest",
     "pic24-ledtest24_main.hex",
     {"--keep", "0x0-0x3FFF"},
     std::pair<std::uint64_t, std::uint64_t>{0, 0x3FFF},
     "0x000157F8-0x000157FF (8 bytes of data)"},
    // 256 KiB of flash, then configuration and metadata from 0x80000000 on: the flash kept.
    {"Psoc5lpBootloader",
     "psoc5lp-pisoc_bootloader.hex",
     {"--keep", "0x0-0x3FFFF"},
     std::pair<std::uint64_t, std::uint64_t>{0, 0x3FFFF},
     "0x80000000-0x80007FFF (32768 bytes of data)"},
    // A program linked at 0x08000000, with that address given.
    {"RiscvGd32RunningLed",
     "riscv-gd32vf103v_eval_running_led.hex",
     {"--base", "0x08000000"},
     {},
     "give --base auto (or --base 0x08000000)"},
};

std::string InputPath(const RealHexCase& c)
{
    return std::string(KT_REAL_HEX) + "/" + c.file;
}

Bytes ReadBytes(const fs::path& path)
{
    const std::string text = test::ReadWholeFile(path);
    return {text.begin(), text.end()};
}

void WriteBytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes PaddedTo(Bytes bytes, std::size_t block)
{
    bytes.resize((bytes.size() + block - 1) / block * block, 0xFF);
    return bytes;
}

// The names of the sections binutils reads from an Intel HEX file (one a run
// of consecutive records) that lie wholly inside `first`..`last`.
Strings SectionsInside(const std::string& input, std::uint64_t first, std::uint64_t last, const fs::path& scratch)
{
    const auto listing = scratch / "sections.txt";
    const std::string command = "objdump -h -b ihex '" + input + "' > '" + listing.string() + "'";
    if (std::system(command.c_str()) != 0)
        return {};
    // Rows: index, name, size, VMA, LMA, file offset, alignment (numbers in hex).
    Strings names;
    std::istringstream lines(test::ReadWholeFile(listing));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream row(line);
        unsigned index = 0;
        std::string name;
        std::uint64_t size = 0;
        std::uint64_t address = 0;
        if (!(row >> index >> name >> std::hex >> size >> address) || !name.starts_with("."))
            continue;
        if (address >= first && address + size - 1 <= last)
            names.push_back(name);
    }
    return names;
}

// binutils' image of the file: from its lowest address to its highest, the
// gaps filled with 0xFF (objcopy's own filler is 0x00).
Bytes ObjcopyImage(const RealHexCase& c, const fs::path& scratch)
{
    std::string command = "objcopy -I ihex -O binary --gap-fill 0xFF";
    if (c.keep) {
        const Strings sections = SectionsInside(InputPath(c), c.keep->first, c.keep->second, scratch);
        if (sections.empty()) {
            ADD_FAILURE() << "objdump lists no section of " << c.file << " inside the kept range";
            return {};  // objcopy would convert the whole file, far regions and all
        }
        for (const auto& s : sections)
            command += " --only-section=" + s;
    }
    const auto output = scratch / "objcopy.bin";
    command += " '" + InputPath(c) + "' '" + output.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return ReadBytes(output);
}

TEST(RealHexFolder, EveryFileHasARowAndEveryRowAFile)
{
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(KT_REAL_HEX))
        if (entry.path().extension() == ".hex")
            files.insert(entry.path().filename().string());
    std::set<std::string> rows;
    for (const auto& c : kRealHex)
        rows.insert(c.file);
    EXPECT_EQ(files, rows);
}

// Each case packages its file once, the same way, and converts it with objcopy.
class RealHex : public ::testing::TestWithParam<RealHexCase> {
protected:
    void SetUp() override
    {
        const auto& c = GetParam();
        ASSERT_TRUE(fs::exists(InputPath(c))) << InputPath(c);
        const ProgramRun make = RunProgram(KT_MAKE_PACKAGE_PATH, Arguments(c.options), dir.Path());
        ASSERT_EQ(make.status, 0) << make.err;
        const Bytes converted = ObjcopyImage(c, dir.Path());
        ASSERT_FALSE(converted.empty());
        core = PaddedTo(converted, kCoreBlock);
        media = converted;
    }

    Strings Arguments(const Strings& options) const
    {
        const std::string input = InputPath(GetParam());
        Strings args{package, "--core", input};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"--flash", input});
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"--core-version", "1.0", "--device", "33", "--name", GetParam().name});
        return args;
    }

    std::string Sha256Sum(const Bytes& bytes) const
    {
        const auto file = dir.Path() / "image.bin";
        WriteBytes(file, bytes);
        return test::FirstWordOf("sha256sum '" + file.string() + "'");
    }

    test::TempDir dir;
    std::string package = (dir.Path() / "real.kvf").string();
    Bytes core;   // objcopy's image padded with 0xFF to whole core blocks
    Bytes media;  // objcopy's image
};

TEST_P(RealHex, LoadsAsObjcopyConvertsIt)
{
    test::RecordingView view;
    KVF_TYPE loaded;
    ASSERT_TRUE(OpenPackage(package, loaded, view)) << testing::PrintToString(view.log);
    EXPECT_EQ(loaded.CORE_SIZE, static_cast<std::int32_t>(core.size()));
    EXPECT_TRUE(loaded.CORE == core);
    EXPECT_EQ(loaded.FLASH_SIZE, static_cast<std::int32_t>(media.size()));
    EXPECT_TRUE(loaded.FLASH == media);
}

TEST_P(RealHex, OpenTellsTheModelTheSizesAndTheSha256)
{
    const ProgramRun open = RunProgram(KT_CLI_PATH, {"open", package}, dir.Path());
    ASSERT_EQ(open.status, 0) << open.out;
    EXPECT_EQ(open.err,
              "kt-flash-cli: target model: DEVICE 33 (0x21)\n"
              "kt-flash-cli: core image: " +
                  std::to_string(core.size()) + " bytes, SHA-256 " + Sha256Sum(core) +
                  "\n"
                  "kt-flash-cli: media image: " +
                  std::to_string(media.size()) + " bytes, SHA-256 " + Sha256Sum(media) + "\n");
    EXPECT_EQ(open.out.find("SHA-256"), std::string::npos);
}

TEST_P(RealHex, AnUpdateLeavesItOnTheDeviceByteForByte)
{
    sim::PtyDevice device;
    const auto settings = (dir.Path() / "cli.INI").string();
    const ProgramRun update = RunProgram(
        KT_CLI_PATH, {"--settings", settings, "--port", device.SlavePath(), "--yes", "update", package}, dir.Path());
    ASSERT_EQ(update.status, 0) << update.out << update.err;
    EXPECT_TRUE(device.CoreImage() == core) << device.CoreImage().size() << " bytes of " << core.size();
    EXPECT_TRUE(device.MediaImage() == PaddedTo(media, kMediaBlock))
        << device.MediaImage().size() << " bytes of " << media.size();
}

// The far-region rule on real files: which ones need their options.
TEST_P(RealHex, WithoutItsOptionsIsPackagedOrRefusedByTheFarRegionRule)
{
    const auto& c = GetParam();
    const ProgramRun make = RunProgram(KT_MAKE_PACKAGE_PATH, Arguments({}), dir.Path());
    if (c.refusedWithout.empty()) {
        EXPECT_EQ(make.status, 0) << make.err;
    } else {
        EXPECT_EQ(make.status, 1);
        EXPECT_NE(make.err.find(c.refusedWithout), std::string::npos) << make.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RealHex, ::testing::ValuesIn(kRealHex), [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace kt::gen
