#include "private_pcscd.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zn480test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

constexpr const char* kDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr int kStartTries = 4;
constexpr milliseconds kStartWait{5000};

bool portFree(uint16_t port)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// Whether some socket listens on `port` (any address), from /proc/net/tcp.
bool portListening(uint16_t port)
{
    for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            std::string slot, local, remote, state;
            ls >> slot >> local >> remote >> state;
            auto colon = local.rfind(':');
            if (colon == std::string::npos || state != "0A")
                continue;
            if (std::stoul(local.substr(colon + 1), nullptr, 16) == port)
                return true;
        }
    }
    return false;
}

bool exists(const std::string& p)
{
    return ::access(p.c_str(), F_OK) == 0;
}

} // namespace

PrivatePcscd::PrivatePcscd(int readers)
{
    for (int k = 1; k <= readers; ++k)
        names_.push_back("ZN480 Sim " + std::to_string(k));
    launch();
}

PrivatePcscd::PrivatePcscd(std::vector<std::string> friendlyNames) : names_(std::move(friendlyNames))
{
    launch();
}

PrivatePcscd::~PrivatePcscd()
{
    kill();
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::string PrivatePcscd::socketPath() const
{
    return dir_ + "/run/pcscd.comm";
}

void PrivatePcscd::exportSocket() const
{
    ::setenv("PCSCLITE_CSOCK_NAME", socketPath().c_str(), 1);
}

std::string PrivatePcscd::readerName(int k) const
{
    return names_.at(static_cast<size_t>(k)) + " 00 00";
}

std::string PrivatePcscd::log() const
{
    std::ifstream in(dir_ + "/pcscd.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool PrivatePcscd::pickPorts()
{
    // Below the kernel's ephemeral range, so outgoing connections of other
    // tests do not take them; random so parallel instances rarely meet, and
    // checked so they never knowingly share.
    static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    const int need = 2 * static_cast<int>(names_.size());
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int base = 20000 + 2 * static_cast<int>(rng() % 5000);
        bool ok = base + need < 32768;
        for (int i = 0; ok && i < need; ++i)
            ok = portFree(static_cast<uint16_t>(base + i));
        if (!ok)
            continue;
        ports_.clear();
        for (size_t k = 0; k < names_.size(); ++k)
            ports_.push_back(static_cast<uint16_t>(base + 2 * k));
        return true;
    }
    error_ = "no free ports";
    return false;
}

bool PrivatePcscd::writeConfig()
{
    std::error_code ec;
    fs::remove_all(dir_ + "/conf", ec);
    fs::create_directories(dir_ + "/conf", ec);
    fs::create_directories(dir_ + "/run", ec);
    fs::create_directories(dir_ + "/drivers", ec);
    for (size_t k = 0; k < names_.size(); ++k) {
        // The virtual reader driver keeps its connections in process-wide
        // state indexed by slot only: readers served by one loaded copy
        // overwrite each other and only the last one works. A copy per
        // reader (a distinct file, which the loader maps separately) keeps
        // them apart.
        const std::string lib = dir_ + "/drivers/vpcd" + std::to_string(k) + ".so";
        if (!fs::exists(lib) && !fs::copy_file(kDriver, lib, ec)) {
            error_ = "cannot copy the virtual reader driver: " + ec.message();
            return false;
        }
        std::ofstream f(dir_ + "/conf/reader" + std::to_string(k));
        f << "FRIENDLYNAME \"" << names_[k] << "\"\n"
          << "DEVICENAME /dev/null:" << ports_[k] << "\n"
          << "LIBPATH " << lib << "\n";
        if (!f) {
            error_ = "cannot write the reader configuration";
            return false;
        }
    }
    return true;
}

bool PrivatePcscd::launch()
{
    if (dir_.empty()) {
        char tmpl[] = "/tmp/zn480-pcscd-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            error_ = "mkdtemp failed";
            return false;
        }
        dir_ = tmpl;
    }
    const bool keepPorts = !ports_.empty();
    for (int tries = 0; tries < kStartTries; ++tries) {
        if (!keepPorts && !pickPorts())
            return false;
        if (!writeConfig())
            return false;
        ::unlink((dir_ + "/run/pcscd.comm").c_str());
        ::unlink((dir_ + "/run/pcscd.pid").c_str());

        // Private mount namespace: the daemon's /run/pcscd is our directory.
        // Where /run/pcscd does not exist, a tmpfs over /run (inside the
        // namespace only) gives a place to mount on.
        const std::string script = "[ -d /run/pcscd ] || mount -t tmpfs tmpfs /run || exit 97; "
                                   "mkdir -p /run/pcscd && mount --bind '"
            + dir_
            + "/run' /run/pcscd || exit 98; "
              "exec pcscd --foreground -c '"
            + dir_ + "/conf'";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        const std::string logPath = dir_ + "/pcscd.log";
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawnattr_t at;
        posix_spawnattr_init(&at);
        // Its own session: kill() takes the whole group and nothing of ours.
        posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSID);
        const char* argv[] = {"unshare", "-m", "--propagation", "private", "sh", "-c", script.c_str(), nullptr};
        pid_t pid = -1;
        int rc = posix_spawnp(&pid, "unshare", &fa, &at, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&at);
        if (rc != 0) {
            error_ = "cannot start unshare";
            return false;
        }
        pid_ = pid;

        // Ready: socket and pid file present, and every driver listening.
        const auto end = steady_clock::now() + kStartWait;
        bool ready = false, died = false;
        while (steady_clock::now() < end) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                died = true;
                pid_ = -1;
                break;
            }
            ready = exists(socketPath()) && exists(dir_ + "/run/pcscd.pid");
            for (uint16_t p : ports_)
                ready = ready && portListening(p) && portListening(static_cast<uint16_t>(p + 1));
            if (ready)
                break;
            std::this_thread::sleep_for(milliseconds(10));
        }
        if (ready) {
            error_.clear();
            return true;
        }
        error_ = died ? "pcscd exited: " + log() : "pcscd did not get ready: " + log();
        kill();
        if (died)
            return false; // not a port clash: retrying will not help
        // A port taken between the check and the daemon's bind: retry
        // elsewhere unless the ports are fixed (restart).
        if (keepPorts)
            return false;
    }
    return false;
}

bool PrivatePcscd::kill()
{
    if (pid_ <= 0)
        return false;
    ::kill(-pid_, SIGTERM);
    const auto end = steady_clock::now() + milliseconds(3000);
    int status;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (steady_clock::now() > end) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    pid_ = -1;
    return true;
}

bool PrivatePcscd::restart()
{
    kill();
    return launch();
}

} // namespace zn480test
