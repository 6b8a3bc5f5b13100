#include "console.h"

#include <cerrno>
#include <cstring>

namespace tarvexctl {

namespace {
// Wider lines would wrap on an 80-column terminal, and a wrapped line can
// no longer be rewritten with a carriage return.
constexpr size_t kStatusWidth = 79;
} // namespace

void StdConsole::clearStatus()
{
    if (shown_.empty())
        return;
    std::fprintf(err_, "\r%*s\r", int(shown_.size()), "");
    std::fflush(err_);
    shown_.clear();
}

void StdConsole::line(const std::string& text)
{
    clearStatus();
    if (error_ != 0)
        return;
    // Flushed line by line: watch and switch are read as they go, and a
    // C runtime that buffers a pipe fully would hold them back. Only the
    // flush tells whether the line reached the pipe or the file.
    errno = 0;
    if (std::fprintf(out_, "%s\n", text.c_str()) < 0 || std::fflush(out_) != 0)
        error_ = errno != 0 ? errno : EIO;
}

std::string StdConsole::failure() const
{
    return error_ == 0 ? std::string() : std::string("cannot write the results: ") + std::strerror(error_);
}

void StdConsole::message(const std::string& text)
{
    clearStatus();
    std::fprintf(err_, "tarvexctl: %s\n", text.c_str());
    std::fflush(err_);
}

void StdConsole::status(const std::string& text)
{
    if (!progress_)
        return;
    std::string shown = text.substr(0, kStatusWidth);
    if (shown == shown_)
        return;
    if (shown.empty()) {
        clearStatus();
        return;
    }
    const int pad = shown_.size() > shown.size() ? int(shown_.size() - shown.size()) : 0;
    std::fprintf(err_, "\r%s%*s", shown.c_str(), pad, "");
    if (pad > 0)
        std::fprintf(err_, "\r%s", shown.c_str());
    std::fflush(err_);
    shown_ = shown;
}

} // namespace tarvexctl
