// The MSD personality as a real drive: an ext2 image loop-mounted with
// mount(8). This machine's kernel mounts ext2 but not FAT, and a loop device
// is the closest thing to a USB stick that needs no hardware; the program's
// drive list sees it in /proc/self/mounts like any other block device.
#include "zn480sim/device.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zn480sim {
namespace {

// Runs a program by name (PATH search) with its output discarded; its exit
// status, or -1 when it could not run.
int runQuiet(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool isMountPoint(const std::string& dir)
{
    std::ifstream in("/proc/self/mounts");
    std::string source, target, rest;
    while (in >> source >> target && std::getline(in, rest))
        if (target == dir)
            return true;
    return false;
}

} // namespace

MsdHost::MsdHost(std::string mountPoint) : mount_(std::move(mountPoint))
{
    while (mount_.size() > 1 && mount_.back() == '/')
        mount_.pop_back();
}

MsdHost::~MsdHost()
{
    disappear();
    if (!image_.empty())
        ::unlink(image_.c_str());
    if (!workDir_.empty()) {
        ::unlink((workDir_ + "/root/APDU_314.MSD").c_str());
        ::rmdir((workDir_ + "/root").c_str());
        ::rmdir(workDir_.c_str());
    }
    if (createdMountPoint_)
        ::rmdir(mount_.c_str());
}

bool MsdHost::makeImage()
{
    char tmpl[] = "/tmp/zn480-msd-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = "cannot make a work folder";
        return false;
    }
    workDir_ = tmpl;
    const std::string root = workDir_ + "/root";
    ::mkdir(root.c_str(), 0755);
    {
        std::ofstream marker(root + "/APDU_314.MSD", std::ios::binary);
        marker << "ZN480 APDU interface\r\n";
        if (!marker) {
            error_ = "cannot write the marker file";
            return false;
        }
    }
    const std::string image = workDir_ + "/drive.img";
    // 1 MiB of 1 KiB blocks, filled from the folder; no journal (ext2).
    if (runQuiet({"mkfs.ext2", "-q", "-F", "-b", "1024", "-L", "ZN480", "-d", root, image, "1024"}) != 0) {
        error_ = "mkfs.ext2 failed (is e2fsprogs installed?)";
        ::unlink(image.c_str());
        return false;
    }
    image_ = image;
    return true;
}

bool MsdHost::appear()
{
    if (present_)
        return true;
    error_.clear();
    if (image_.empty() && !makeImage())
        return false;
    struct stat st;
    if (::stat(mount_.c_str(), &st) != 0) {
        if (::mkdir(mount_.c_str(), 0755) != 0) {
            error_ = "cannot make the mount point " + mount_;
            return false;
        }
        createdMountPoint_ = true;
    }
    // loop: mount(8) picks a free loop device and marks it to detach itself
    // when the file system is unmounted.
    if (runQuiet({"mount", "-t", "ext2", "-o", "loop,nosuid,nodev,noexec", image_, mount_}) != 0) {
        error_ = "mount -o loop failed (needs root and loop devices)";
        return false;
    }
    // mkfs makes lost+found; the reader's drive holds the marker file only.
    ::rmdir((mount_ + "/lost+found").c_str());
    present_ = true;
    return true;
}

void MsdHost::disappear()
{
    if (!present_)
        return;
    // A program may be reading the root just now: try again briefly, then
    // detach lazily so that the drive is gone from the mount table anyway.
    for (int i = 0; i < 20 && isMountPoint(mount_); ++i) {
        if (runQuiet({"umount", "-d", mount_}) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (isMountPoint(mount_))
        runQuiet({"umount", "-l", "-d", mount_});
    present_ = false;
}

std::string MsdHost::describe() const
{
    return "MSD drive (ext2 image with APDU_314.MSD) mounted on " + mount_;
}

} // namespace zn480sim
