// The view a benchmark hands to the package reader: no window, a progress bar
// nobody draws, log lines on standard error when asked for (a failed load then
// says why) and dropped otherwise.
#pragma once

#include "view/FormView.h"

#include <cstdio>

class BenchView : public kt::FormView {
public:
    explicit BenchView(bool echoLog) : echoLog_(echoLog) {}

    void AddLog(std::string_view line) override
    {
        if (echoLog_)
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
    void ClearLog() override {}
    void SetCaption(std::string_view) override {}
    void SetUpdateEnabled(bool) override {}
    kt::ProgressBar& Progress() override { return progress_; }
    kt::ModalResult ShowDialog(std::string_view, kt::DialogKind, kt::DialogButtons) override
    {
        return kt::ModalResult::Ok;
    }

private:
    bool echoLog_;
    kt::ProgressBar progress_;
};
