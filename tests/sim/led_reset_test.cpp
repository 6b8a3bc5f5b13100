// The simulator in HID personality against the real kbflash: the LED
// pattern makes it leave HID and come back in the personality it had before,
// whether kbflash plays it on an X server's lock keys (the test runs under
// with-xvfb.sh, which sets DISPLAY) or on the reader's own keyboard node in
// the simulator's umockdev testbed.
// Real time: one kbflash run takes about 5 s.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

pid_t spawn(std::vector<std::string> args, const std::string& out, char** env = environ)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), env) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string control(const std::string& sock, const std::string& line)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, sock.c_str(), sizeof a.sun_path - 1);
    std::string r;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string l = line + "\n";
        (void)!::write(fd, l.data(), l.size());
        char buf[1024];
        ssize_t n;
        while (r.find('\n') == std::string::npos && (n = ::read(fd, buf, sizeof buf)) > 0)
            r.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return r;
}

template <class F> bool eventually(F f, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return f();
}

struct Sim {
    fs::path dir;
    pid_t pid = -1;
    Sim()
    {
        char tmpl[] = "/tmp/zn480-ledreset-XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    ~Sim()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string ctl() const { return (dir / "ctl").string(); }
    std::string out() const { return slurp((dir / "sim.log").string()); }
    std::string state() const { return control(ctl(), "state"); }
};

// Starts kbflash in the simulator's testbed, with the test's DISPLAY or none.
pid_t startKbflash(const std::string& testbedFile, bool withDisplay, const std::string& log)
{
    std::string testbed = slurp(testbedFile);
    while (!testbed.empty() && testbed.back() == '\n')
        testbed.pop_back();
    if (testbed.empty())
        return -1;
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if ((withDisplay || std::strncmp(*e, "DISPLAY=", 8) != 0) && std::strncmp(*e, "UMOCKDEV_DIR=", 13) != 0)
            envText.emplace_back(*e);
    envText.push_back("UMOCKDEV_DIR=" + testbed);
    std::vector<char*> env;
    for (auto& e : envText)
        env.push_back(e.data());
    env.push_back(nullptr);
    return spawn({"umockdev-wrapper", KBFLASH_PATH}, log, env.data());
}

// The reader's keyboard has no raw HID node here, so kbflash falls back to
// the X lock keys, which the simulator watches.
TEST(LedReset, KbflashTakesTheReaderOutOfHidBackToItsFormerPersonality)
{
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under with-xvfb.sh";
    Sim sim;
    sim.pid = spawn(
        {ZN480SIM_PATH, "--cdc-link", (sim.dir / "ttyACM0").string(), "--hid-testbed", (sim.dir / "testbed").string(),
            "--no-keyboard-node", "--control", sim.ctl(), "--restart-delay", "200"},
        (sim.dir / "sim.log").string());
    ASSERT_GT(sim.pid, 0);
    ASSERT_TRUE(eventually([&] { return sim.state().find("present=CDC") != std::string::npos; }, 10000)) << sim.out();

    // Switched to HID from CDC, as the reboot after "To HID" would.
    ASSERT_EQ(control(sim.ctl(), "personality hid"), "OK\n");
    ASSERT_NE(sim.state().find("present=HID"), std::string::npos);
    ASSERT_NE(sim.out().find("watching the lock-key LEDs"), std::string::npos) << sim.out();

    const pid_t kb = startKbflash((sim.dir / "testbed").string(), true, (sim.dir / "kbflash.log").string());
    ASSERT_GT(kb, 0);
    int status = 0;
    ASSERT_TRUE(eventually([&] { return ::waitpid(kb, &status, WNOHANG) == kb; }, 30000));
    EXPECT_TRUE(eventually([&] { return sim.state().find("present=CDC") != std::string::npos; }, 5000))
        << sim.state() << sim.out();
    EXPECT_NE(sim.out().find("LED reset pattern seen: leaving HID for CDC (on the X display"), std::string::npos)
        << sim.out();
    EXPECT_TRUE(fs::exists(sim.dir / "ttyACM0")) << "the CDC port is back";
}

// No X server watched, so only the keyboard node can carry the pattern;
// kbflash sees the testbed through umockdev-wrapper and has no display.
TEST(LedReset, PatternOnTheKeyboardNodeTakesTheReaderOutOfHid)
{
    Sim sim;
    const std::string testbedFile = (sim.dir / "testbed").string();
    sim.pid = spawn({ZN480SIM_PATH, "--cdc-link", (sim.dir / "ttyACM0").string(), "--hid-testbed", testbedFile,
                        "--led-display", "none", "--control", sim.ctl(), "--restart-delay", "200"},
        (sim.dir / "sim.log").string());
    ASSERT_GT(sim.pid, 0);
    ASSERT_TRUE(eventually([&] { return sim.state().find("present=CDC") != std::string::npos; }, 10000)) << sim.out();
    ASSERT_EQ(control(sim.ctl(), "personality hid"), "OK\n");
    ASSERT_NE(sim.state().find("present=HID"), std::string::npos);
    const std::string kbLog = (sim.dir / "kbflash.log").string();
    const pid_t kb = startKbflash(testbedFile, false, kbLog);
    ASSERT_GT(kb, 0);
    int status = 0;
    ASSERT_TRUE(eventually([&] { return ::waitpid(kb, &status, WNOHANG) == kb; }, 30000));
    // The reader leaves while kbflash still blinks: the rest of the pattern
    // goes to a node that has gone, which must not end kbflash early.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(kbLog);
    EXPECT_EQ(slurp(kbLog), "Wait...\r\nOK.\r\n");
    EXPECT_TRUE(eventually([&] { return sim.state().find("present=CDC") != std::string::npos; }, 5000))
        << sim.state() << sim.out();
    EXPECT_NE(sim.out().find("LED reset pattern seen: leaving HID for CDC (on /dev/hidraw"), std::string::npos)
        << sim.out();
}

} // namespace
