// The control line to the simulated reader: the Wine driver listens on a
// second COM port and flips the simulator's fault switches on request.
#pragma once
#include <windows.h>

#include <string>

namespace wintest {

class SimControl {
public:
    explicit SimControl(int port);
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Sends one command line and returns the answer line ("ok ..." or
    // "err ..."); "err timeout" when none comes within 10 s.
    std::string command(const std::string& line);

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

} // namespace wintest
