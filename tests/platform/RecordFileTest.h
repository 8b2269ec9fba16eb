// What a record file holds, read back by the tests of its appends.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kt::platform {

inline std::string Contents(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file's lines in sorted order, to compare with the lines appended in
// any order; a last line without its "\n" is kept as it is, so it shows.
inline std::vector<std::string> SortedLines(const std::filesystem::path& path)
{
    const std::string contents = Contents(path);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < contents.size();) {
        const std::size_t end = std::min(contents.find('\n', start), contents.size());
        lines.push_back(contents.substr(start, end - start) + (end == contents.size() ? "<no line end>" : ""));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace kt::platform
