// Starting the LED tool on POSIX: spawned detached in its own session with
// the standard streams on /dev/null; a detached thread reaps it so that no
// zombie is left behind while the program runs on.
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace tarvex {

namespace {

class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&a_) == 0; }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions()
    {
        if (ok_)
            posix_spawn_file_actions_destroy(&a_);
    }
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &a_; }

private:
    posix_spawn_file_actions_t a_;
    bool ok_ = false;
};

class SpawnAttr {
public:
    SpawnAttr() { ok_ = posix_spawnattr_init(&a_) == 0; }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    ~SpawnAttr()
    {
        if (ok_)
            posix_spawnattr_destroy(&a_);
    }
    bool ok() const { return ok_; }
    posix_spawnattr_t* get() { return &a_; }

private:
    posix_spawnattr_t a_;
    bool ok_ = false;
};

bool isExecutableFile(const std::string& path)
{
    struct stat st { };
    // access() alone says yes to a directory (and, for root, to any file
    // with one execute bit): ask for a regular file as well.
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

class PosixLauncher final : public ProcessLauncher {
public:
    bool startHidden(const std::string& path) override
    {
        if (!isExecutableFile(path))
            return false;

        SpawnActions actions;
        SpawnAttr attr;
        if (!actions.ok() || !attr.ok())
            return false;
        // The tool reads nothing and its output goes nowhere.
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
            const int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
            if (posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null", flags, 0) != 0)
                return false;
        }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // Keep the program's own descriptors (serial port, sockets) out of
        // the tool, whether or not they were opened close-on-exec.
        posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif
        // Own session: a Ctrl+C meant for the program does not cut the
        // pattern short. Clean signal mask and default dispositions.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
            sigaddset(&defaults, s);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
        flags |= POSIX_SPAWN_SETSID;
#endif
        posix_spawnattr_setflags(attr.get(), flags);
        posix_spawnattr_setsigmask(attr.get(), &none);
        posix_spawnattr_setsigdefault(attr.get(), &defaults);

        std::vector<char> arg0(path.begin(), path.end());
        arg0.push_back('\0');
        char* argv[] = {arg0.data(), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, path.c_str(), actions.get(), attr.get(), argv, environ) != 0)
            return false;

        // Reap this one child only (never waitpid(-1): other parts of the
        // program may wait for their own children).
        try {
            std::thread([pid] {
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
            }).detach();
        } catch (const std::system_error&) {
            // No thread to spare: the child still runs; at worst it stays a
            // zombie until the program ends.
        }
        return true;
    }
};

} // namespace

std::unique_ptr<ProcessLauncher> makeSystemProcessLauncher()
{
    return std::make_unique<PosixLauncher>();
}

std::string programDir()
{
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return {};
        if (size_t(n) < buf.size()) {
            std::string exe(buf.data(), size_t(n));
            const size_t slash = exe.rfind('/');
            if (slash == std::string::npos)
                return {};
            return slash == 0 ? std::string("/") : exe.substr(0, slash);
        }
        buf.resize(buf.size() * 2); // truncated: try a bigger buffer
    }
}

std::string kbflashFileName()
{
    return "kbflash";
}

void endProcessNow(int status)
{
    _exit(status); // every thread goes with it, wherever it is
}

} // namespace tarvex
