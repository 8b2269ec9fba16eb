#include "PackageMaker.h"

#include "device/DeviceSession.h"
#include "package/Cp1251.h"
#include "package/Package.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

namespace kt::gen {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kCoreBlock = DeviceSession::kCoreBlockSize;
// The largest core image whose whole blocks the package loader still takes.
constexpr std::size_t kMaxCoreImage = kMaxCoreSize / kCoreBlock * kCoreBlock;
// Regions listed in a refusal; the rest are counted.
constexpr std::size_t kListedRegions = 8;
constexpr int kTempNameTries = 100;

std::string Range(Address first, Address last)
{
    return FormatAddress(first) + "-" + FormatAddress(last);
}

std::string RegionList(const std::vector<Region>& regions)
{
    std::string text;
    for (std::size_t i = 0; i < regions.size() && i < kListedRegions; ++i)
        text += "\n  " + Range(regions[i].first, regions[i].last) + " (" + std::to_string(regions[i].dataBytes) +
                " bytes of data)";
    if (regions.size() > kListedRegions)
        text += "\n  and " + std::to_string(regions.size() - kListedRegions) + " regions more";
    return text;
}

// Refuses an image with a far region; `regions` are in the file's addresses.
void CheckLayout(const FirmwareImage& image, const std::vector<Region>& regions, Address base,
                 const std::string& source)
{
    const Address size = image.End();
    const Address filler = size - image.DataBytes();
    if (filler <= kFarGap || filler <= size / 4 * 3)
        return;
    std::string message = source + ": the image would be " + std::to_string(size) + " bytes from " +
                          FormatAddress(base) + ", " + std::to_string(filler) + " of them 0xFF filler around " +
                          std::to_string(image.DataBytes()) + " bytes of data, which lie at" + RegionList(regions);
    if (regions.size() == 1) {
        message += "\ngive --base auto (or --base " + FormatAddress(regions.front().first) +
                   ") after the file to start the image at its data";
    } else {
        const Region& most = *std::max_element(
            regions.begin(), regions.end(), [](const Region& a, const Region& b) { return a.dataBytes < b.dataBytes; });
        message += "\ngive --keep FIRST-LAST after the file to keep only the part the device takes (e.g. --keep " +
                   Range(most.first, most.last) + ")";
        if (most.first != base)
            message += ", and --base auto to start the image at it";
    }
    throw ImageError(message);
}

std::size_t WholeCoreBlocks(std::size_t size)
{
    return (size + kCoreBlock - 1) / kCoreBlock * kCoreBlock;
}

// What the loader shows while it opens a package, kept for a failure's message.
class QuietView : public FormView {
public:
    void AddLog(std::string_view line) override
    {
        if (!line.empty())
            log_.emplace_back(line);
    }
    void ClearLog() override { log_.clear(); }
    void SetCaption(std::string_view) override {}
    void SetUpdateEnabled(bool) override {}
    ProgressBar& Progress() override { return progress_; }
    ModalResult ShowDialog(std::string_view, DialogKind, DialogButtons) override { return ModalResult::Cancel; }

