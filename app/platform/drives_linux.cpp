// Linux drives: every file system mounted from a block device under /dev,
// named by its mount point. Removable media are told apart through sysfs
// (the disk's "removable" attribute; a partition asks its disk). Loop
// devices are disk images and count as fixed.
//
// ZN480_MOUNTS_FILE replaces /proc/self/mounts and ZN480_SYSFS_DIR replaces
// /sys, so tests can describe drives without mounting anything (in builds
// that honour the test hooks, zn480/test_hooks.h).
#include "platform/drives.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <limits.h>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <utility>
#include <zn480/test_hooks.h>

namespace tarvex {
namespace {

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

constexpr int DRIVE_TYPE_NO_ROOT_DIR = 1;

const char* envOr(const char* name, const char* fallback)
{
    const char* v = zn480_test_hook(name);
    return v ? v : fallback;
}

// The kernel escapes space, tab, newline and backslash as \ooo in mounts.
std::string decodeMountField(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char* p = field.c_str() + i + 1;
            if (p[0] >= '0' && p[0] <= '3' && p[1] >= '0' && p[1] <= '7' && p[2] >= '0' && p[2] <= '7') {
                out.push_back(char((p[0] - '0') * 64 + (p[1] - '0') * 8 + (p[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool readTrimmed(const std::string& path, std::string& value)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return true;
}

std::string baseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class LinuxDrives : public Drives {
public:
    std::vector<std::string> list() override
    {
        mounts_.clear();
        const char* const mountsFile = envOr("ZN480_MOUNTS_FILE", "/proc/self/mounts");
        errno = 0;
        std::ifstream in(mountsFile);
        if (!in) {
            const int error = errno;
            listProblem_
                = std::string(mountsFile) + " cannot be read" + (error ? ": " + std::string(std::strerror(error)) : "");
            return {};
        }
        listProblem_.clear();
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string source, target;
            if (!(fields >> source >> target))
                continue;
            source = decodeMountField(source);
            target = decodeMountField(target);
            if (source.compare(0, 5, "/dev/") != 0)
                continue;
            struct stat st;
            if (stat(source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
                continue;
            bool known = false;
            for (auto& m : mounts_)
                if (m.first == target) {
                    m.second = source; // the later mount hides the earlier one
                    known = true;
                }
            if (!known)
                mounts_.emplace_back(target, source);
        }
        std::vector<std::string> entries;
        for (auto& m : mounts_)
            entries.push_back(m.first);
        return entries;
    }

    std::string listProblem() const override { return listProblem_; }

    int driveType(const std::string& entry) override
    {
        const std::string* source = findSource(entry);
        if (!source) {
            list(); // asked before the drives were read, or after they changed
            source = findSource(entry);
        }
        if (!source)
            return DRIVE_TYPE_NO_ROOT_DIR;
        char real[PATH_MAX];
        std::string dev = baseName(realpath(source->c_str(), real) ? std::string(real) : *source);
        if (dev.compare(0, 4, "loop") == 0)
            return DRIVE_TYPE_FIXED;
        std::string node = std::string(envOr("ZN480_SYSFS_DIR", "/sys")) + "/class/block/" + dev;
        std::string removable;
        if (!readTrimmed(node + "/removable", removable)) {
            // A partition has no attribute of its own; its disk is the folder above it.
            if (!realpath(node.c_str(), real) || !readTrimmed(std::string(real) + "/../removable", removable))
                return DRIVE_TYPE_FIXED;
        }
        return removable == "1" ? DRIVE_TYPE_REMOVABLE : DRIVE_TYPE_FIXED;
    }

    bool listRootFiles(const std::string& entry, std::vector<std::string>& files) override
    {
        files.clear();
        std::unique_ptr<DIR, DirClose> d(opendir(entry.c_str()));
        if (!d)
            return false;
        while (dirent* e = readdir(d.get())) {
            if (e->d_name[0] == '.')
                continue; // hidden by convention, like hidden files on Windows
            std::string path = entry + "/" + e->d_name;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                files.emplace_back(e->d_name);
        }
        return true;
    }

private:
    const std::string* findSource(const std::string& entry) const
    {
        for (auto& m : mounts_)
            if (m.first == entry)
                return &m.second;
        return nullptr;
    }

    std::vector<std::pair<std::string, std::string>> mounts_; // mount point, source
    std::string listProblem_;
};

} // namespace

std::unique_ptr<Drives> makeSystemDrives()
{
    return std::make_unique<LinuxDrives>();
}

} // namespace tarvex
