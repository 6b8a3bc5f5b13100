// Running a program under test with its output appended to a file, never to
// a pipe: Wine's helper processes inherit whatever they are given and would
// keep a pipe open, so a reader of it would wait for ever.
#pragma once
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zn480wine {

// Runs `argv` (looked up on PATH) with stdin from /dev/null and stdout and
// stderr appended to `logPath`; kills it after `limit` (then `*timedOut` is
// set). Returns its exit status, or -1 when it could not run or was killed.
inline int runLogged(const std::vector<std::string>& argv, const std::string& logPath, std::chrono::milliseconds limit,
    bool* timedOut = nullptr)
{
    if (timedOut)
        *timedOut = false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            if (timedOut)
                *timedOut = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace zn480wine
