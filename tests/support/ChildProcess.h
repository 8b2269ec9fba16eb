// A program of the build run as a user runs it from a shell: its standard
// output and standard error caught in files of a folder.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kt::test {

struct ProgramRun {
    int status = -1;  // the exit status; -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `program` with `args` (no shell between), its standard input from
// /dev/null; `scratch` holds the files its output goes through.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& scratch);

std::string ReadWholeFile(const std::filesystem::path& path);

// The first word a command prints (as sha256sum prints its digest), run by the shell.
std::string FirstWordOf(const std::string& command);

}  // namespace kt::test
