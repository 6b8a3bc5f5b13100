// Drives the real Tarvex program the way a person at the desk would: it runs
// under an X server of its own with a window manager, the mouse clicks the
// list and the buttons at their on-screen places, the dialogs are answered
// with clicks and the message boxes with the Return key. What the program
// shows is read back from its state file (TARVEX_STATE_FILE), what the
// reader received from the simulator's exchange log.
//
// Every process started here is a child in a process group of its own and
// is stopped by the object that started it, on every path.
#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zn480e2e {

using Millis = std::chrono::milliseconds;

// Polls `done` every 25 ms until it holds or `limit` has passed.
bool waitUntil(const std::function<bool()>& done, Millis limit);

// Runs a program to its end and returns its standard output; status is the
// exit status, or -1 when it could not run.
std::string runCapture(
    const std::vector<std::string>& argv, int* status = nullptr, const std::map<std::string, std::string>& env = {});

// A background program: own process group, output appended to a log file,
// stopped with SIGTERM (then SIGKILL) when the object goes.
class Child {
public:
    Child() = default;
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv[0] (searched in PATH) with `env` added to this process's
    // environment. `keepFd` stays open in the child (for -displayfd).
    bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
        const std::string& logPath, int keepFd = -1);
    bool running();
    void stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A fresh folder under /tmp, removed with everything in it.
struct TempDir {
    std::string path;
    explicit TempDir(const std::string& stem);
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string readFile(const std::string& path);

// Xvfb on a display number it picks itself, plus openbox so that dialogs
// and message boxes get the focus and title bars a desktop gives them.
class Desktop {
public:
    explicit Desktop(const std::string& workDir);
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& display() const { return display_; }

    // Runs xdotool (or another X client) on this display.
    std::string x(const std::vector<std::string>& argv, int* status = nullptr) const;
    // The visible top-level window whose title is exactly `title`.
    std::optional<unsigned long> findWindow(const std::string& title) const;
    bool waitWindow(const std::string& title, Millis limit, unsigned long* id = nullptr) const;
    bool waitWindowGone(const std::string& title, Millis limit) const;
    // Client-area size in pixels.
    bool windowSize(unsigned long id, int& width, int& height) const;
    // A left click at a point of a window's client area, in pixels.
    void click(unsigned long id, int x, int y) const;
    // Key taps to whichever window has the focus, e.g. "Return", "Down".
    void key(const std::string& keys) const;
    // The screen as a PNG file, cut down to the windows on it.
    bool screenshot(const std::string& pngPath) const;

private:
    Child xvfb_, wm_;
    std::string display_;
    std::string error_;
    bool ok_ = false;
};

// The lines Tarvex writes to its state file.
struct TarvexState {
    bool valid = false;
    std::string caption;
    bool refresh = false;
    bool enabled = false;
    int selected = -1;
    std::vector<std::string> entries;
    std::vector<std::string> messages;
    long writes = 0;

    int indexOf(const std::string& entry) const;
    bool has(const std::string& entry) const { return indexOf(entry) >= 0; }
    std::string describe() const; // for failure output
};
TarvexState parseTarvexState(const std::string& text);

// A dialog's layout unit: a twips rectangle (left, top, width, height).
struct TwipsRect {
    int left, top, width, height;
};

// Where the program puts the controls that the tests click: the two option
// dialogs' client widths and options, in twips as they are laid out.
constexpr int kHidDialogWidthTw = 5550;
constexpr TwipsRect kHidHashtagTw{240, 600, 4215, 255};
constexpr TwipsRect kHidShiftTw{240, 960, 4215, 375};
constexpr int kCcidDialogWidthTw = 5535;
constexpr TwipsRect kCcidStandardTw{120, 120, 4455, 375};
constexpr TwipsRect kCcidAlwaysPresentTw{120, 600, 4455, 375};
constexpr TwipsRect kCcidNoFakeTw{120, 1080, 4215, 375};

// The running program with its window.
class TarvexApp {
public:
    struct Options {
        std::string program;     // path of Tarvex (kbflash and libserchan beside it)
        std::string deviceDir;   // ZN480_DEV_DIR
        std::string pcscSocket;  // PCSCLITE_CSOCK_NAME
        std::string umockdevDir; // when set: run under umockdev-wrapper
        // Under Wine: the command line put before the program ("wine"), the
        // environment it needs, and TARVEX_STATE_FILE as the program sees
        // it (a Windows path of the same file).
        std::vector<std::string> launcher;
        std::map<std::string, std::string> env;
        std::string stateFileForProgram;
        Millis startLimit{20000};
    };
    TarvexApp(const Desktop& desktop, const std::string& workDir, const Options& options);
    ~TarvexApp() { process_.stop(); }

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    TarvexState state() const;
    bool waitState(const std::function<bool(const TarvexState&)>& done, Millis limit) const;
    std::string log() const;

