#include "xvfb_server.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace xtest_support {

XvfbServer::~XvfbServer()
{
    stop();
}

bool XvfbServer::start(std::string& error, const std::string& screen)
{
    int fds[2];
    if (pipe(fds) != 0) {
        error = "pipe failed";
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        error = "fork failed";
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDIN_FILENO);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        const std::string fd = std::to_string(fds[1]);
        // -noreset: lock states must survive the exit of each client.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0", screen.c_str(),
            static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;

    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    for (;;) {
        const int rc = poll(&p, 1, 15000);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        char c;
        const ssize_t n = read(fds[0], &c, 1);
        if (n <= 0 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        error = "Xvfb did not start (is it installed?)";
        stop();
        return false;
    }
    display_ = ":" + number;
    return true;
}

void XvfbServer::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    pid_ = -1;
}

} // namespace xtest_support
