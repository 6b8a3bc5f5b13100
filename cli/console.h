// Where the tool's words go: result lines on standard output, messages on
// standard error, and one progress line that only a terminal gets. The
// commands write through this interface, so tests read what they printed.
#pragma once
#include <cstdio>
#include <string>

namespace tarvexctl {

class Console {
public:
    virtual ~Console() = default;
    // One line of results (standard output).
    virtual void line(const std::string& text) = 0;
    // One message for the user (standard error), "tarvexctl: " in front.
    virtual void message(const std::string& text) = 0;
    // What is going on now; empty when nothing. Shown only on a terminal.
    virtual void status(const std::string& text) { (void)text; }
    virtual bool showsProgress() const { return false; }
    // Whether a result line could not be written (a closed pipe, a full
    // disk): the commands stop after the reader in progress.
    virtual bool failed() const { return false; }
    virtual std::string failure() const { return {}; }
};

// The standard streams. The progress line is rewritten in place with a
// carriage return and taken away before any other output, so it never
// mixes with the lines that stay.
class StdConsole : public Console {
public:
    StdConsole(FILE* out, FILE* err, bool progress) : out_(out), err_(err), progress_(progress) { }
    ~StdConsole() override { clearStatus(); }
    void line(const std::string& text) override;
    void message(const std::string& text) override;
    void status(const std::string& text) override;
    bool showsProgress() const override { return progress_; }
    bool failed() const override { return error_ != 0; }
    std::string failure() const override;

private:
    void clearStatus();
    FILE* out_;
    FILE* err_;
    bool progress_;
    std::string shown_;
    int error_ = 0; // errno of the first failed write of a result line
};

} // namespace tarvexctl
