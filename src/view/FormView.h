// What the core's operations show of their work: the log, the progress bar,
// the window caption and the update button. The window and the command-line
// front end each implement it; the core never draws or prints by itself.
#pragma once

#include <functional>
#include <string_view>

namespace kt {

// The progress bar's state. Operations move it; a front end observes changes.
class ProgressBar {
public:
    int Min() const { return min_; }
    int Max() const { return max_; }
    int Position() const { return position_; }

    void SetMax(int max);
    void SetPosition(int position);  // clamped to [Min, Max]
    void SetToMin() { SetPosition(min_); }
    void StepBy(int delta);  // clamped to Max, like a native bar

    // Called after every change of max or position.
    void OnChange(std::function<void(const ProgressBar&)> handler) { onChange_ = std::move(handler); }

private:
    void Changed();

    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
    std::function<void(const ProgressBar&)> onChange_;
};

enum class DialogKind { Error, Information, Confirmation };
// YesNo answers Yes to Enter; YesNoDefaultNo answers No to it (a question whose Yes does harm).
enum class DialogButtons { Ok, YesNo, YesNoDefaultNo };
// What closed a dialog; closing it by its title bar gives Cancel, which is neither Yes nor Ok.
enum class ModalResult { Ok, Yes, No, Cancel };

class FormView {
public:
    virtual ~FormView() = default;

    // Appends one line (UTF-8) to the log; an empty text is an empty line.
    virtual void AddLog(std::string_view line) = 0;
    virtual void ClearLog() = 0;
    virtual void SetCaption(std::string_view caption) = 0;
    // Enables or disables the update button.
    virtual void SetUpdateEnabled(bool enabled) = 0;
    virtual ProgressBar& Progress() = 0;
    // The one modal message dialog. Lines of `message` are separated by a CR.
    virtual ModalResult ShowDialog(std::string_view message, DialogKind kind, DialogButtons buttons) = 0;
};

}  // namespace kt
