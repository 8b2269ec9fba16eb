// The main loop of a program without an event loop of its own (the command
// line, tests): it serves the serial port's hand-overs to the main thread and
// can be woken from any thread, for example when the user asks to stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kt {

class PlainEventLoop {
public:
    // Makes the calling thread the main thread and routes hand-overs here.
    PlainEventLoop();
    ~PlainEventLoop();
    PlainEventLoop(const PlainEventLoop&) = delete;
    PlainEventLoop& operator=(const PlainEventLoop&) = delete;

    // Runs what is pending; when nothing is, blocks until something arrives,
    // Wake() is called, or `deadline` passes.
    void ProcessEvents(std::chrono::steady_clock::time_point deadline);

    // Any thread: ends the current (or next) wait of ProcessEvents.
    void Wake();

private:
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool woken_ = false;
};

}  // namespace kt
