// The console a command-line program runs in: its stop requests (Ctrl+C,
// termination, the terminal closing), whether a stream is a terminal, and a
// typed answer that a stop request can cut short.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kt::platform {

enum class StandardStream { Input, Output, Error };

bool IsTerminal(StandardStream stream);

// The width in character cells of the terminal a stream shows on; 0 when the
// stream is no terminal. A terminal that tells no width (a serial console)
// counts as $COLUMNS wide, or else as 80.
int TerminalColumns(StandardStream stream);

// Writing to a reader that went away fails with an error instead of ending
// the program.
void IgnoreBrokenPipe();

// A console shows the program's UTF-8 output as UTF-8 (a Windows console
// otherwise reads it in its OEM code page).
void UseUtf8Console();

// Keeps the stop requests away from every thread started after this call, so
// that a StopWatcher or WaitForStopRequest receives them. Call it before
// starting any thread.
void BlockStopRequests();

// Blocks the calling thread until a stop request comes (after BlockStopRequests()).
void WaitForStopRequest();

// Takes the process's stop requests on a thread of its own while it lives.
class StopWatcher {
public:
    // `onStop` runs on the watcher's thread, once for each request, before
    // ReadLine sees that request.
    explicit StopWatcher(std::function<void()> onStop);
    ~StopWatcher();
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;

    enum class LineResult { Line, Stopped, Closed };
    // Reads one line from standard input, without its line end; characters
    // past `maxLength` are dropped. Stopped as soon as a stop request came
    // (also one that came before the call); Closed at the end of the input or
    // on a read error.
    LineResult ReadLine(std::string& line, std::size_t maxLength);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kt::platform
