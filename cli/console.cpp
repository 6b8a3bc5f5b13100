#include "console.h"

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
    std::fprintf(out_, "%s\n", text.c_str());
    // Flushed line by line: watch and switch are read as they go, and a
    // C runtime that buffers a pipe fully would hold them back.
    std::fflush(out_);
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
