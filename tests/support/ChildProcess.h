// A program of the build run as a user runs it from a shell: its standard
// output and standard error caught in files of a folder.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
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

// `work` as a user without privileges: root may open any node and write into
// any folder, so as root it runs in a child process that has become "nobody"
// (without root's supplementary groups, dialout among them on some systems)
// and its result comes back through a pipe; otherwise it runs here.
std::string AsUnprivilegedUser(const std::function<std::string()>& work);

// A program of the build started in the background, as RunProgram starts it
// (standard input from /dev/null, its output in files of `scratch`), for
// tests that signal it or watch it while it runs. With `asNobody` (when run
// as root) it runs as the user "nobody" without supplementary groups, as a
// user without the root's rights to every device. Killed when destroyed
// before it ended.
class BackgroundProgram {
public:
    BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& scratch, bool asNobody = false);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    void Signal(int signal) const;
    // Its exit status once it ended; -1 when it did not end within `timeout`
    // or was ended by a signal.
    int Wait(std::chrono::milliseconds timeout);
    std::string Out() const { return ReadWholeFile(out_); }
    std::string Err() const { return ReadWholeFile(err_); }

private:
    std::filesystem::path out_;
    std::filesystem::path err_;
    int pid_ = -1;
    bool ended_ = false;
    int status_ = -1;
};

// The first word a command prints (as sha256sum prints its digest), run by the shell.
std::string FirstWordOf(const std::string& command);

}  // namespace kt::test
