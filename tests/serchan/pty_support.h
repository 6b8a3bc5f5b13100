// Ptys standing in for COM ports: a private device folder (ZN480_DEV_DIR)
// whose ttyACM<n-1> / ttyUSB<n-65> links name the slave side.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace ptys {

using Bytes = std::vector<uint8_t>;

// A temporary folder made the port map's device folder for this process.
class DevDir {
public:
    DevDir()
    {
        char tmpl[] = "/tmp/serchan-dev-XXXXXX";
        const char* d = mkdtemp(tmpl);
        path_ = d ? d : "";
        setenv("ZN480_DEV_DIR", path_.c_str(), 1);
    }
    ~DevDir()
    {
        for (const auto& l : links_)
            unlink(l.c_str());
        rmdir(path_.c_str());
        unsetenv("ZN480_DEV_DIR");
    }
    DevDir(const DevDir&) = delete;
    DevDir& operator=(const DevDir&) = delete;

    const std::string& path() const { return path_; }
    // e.g. node("ttyACM0") for COM1
    std::string node(const std::string& name)
    {
        links_.push_back(path_ + "/" + name);
        return links_.back();
    }
    bool link(const std::string& name, const std::string& target)
    {
        const std::string l = node(name);
        unlink(l.c_str());
        return symlink(target.c_str(), l.c_str()) == 0;
    }

private:
    std::string path_;
    std::vector<std::string> links_;
};

// The master side of a pty; the slave is opened only by the code under test.
class Pty {
public:
    Pty()
    {
        fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0 && grantpt(fd_) == 0 && unlockpt(fd_) == 0) {
            char name[128];
            if (ptsname_r(fd_, name, sizeof name) == 0)
                slave_ = name;
        }
    }
    ~Pty() { unplug(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return fd_ >= 0 && !slave_.empty(); }
    const std::string& slave() const { return slave_; }
    // Closing the master is what the program sees as an unplug.
    void unplug()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    void write(const Bytes& b)
    {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
            } else {
                ADD_FAILURE() << "pty write failed";
                return;
            }
        }
    }

    // Reads until `want` bytes arrived or `ms` passed.
    Bytes read(size_t want, int ms = 2000)
    {
        using namespace std::chrono;
        Bytes out;
        const auto end = steady_clock::now() + milliseconds(ms);
        while (out.size() < want) {
            const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            uint8_t buf[4096];
            const size_t room = want - out.size() < sizeof buf ? want - out.size() : sizeof buf;
            const ssize_t n = ::read(fd_, buf, room);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int fd_ = -1;
    std::string slave_;
};

} // namespace ptys