    // Clicks the entry and checks that it became the selection. False when
    // the entry is not listed or the window stayed locked.
    bool selectEntry(const std::string& entry);
    // "To CCID", "To CDC", "To HID" by their places on the window.
    enum class Button { CCID, CDC, HID };
    void clickButton(Button b);
    // Selects the entry and clicks the button until the command has visibly
    // started: its dialog is up (when `dialogTitle` is given), or the entry
    // has left the list, or a message box has come. A click that lands while
    // a scan cycle holds the window is lost, as it would be for a person,
    // who would then click again.
    bool startCommand(const std::string& entry, Button b, const std::string& dialogTitle = {});
    // When the last button click was sent.
    std::chrono::steady_clock::time_point lastClick() const { return lastClick_; }
    // Answers the option dialog with its title: clicks each control of
    // `clicks` (twips rectangles from the dialog's layout), then OK.
    bool answerDialog(const std::string& title, int clientWidthTw, const std::vector<TwipsRect>& clicks, Millis limit);
    // Waits for message box number `ordinal` (0-based, counted from the
    // program's start), returns its text and presses Return on it.
    // `beforeAnswer` runs while the box is on the screen.
    std::optional<std::string> answerMessage(
        size_t ordinal, Millis limit, const std::function<void()>& beforeAnswer = {});

    void stop() { process_.stop(); }
    bool running() { return process_.running(); }
    unsigned long window() const { return window_; }
    const std::string& stateFile() const { return stateFile_; }

private:
    const Desktop& desktop_;
    std::string stateFile_, logFile_;
    Child process_;
    unsigned long window_ = 0;
    std::chrono::steady_clock::time_point lastClick_{};
    std::string error_;
    bool ok_ = false;
};

// A private PC/SC daemon with one virtual reader that the simulator runs
// itself, only while the reader is in CCID personality, always in the same
// folder and on the same port (tests/support/private-pcscd.sh).
struct SimPcscd {
    explicit SimPcscd(const std::string& workDir, std::string readerName = "ZN480 Sim 1");
    bool ok() const { return port > 0; }
    std::string socketPath() const { return dir + "/run/pcscd.comm"; }
    std::string service() const; // for SimReader::Options::ccidService
    std::string dir;
    std::string name;
    int port = 0;
};

// zn480sim with its exchange log and its own output kept in files.
class SimReader {
public:
    struct Options {
        std::string program;
        std::string personality; // ccid, cdc, hid
        std::string cdcLink;     // device node the CDC personality appears as
        int vpcdPort = 0;        // 0: no CCID personality
        std::string hidTestbed;  // file that receives the umockdev testbed's folder; empty: no HID
        std::string display;     // X display whose LEDs the HID personality watches
        std::string serial = "01020304";
        std::string ccidService; // --ccid-service: what serves the virtual reader while in CCID
    };
    SimReader(const std::string& workDir, const Options& options);
    ~SimReader() { process_.stop(); }
    bool ok() const { return ok_; }
    // The HID personality's umockdev testbed folder (UMOCKDEV_DIR for the
    // programs that are to see it); empty without one.
    std::string testbedDir() const;
    // Commands received so far, as hex text, in order.
    std::vector<std::string> commands() const;
    // The program's own output (appearances, reboots).
    std::string output() const;
    bool waitOutput(const std::string& text, Millis limit) const;

private:
    std::string logFile_, outFile_, testbedFile_;
    Child process_;
    bool ok_ = false;
};

} // namespace zn480e2e
