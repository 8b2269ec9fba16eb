// kt-flash-cli: the command-line front end. Log lines go to standard output,
// one line each, exactly as the window's log shows them; dialog texts and
// diagnostics go to standard error.
#include "cli/CliOptions.h"
#include "package/FormView.h"
#include "package/Package.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The log of the window, printed: clearing it prints nothing.
class ConsoleView : public kt::FormView {
public:
    void AddLog(std::string_view line) override
    {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    void ClearLog() override {}
    void SetCaption(std::string_view) override {}
    void SetUpdateEnabled(bool) override {}
    kt::ProgressBar& Progress() override { return progress_; }
    // Dialog texts go to standard error, one line each.
    kt::ModalResult ShowDialog(std::string_view message, kt::DialogKind, kt::DialogButtons buttons) override
    {
        std::string text(message);
        for (auto& c : text)
            if (c == '\r')
                c = '\n';
        std::cerr << text << std::endl;
        return buttons == kt::DialogButtons::Ok ? kt::ModalResult::Ok : kt::ModalResult::No;
    }

private:
    kt::ProgressBar progress_;
};

}  // namespace

int main(int argc, char** argv)
{
    using namespace kt::cli;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseCommandLine(args);
    if (!parsed.options) {
        std::cerr << "kt-flash-cli: " << parsed.error << "\n" << kUsage;
        return kExitUsage;
    }
    const CliOptions& options = *parsed.options;
    ConsoleView view;
    switch (options.command) {
    case Command::Help:
        std::cout << kUsage;
        return kExitOk;
    case Command::Open: {
        kt::KVF_TYPE package;
        return kt::OpenPackage(options.package, package, view) ? kExitOk : kExitFailed;
    }
    case Command::Info:
    case Command::Time:
    case Command::Update:
    case Command::Ports:
        std::cerr << "kt-flash-cli: this command is not available in this build yet\n";
        return kExitFailed;
    }
    return kExitFailed;
}
