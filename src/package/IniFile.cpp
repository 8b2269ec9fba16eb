#include "package/IniFile.h"

#include "package/LineReader.h"
#include "package/Sha256.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unordered_set>
#include <vector>

namespace kt {
namespace {

// Enough for any key with a full-length value; longer lines are cut here.
constexpr std::size_t kMaxLine = 64 * 1024;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && Lower(a) == Lower(b);
}

// The name of a section header line ("[name]"), or nothing.
std::optional<std::string_view> SectionName(std::string_view line)
{
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

struct KeyValue {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyValue> SplitKeyValue(std::string_view line)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    KeyValue kv{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
    if (kv.key.empty())
        return std::nullopt;
    if (kv.value.size() >= 2 && (kv.value.front() == '"' || kv.value.front() == '\'') &&
        kv.value.back() == kv.value.front())
        kv.value = kv.value.substr(1, kv.value.size() - 2);
    return kv;
}

// The distinct key names of a section, each held as 128 bits of its SHA-256:
// 16 bytes a name however long it is, and no file can be made in which two
// names count as one.
class NameSet {
public:
    bool Insert(std::string_view name)  // true when `name` is new
    {
        const auto full = Sha256(name);
        Digest digest{};
        std::memcpy(digest.data(), full.data(), sizeof digest);
        return digests_.insert(digest).second;
    }
    std::size_t Size() const { return digests_.size(); }

private:
    using Digest = std::array<std::uint64_t, 2>;
    struct DigestHash {
        std::size_t operator()(const Digest& d) const noexcept { return static_cast<std::size_t>(d[0]); }
    };
    std::unordered_set<Digest, DigestHash> digests_;
};

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path))
{}

IniFile::IniFile(std::string path, std::string_view section, std::span<const std::string_view> keys)
    : path_(std::move(path)), filter_(Filter{Lower(Trim(section)), {}})
{
    for (auto key : keys)
        filter_->keys.insert(Lower(Trim(key)));
}

const IniFile::Section& IniFile::LoadSection(std::string_view section)
{
    const std::string name = Lower(Trim(section));
    if (auto it = sections_.find(name); it != sections_.end())
        return it->second;

    Section keys;
    NameSet names;  // with a filter: every key of the section so far, kept or not
    LineReader reader(path_, kMaxLine, false);
    if (reader.IsOpen()) {
        bool inside = false;
        TextLine line;
        for (;;) {
            const auto status = reader.Read(line);
            if (status == LineReader::Status::End)
                break;
            if (status == LineReader::Status::Error)
                throw IniError("cannot read " + path_);
            if (auto header = SectionName(line.text)) {
                if (inside)
                    break;  // only the first section of that name counts
                inside = Lower(*header) == name;
                continue;
            }
            if (!inside)
                continue;
            if (!filter_) {
                if (keys.size() >= kMaxKeysPerSection)
                    continue;
                if (auto kv = SplitKeyValue(line.text))
                    keys.try_emplace(Lower(kv->key), kv->value.substr(0, kMaxValue));
                continue;
            }
            // Once every wanted key was found, or no new key can count any more,
            // the rest of the section is read only so that a read error still throws.
            if (keys.size() == filter_->keys.size() || names.Size() >= kMaxKeysPerSection)
                continue;
            if (auto kv = SplitKeyValue(line.text)) {
                std::string key = Lower(kv->key);
                if (names.Insert(key) && filter_->keys.contains(key))
                    keys.emplace(std::move(key), kv->value.substr(0, kMaxValue));
            }
        }
    }
    return sections_.emplace(name, std::move(keys)).first->second;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view def)
{
    const std::string name = Lower(Trim(key));
    if (filter_ && (Lower(Trim(section)) != filter_->section || !filter_->keys.contains(name)))
        throw std::logic_error("not kept by this reader: [" + std::string(section) + "] " + std::string(key));
    const Section& keys = LoadSection(section);
    if (auto it = keys.find(name); it != keys.end())
        return it->second;
    return std::string(def);
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t def)
{
    const std::string text = ReadString(section, key, "");
    return ParseInteger(text).value_or(def);
}

std::optional<std::int32_t> IniFile::ParseInteger(std::string_view text)
{
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.front() == '+' || text.front() == '-')
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    // Hexadecimal may spell all 32 bits (0xFFFFFFFF is -1); decimal must fit.
    const std::uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    if (value > limit)
        return std::nullopt;
    auto result = static_cast<std::int64_t>(base == 16 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(value))
                                                       : static_cast<std::int64_t>(value));
    if (negative)
        result = -result;
    if (result < INT32_MIN || result > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(result);
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    sections_.clear();

    // Settings files are small: read them whole, change one line, write them back.
    std::vector<std::string> lines;
    std::string newline = "\n";
    {
        std::ifstream in(path_, std::ios::binary);
        if (in) {
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (in.bad())
                throw IniError("cannot read " + path_);
            if (const auto lf = text.find('\n'); lf != std::string::npos && lf > 0 && text[lf - 1] == '\r')
                newline = "\r\n";
            std::size_t start = 0;
            while (start < text.size()) {
                auto stop = text.find_first_of("\r\n", start);
                if (stop == std::string::npos)
                    stop = text.size();
                lines.emplace_back(text, start, stop - start);
                start = stop;
                if (start < text.size() && text[start] == '\r')
                    ++start;
                if (start < text.size() && text[start] == '\n')
                    ++start;
            }
        }
    }

    const std::string entry = std::string(Trim(key)) + "=" + std::string(value);
    std::optional<std::size_t> sectionLine;
    std::size_t insertAt = lines.size();
    bool done = false;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        if (auto header = SectionName(lines[i])) {
            if (sectionLine)
                break;
            if (SameName(*header, Trim(section))) {
                sectionLine = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (!sectionLine)
            continue;
        if (auto kv = SplitKeyValue(lines[i])) {
            if (SameName(kv->key, Trim(key))) {
                lines[i] = entry;
                done = true;
            }
        }
        if (!Trim(lines[i]).empty())
            insertAt = i + 1;
    }
    if (!done) {
        if (sectionLine) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
        } else {
            lines.push_back("[" + std::string(Trim(section)) + "]");
            lines.push_back(entry);
        }
    }

    // Write beside the file, then put the new one in its place, so that a
    // failed write never leaves a half-written settings file behind.
    const std::string temp = path_ + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        for (const auto& l : lines)
            out << l << newline;
        out.flush();
        if (!out)
            throw IniError("cannot write " + temp);
    }
    std::error_code ec;
    std::filesystem::rename(temp, path_, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        throw IniError("cannot replace " + path_);
    }
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

}  // namespace kt
