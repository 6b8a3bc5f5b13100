// The probe memory in $XDG_RUNTIME_DIR/tarvex. The runtime folder belongs to
// the user alone and lives as long as their sessions; a machine without one
// (a cron job, a system service) keeps nothing, rather than leave a file in
// a shared folder that another user could plant.
#include "platform/probe_memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvex {
namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) { }
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

class RuntimeDirProbeMemory final : public ProbeMemory {
public:
    explicit RuntimeDirProbeMemory(std::string dir) : dir_(std::move(dir)), file_(dir_ + "/serial-probes") { }

    std::optional<std::string> load() override
    {
        Fd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (fd.get() < 0)
            return std::nullopt;
        struct stat st;
        if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > off_t(kMaxBytes))
            return std::nullopt;
        std::string text;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return std::nullopt;
            if (n == 0)
                break;
            text.append(buf, size_t(n));
            if (text.size() > kMaxBytes)
                return std::nullopt;
        }
        return text;
    }

    bool save(const std::string& text) override
    {
        if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        // A file of our own beside the real one, renamed over it: a reader
        // never sees half a text, and a crash leaves at most the temporary.
        const std::string temp = file_ + "." + std::to_string(::getpid()) + ".tmp";
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd.get() < 0)
            return false;
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::unlink(temp.c_str());
                return false;
            }
            done += size_t(n);
        }
        if (::close(fd.release()) != 0 || ::rename(temp.c_str(), file_.c_str()) != 0) {
            ::unlink(temp.c_str());
            return false;
        }
        return true;
    }

private:
    std::string dir_;
    std::string file_;
};

} // namespace

std::unique_ptr<ProbeMemory> makeSystemProbeMemory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/')
        return nullptr;
    return std::make_unique<RuntimeDirProbeMemory>(std::string(runtime) + "/tarvex");
}

} // namespace tarvex
