#include "ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

extern char** environ;

namespace kt::test {
namespace {

// A program's name and arguments as exec and posix_spawn take them.
struct CommandLine {
    CommandLine(const std::string& program, const std::vector<std::string>& args) : words{program}
    {
        words.insert(words.end(), args.begin(), args.end());
        for (auto& word : words)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
    }
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& scratch)
{
    const auto outPath = scratch / "stdout.txt";
    const auto errPath = scratch / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    CommandLine argv(program, args);
    const auto& pointers = argv.pointers;
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::system_error(failed, std::generic_category(), "posix_spawn " + program);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProgramRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(outPath), ReadWholeFile(errPath)};
    std::error_code ignored;
    std::filesystem::remove(outPath, ignored);
    std::filesystem::remove(errPath, ignored);
    return run;
}

std::string ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string AsUnprivilegedUser(const std::function<std::string()>& work)
{
    if (::geteuid() != 0)
        return work();
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return "<no pipe>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        constexpr uid_t kNobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        const std::string result = work();
        const bool written = ::write(pipeEnds[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
        ::_exit(written ? 0 : 3);
    }
    ::close(pipeEnds[1]);
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        result.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "<the unprivileged child failed>";
    return result;
}

BackgroundProgram::BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                                     const std::filesystem::path& scratch, bool asNobody)
    : out_(scratch / "background-out.txt"), err_(scratch / "background-err.txt")
{
    CommandLine argv(program, args);
    const auto& pointers = argv.pointers;
    // Opened before the fork: the child only duplicates descriptors and execs.
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const bool dropRights = asNobody && ::geteuid() == 0;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        constexpr uid_t kNobody = 65534;
        // Root's supplementary groups would go along otherwise, dialout among them on some systems.
        if (dropRights && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(126);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    ::close(in);
    ::close(out);
    ::close(err);
    if (pid_ < 0)
        throw std::system_error(errno, std::generic_category(), "fork for " + program);
}

BackgroundProgram::~BackgroundProgram()
{
    if (!ended_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void BackgroundProgram::Signal(int signal) const
{
    if (!ended_)
        ::kill(pid_, signal);
}

int BackgroundProgram::Wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ended_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            ended_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

std::string FirstWordOf(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    std::string out;
    std::array<char, 256> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    pclose(pipe);
    return out.substr(0, out.find_first_of(" \t\n"));
}

}  // namespace kt::test