    std::string LastLine() const { return log_.empty() ? std::string() : log_.back(); }

private:
    std::vector<std::string> log_;
    ProgressBar progress_;
};

// A file that is removed again unless it was moved into its place.
class TempFile {
public:
    explicit TempFile(const fs::path& target)
    {
        std::random_device seed;
        std::mt19937_64 random(seed());
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        for (int i = 0; i < kTempNameTries && path_.empty(); ++i) {
            const fs::path candidate =
                folder / ("." + target.filename().string() + "." + std::to_string(random() % 1000000000) + ".tmp");
            std::error_code ec;
            if (fs::symlink_status(candidate, ec).type() == fs::file_type::not_found)
                path_ = candidate;
        }
    }
    ~TempFile()
    {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const fs::path& Path() const { return path_; }
    bool MoveTo(const fs::path& target)
    {
        std::error_code ec;
        fs::rename(path_, target, ec);
        if (ec)
            return false;
        path_.clear();
        return true;
    }

private:
    fs::path path_;
};

void Require(bool same, const std::string& what)
{
    if (!same)
        throw PackageError("the package written does not read back as made: " + what + " differs");
}

// Opens the package at `path` with the program's loader and compares it with
// what was meant to be written.
void CheckPackage(const std::string& path, const PackageContent& c, const FirmwareImage& core,
                  const std::optional<FirmwareImage>& flash)
{
    QuietView view;
    KVF_TYPE package;
    if (!OpenPackage(path, package, view))
        throw PackageError("the package written does not open: " + view.LastLine());
    const std::pair<const char*, std::pair<const std::string*, const std::string*>> texts[] = {
        {"NAME", {&package.NAME, &c.name}},
        {"COPYRIGHT", {&package.COPYRIGHT, &c.copyright}},
        {"SUPPORT", {&package.SUPPORT, &c.support}},
        {"CORE_VERS", {&package.CORE_VERS, &c.coreVers}},
        {"CORE_DATE", {&package.CORE_DATE, &c.coreDate}},
        {"TEXT", {&package.TEXT, &c.text}},
    };
    for (const auto& [key, values] : texts)
        Require(Cp1251ToUtf8(*values.first) == *values.second, key);
    Require(package.DEVICE == c.device, "DEVICE");
    Require(package.CORE_SIZE == c.coreSize && package.CORE.size() == c.core.size() && core.Matches(package.CORE),
            "the core image");
    const bool flashSame = flash ? package.FLASH_SIZE == c.flashSize && flash->Matches(package.FLASH)
                                 : package.FLASH_SIZE == 0 && package.FLASH.empty();
    Require(flashSame, "the media image");
}

}  // namespace

FirmwareImage PrepareImage(const ImageInput& input, const char* role, const NoteSink& note)
{
    // Messages name the option too: the same file may be both images.
    const bool core = std::string_view(role) == "core";
    const std::string source = (core ? "--core " : "--flash ") + input.path;
    std::vector<std::string> notes;
    InputFile file = ReadFirmwareFile(input.path, source, notes);
    for (const auto& n : notes)
        note(n);
    FirmwareImage& image = file.image;
    if (image.Empty())
        throw ImageError(source + ": no data in it");

    if (input.keep) {
        const auto [first, last] = *input.keep;
        const auto before = image.DataBytes();
        const auto regions = image.Regions(kFarGap);
        image.Keep(first, last);
        if (image.Empty())
            throw ImageError(source + ": --keep " + Range(first, last) + " leaves no data; the data lies at" +
                             RegionList(regions));
        if (const auto dropped = before - image.DataBytes(); dropped > 0)
            note(source + ": --keep " + Range(first, last) + " leaves out " + std::to_string(dropped) +
                 " bytes of data");
    }

    const Address base = input.base == ImageInput::Base::Lowest  ? image.Lowest()
                         : input.base == ImageInput::Base::Given ? input.baseAddress
                                                                 : 0;
    const auto regions = image.Regions(kFarGap);
    image.Rebase(base, source);
    if (base != 0)
        note(source + ": address " + FormatAddress(base) + " is byte 0 of the " + role + " image");
    CheckLayout(image, regions, base, source);

    const std::size_t limit = core ? kMaxCoreImage : static_cast<std::size_t>(kMaxFlashSize);
    if (image.End() > limit)
        throw ImageError(source + ": the " + role + " image would be " + std::to_string(image.End()) +
                         " bytes; a package carries at most " + std::to_string(limit) +
                         "; give --keep FIRST-LAST after the file to keep only the part the device takes");
    return std::move(image);
}

void MakePackage(const PackageRequest& request, const NoteSink& note)
{
    PackageContent c = request.content;
    const FirmwareImage core = PrepareImage(request.core, "core", note);
    std::optional<FirmwareImage> flash;
    if (request.flash)
        flash = PrepareImage(*request.flash, "media", note);

    const auto coreImage = static_cast<std::size_t>(core.End());
    const std::size_t coreSize = WholeCoreBlocks(coreImage);
    if (coreSize != coreImage)
        note("--core " + request.core.path + ": the core image of " + std::to_string(coreImage) +
             " bytes is padded with 0xFF to " + std::to_string(coreSize) + " (" +
             std::to_string(coreSize / kCoreBlock) + (coreSize == kCoreBlock ? " block of " : " blocks of ") +
             std::to_string(kCoreBlock) + " bytes): the update sends whole core blocks only");
    c.core = core.Flatten(coreSize);
    c.coreSize = static_cast<std::int32_t>(coreSize);
    c.flash = flash ? flash->Flatten(0) : Bytes{};
    c.flashSize = static_cast<std::int32_t>(c.flash.size());

    // The texts as the file holds them; the check compares the plain ones.
    PackageContent written = c;
    for (auto* text :
         {&written.name, &written.copyright, &written.support, &written.coreVers, &written.coreDate, &written.text})
        *text = QuotedHeaderText(*text);
    WritePackageInPlace(request.target, written, [&](const std::string& path) { CheckPackage(path, c, core, flash); });
    note(request.target + ": CORE_SIZE " + std::to_string(*c.coreSize) + ", FLASH_SIZE " +
         std::to_string(*c.flashSize) + ", DEVICE " + std::to_string(c.device) +
         "; opened with the package loader, its images equal the inputs");
}

void WritePackageInPlace(const std::string& target, const PackageContent& content,
                         const std::function<void(const std::string&)>& check)
{
    const fs::path targetPath(target);
    std::error_code ec;
    if (fs::is_directory(targetPath, ec))
        throw PackageError(target + " is a folder");
    TempFile temp(targetPath);
    if (temp.Path().empty())
        throw PackageError("cannot write " + target);
    {
        std::ofstream out(temp.Path(), std::ios::binary | std::ios::trunc);
        WritePackage(out, content);
        out.close();
        if (!out)
            throw PackageError("cannot write " + target);
    }
    check(temp.Path().string());
    if (!temp.MoveTo(targetPath))
        throw PackageError("cannot write " + target);
}

}  // namespace kt::gen
