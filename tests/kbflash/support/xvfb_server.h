// A private Xvfb for one test or benchmark: it picks a free display number
// itself (-displayfd) and is stopped when the object goes away.
#pragma once
#include <string>
#include <sys/types.h>

namespace xtest_support {

class XvfbServer {
public:
    XvfbServer() = default;
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Starts the server; false (and a reason in `error`) when it did not come up.
    bool start(std::string& error, const std::string& screen = "1024x768x24");
    void stop();
    const std::string& display() const { return display_; } // ":N"

private:
    pid_t pid_ = -1;
    std::string display_;
};

} // namespace xtest_support
