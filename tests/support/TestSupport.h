// Helpers shared by the tests: a view that records what the core shows, and
// a temporary folder that is removed with the fixture.
#pragma once

#include "view/FormView.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kt::test {

// Records what the core shows. `Base` is FormView or one of its extensions.
template <class Base = FormView>
class RecordingViewT : public Base {
public:
    void AddLog(std::string_view line) override { log.emplace_back(line); }
    void ClearLog() override
    {
        log.clear();
        ++clears;
    }
    void SetCaption(std::string_view c) override { caption = c; }
    void SetUpdateEnabled(bool enabled) override { updateEnabled = enabled; }
    ProgressBar& Progress() override { return progress; }
    ModalResult ShowDialog(std::string_view message, DialogKind kind, DialogButtons buttons) override
    {
        dialogs.push_back({std::string(message), kind, buttons});
        return buttons == DialogButtons::Ok ? ModalResult::Ok : dialogAnswer;
    }

    struct Dialog {
        std::string message;
        DialogKind kind;
        DialogButtons buttons;
    };

    std::vector<std::string> log;
    int clears = 0;
    std::string caption = "KT-FLASH V.3.0";
    bool updateEnabled = false;
    ProgressBar progress;
    std::vector<Dialog> dialogs;
    ModalResult dialogAnswer = ModalResult::Yes;  // what a Yes/No dialog answers
};

using RecordingView = RecordingViewT<FormView>;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // Writes `bytes` to a file in the folder and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

// Lines joined with CR LF, each line ended.
std::string CrLf(const std::vector<std::string>& lines);

// How many of a simulated device's frames start with `prefix` ("W[", "F[", "PFLASH").
long CountOf(const std::vector<std::string>& frames, const std::string& prefix);
// Frames that change what the device holds or runs: "B", core and media blocks, the clock.
bool ChangesTheDevice(const std::string& frame);

}  // namespace kt::test
