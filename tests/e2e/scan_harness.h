// Pieces of the end-to-end scan tests: background programs in their own
// process groups, temporary folders, the simulator's control socket and
// Tarvex's state file. Every process started here is stopped on every path.
#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zn480scan {

using Millis = std::chrono::milliseconds;

// Polls `done` every 50 ms until it holds or `limit` has passed.
bool waitUntil(const std::function<bool()>& done, Millis limit);

std::string readFile(const std::string& path);

// A fresh folder under /tmp, removed with its contents.
struct TempDir {
    std::string path;
    explicit TempDir(const std::string& stem);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A program in a process group of its own, output appended to a file;
// SIGTERM to the whole group, then SIGKILL, when stopped or destroyed.
class Process {
public:
    Process() = default;
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // `env` is added to (or, with an empty value, removed from) this
    // process's environment for the child.
    bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
        const std::string& logPath);
    bool running();
    void stop();

private:
    pid_t pid_ = -1;
};

// One command line to the simulator's control socket; its answer.
std::string simControl(const std::string& socketPath, const std::string& line);

// What Tarvex's state file says.
struct ListState {
    bool valid = false;
    bool refresh = true;
    long writes = 0; // rises by one at the end of every scan cycle, among others
    std::vector<std::string> entries;
    bool has(const std::string& entry) const;
    std::string describe() const;
};
ListState readListState(const std::string& path);

} // namespace zn480scan
