// A pseudo-terminal pair for tests: the port opens the slave path, the test plays the far end on the master.
#pragma once

#include "Pump.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace kt::serial::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return slavePath_; }

    // The far end sends bytes to the port.
    void send(std::string_view bytes);
    // Collects what the port sent until count bytes arrived or the time is up.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout);
    // The far end goes away, as a pulled USB adapter does.
    void closeMaster();

    // The port's output stops as after an XOFF from the far end, but at once
    // (an XOFF byte acts only once the tty gets round to reading it), until
    // resumeOutput. Call it before the port opens: the port then holds the
    // device exclusively, which only root may get past.
    void stopOutput();
    // Any thread. False when the output could not be resumed.
    bool resumeOutput();

private:
    int master_ = -1;
    int control_ = -1;  // the test's own handle on the slave, for tcflow
    std::string slavePath_;
};

// CPU time used by the whole process so far (all threads).
std::chrono::microseconds processCpuTime();

}  // namespace kt::serial::test
