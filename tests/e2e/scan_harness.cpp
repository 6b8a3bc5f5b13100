#include "scan_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zn480scan {

bool waitUntil(const std::function<bool()>& done, Millis limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(Millis(50));
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TempDir::TempDir(const std::string& stem)
{
    std::string tmpl = "/tmp/" + stem + "-XXXXXX";
    if (::mkdtemp(tmpl.data()))
        path = tmpl;
}

TempDir::~TempDir()
{
    if (path.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool Process::start(
    const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, const std::string& logPath)
{
    stop();
    // Everything the child needs is prepared before fork: only
    // async-signal-safe calls after it.
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (env.count(kv.substr(0, kv.find('='))) == 0)
            envs.push_back(kv);
    }
    for (auto& [k, v] : env)
        if (!v.empty())
            envs.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& a : argCopy)
        args.push_back(a.data());
    args.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(null, 0);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (log >= 0)
        ::close(log);
    if (null >= 0)
        ::close(null);
    if (pid < 0)
        return false;
    ::setpgid(pid, pid); // also from here, so a quick stop() finds the group
    pid_ = pid;
    return true;
}

bool Process::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        ::kill(-pid_, SIGTERM); // leftovers of its group
        pid_ = -1;
        return false;
    }
    return true;
}

void Process::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(-pid_, SIGTERM);
    int status = 0;
    bool gone = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, Millis(5000));
    if (!gone) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    // Helpers of the group (an X server, a wrapper) go with it.
    waitUntil([&] { return ::kill(-pid_, 0) != 0; }, Millis(3000));
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
}

std::string simControl(const std::string& socketPath, const std::string& line)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "ERR socket";
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socketPath.c_str(), sizeof a.sun_path - 1);
    std::string answer;
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string out = line + "\n";
        if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
            // The answer ends with a line that starts with OK or ERR.
            char buf[512];
            for (;;) {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                answer.append(buf, static_cast<size_t>(n));
                const size_t start = answer.rfind('\n', answer.size() >= 2 ? answer.size() - 2 : 0);
                const std::string last = answer.substr(start == std::string::npos ? 0 : start + 1);
                if (!answer.empty() && answer.back() == '\n' && (last.rfind("OK", 0) == 0 || last.rfind("ERR", 0) == 0))
                    break;
            }
        }
    }
    ::close(fd);
    return answer.empty() ? "ERR no answer" : answer;
}

bool ListState::has(const std::string& entry) const
{
    for (auto& e : entries)
        if (e == entry)
            return true;
    return false;
}

std::string ListState::describe() const
{
    std::string s = valid ? "refresh=" + std::to_string(refresh) + " entries:" : "no state file";
    for (auto& e : entries)
        s += " [" + e + "]";
    return s;
}

ListState readListState(const std::string& path)
{
    ListState st;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("entry=", 0) == 0)
            st.entries.push_back(line.substr(6));
        else if (line.rfind("refresh=", 0) == 0)
            st.refresh = line.substr(8) == "1";
        else if (line.rfind("writes=", 0) == 0) {
            st.valid = true; // the last line: the file is whole
            st.writes = std::strtol(line.c_str() + 7, nullptr, 10);
        }
    }
    return st;
}

} // namespace zn480scan
