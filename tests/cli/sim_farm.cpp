#include "sim_farm.h"

#include "zn480sim/reader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zn480cli {

namespace fs = std::filesystem;
using zn480e2e::readFile;
using zn480e2e::waitUntil;

namespace {

const char* const kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

std::string hexOf(const uint8_t* b, size_t n)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
    }
    return s;
}

std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

// ---- SharedPcscd

SharedPcscd::SharedPcscd(const std::string& workDir, int readers, std::vector<std::string> names, PcscdHost host)
    : dir_(workDir + "/pcscd"), readers_(readers), names_(std::move(names)), host_(std::move(host))
{
    std::error_code ec;
    for (const char* sub : {"conf", "run", "up", "drivers"})
        fs::create_directories(dir_ + "/" + sub, ec);
    int status = -1;
    const std::string out
        = zn480e2e::runCapture({"sh", PRIVATE_PCSCD_SCRIPT, "-F", "-n", std::to_string(readers)}, &status);
    base_ = status == 0 ? std::atoi(out.c_str()) : 0;
    if (base_ <= 0) {
        error_ = "no free ports for the virtual readers";
        return;
    }
    for (int k = 0; k < readers; ++k) {
        // A copy per reader: one loaded copy of the driver serves one reader.
        if (!makeOneSlotDriver(dir_ + "/drivers/vpcd" + std::to_string(k) + ".so"))
            return;
    }
    std::ofstream(dir_ + "/present.sh") << "# Marks reader $2 present in folder $1 while it runs.\n"
                                           ": > \"$1/$2\"\n"
                                           "trap 'rm -f \"$1/$2\"; exit 0' TERM INT HUP\n"
                                           "while :; do sleep 1 & wait $!; done\n";
    running_ = true;
    manager_ = std::thread([this] { manage(); });
    ok_ = true;
}

SharedPcscd::~SharedPcscd()
{
    running_ = false;
    if (manager_.joinable())
        manager_.join();
    daemon_.stop();
}

bool SharedPcscd::makeOneSlotDriver(const std::string& to)
{
    const std::string driver = host_.root + kVpcdDriver;
    std::ifstream in(driver, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        error_ = "no virtual reader driver at " + driver + " (package vsmartcard-vpcd)";
        return false;
    }
    // IFDHGetCapabilities answers TAG_IFD_SLOTS_NUMBER (0x0FAE) with a
    // constant 2: "cmp $0xfae,%rsi", then soon "movb $0x2,0x0(%rbp)".
    const std::string tag("\x48\x81\xfe\xae\x0f\x00\x00", 7);
    const std::string store("\xc6\x45\x00\x02", 4);
    const size_t at = bytes.find(tag);
    const size_t slots = at == std::string::npos ? std::string::npos : bytes.find(store, at);
    if (slots == std::string::npos || slots - at > 64) {
        error_ = "this build of the virtual reader driver does not announce its slots as expected";
        return false;
    }
    bytes[slots + 3] = '\x01';
    std::ofstream(to, std::ios::binary) << bytes;
    return true;
}

std::string SharedPcscd::service(int k) const
{
    return "exec sh " + quoted(dir_ + "/present.sh") + " " + quoted(dir_ + "/up") + " " + std::to_string(k);
}

void SharedPcscd::manage()
{
    std::set<int> current;
    bool started = false; // the daemon runs from the start, readers or not
    while (running_) {
        std::set<int> present;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir_ + "/up", ec)) {
            const std::string name = e.path().filename().string();
            if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit))
                present.insert(std::atoi(name.c_str()));
        }
        if (!started || present != current) {
            restart(present);
            current = present;
            started = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void SharedPcscd::restart(const std::set<int>& present)
{
    daemon_.stop();
    std::error_code ec;
    fs::remove_all(dir_ + "/run", ec);
    fs::remove_all(dir_ + "/conf", ec);
    fs::create_directories(dir_ + "/run", ec);
    fs::create_directories(dir_ + "/conf", ec);
    // With no reader in CCID the daemon still runs, with no readers: on
    // Linux pcscd answers through its socket whether or not readers are
    // attached, and a program that finds no service rightly reports that it
    // could not look.
    for (int k : present) {
        if (k < 0 || k >= readers_)
            continue;
        std::ofstream(dir_ + "/conf/reader" + std::to_string(k))
            << "FRIENDLYNAME \"" << readerName(k) << "\"\nDEVICENAME /dev/null:" << port(k) << "\nLIBPATH " << dir_
            << "/drivers/vpcd" << k << ".so\n";
    }
    // The daemon always serves /run/pcscd/pcscd.comm: a private mount
    // namespace binds this folder there.
    std::string script = "[ -d /run/pcscd ] || mount -t tmpfs tmpfs /run || exit 97\n"
                         "mkdir -p /run/pcscd && mount --bind "
        + quoted(dir_ + "/run") + " /run/pcscd || exit 98\n" + "exec pcscd --foreground -c " + quoted(dir_ + "/conf");
    for (const std::string& o : host_.options)
        script += " " + quoted(o);
    // Entering another system makes a mount namespace of its own already.
    std::vector<std::string> argv = host_.enter;
    if (argv.empty())
        argv = {"unshare", "-m", "--propagation", "private"};
    for (const char* a : {"sh", "-c"})
        argv.push_back(a);
    argv.push_back(script);
    if (!daemon_.start(argv, {}, dir_ + "/pcscd.log"))
        return;
    ++starts_;
    waitUntil(
        [&] { return fs::exists(dir_ + "/run/pcscd.comm") && fs::exists(dir_ + "/run/pcscd.pid"); }, Millis(5000));
}

// ---- FarmSim

FarmSim::FarmSim(const std::string& dir, const std::vector<std::string>& args, bool underUmockdev) : dir_(dir)
{
    std::vector<std::string> argv{ZN480SIM_PATH, "--log", dir + "/exchanges.log", "--control", dir + "/ctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    // umockdev sends a testbed's uevents only from under its preload.
    if (underUmockdev)
        argv.insert(argv.begin(), "umockdev-wrapper");
    if (!process_.start(argv, {}, dir + "/sim.out"))
        return;
    ok_ = waitOutput("zn480sim: now ", Millis(10000));
}

std::vector<std::string> FarmSim::commands() const
{
    std::vector<std::string> r;
    std::istringstream in(readFile(dir_ + "/exchanges.log"));
    for (std::string line; std::getline(in, line);) {
        const size_t arrow = line.find(" -> ");
        if (arrow != std::string::npos)
            r.push_back(line.substr(0, arrow));
    }
    return r;
}

std::string FarmSim::output() const
{
    return readFile(dir_ + "/sim.out");
}

bool FarmSim::waitOutput(const std::string& text, Millis limit) const
{
    return waitUntil([&] { return output().find(text) != std::string::npos; }, limit);
}

bool FarmSim::control(const std::string& line)
{
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = dir_ + "/ctl";
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    std::string answer;
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string msg = line + "\n";
        if (::send(s, msg.data(), msg.size(), MSG_NOSIGNAL) == ssize_t(msg.size())) {
            char buf[512];
            while (answer.find('\n') == std::string::npos) {
                const ssize_t n = ::recv(s, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                answer.append(buf, size_t(n));
            }
        }
    }
    ::close(s);
    return answer.rfind("OK", 0) == 0;
}

// ---- SimFarm

SimFarm::SimFarm(const std::string& stem) : work_(stem)
{
    std::error_code ec;
    fs::create_directories(work_ / "dev", ec);
}

SimFarm::~SimFarm()
{
    // The readers first: their CCID services leave the shared daemon's
    // folder as they go; no program of the testbed outlives its owner.
    sims_.clear();
    pcscd_.reset();
}

bool SimFarm::startPcscd(int readers)
{
    pcscd_ = std::make_unique<SharedPcscd>(work_.path, readers);
    return pcscd_->ok();
}

bool SimFarm::add(const SimSpec& spec)
{
    const size_t k = sims_.size();
    const std::string dir = work_ / ("sim" + std::to_string(k));
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::vector<std::string> args{"--serial", spec.serial, "--personality", spec.personality};
    if (spec.cdc)
        args.insert(args.end(), {"--cdc-link", work_ / ("dev/ttyACM" + std::to_string(k))});
    if (spec.ccid) {
        if (!pcscd_ || int(k) >= pcscd_->readers())
            return false;
        args.insert(args.end(),
            {"--vpcd-port", std::to_string(pcscd_->port(int(k))), "--ccid-service", pcscd_->service(int(k))});
    }
    if (spec.testbed) {
        if (!testbed_.empty())
            return false; // the program sees one testbed
        args.insert(args.end(), {"--hid-testbed", dir + "/testbed", "--led-display", "none"});
    }
    if (spec.msd)
        args.insert(args.end(), {"--msd-mount", dir + "/drive"});
    auto sim = std::make_unique<FarmSim>(dir, args, spec.testbed);
    if (!sim->ok()) {
        std::fprintf(stderr, "simulator %zu did not start:\n%s\n", k, sim->output().c_str());
        return false;
    }
    if (spec.testbed) {
        testbed_ = readFile(dir + "/testbed");
        while (!testbed_.empty() && (testbed_.back() == '\n' || testbed_.back() == '\r'))
            testbed_.pop_back();
    }
    sims_.push_back(std::move(sim));
    return true;
}

std::map<std::string, std::string> SimFarm::env() const
{
    std::map<std::string, std::string> e{{"ZN480_DEV_DIR", work_ / "dev"},
        {"PCSCLITE_CSOCK_NAME", pcscd_ ? pcscd_->socketPath() : work_ / "no-pcscd.comm"}};
    if (!testbed_.empty())
        e["UMOCKDEV_DIR"] = testbed_;
    return e;
}

std::vector<std::string> SimFarm::command(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv{TARVEXCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!testbed_.empty())
        argv.insert(argv.begin(), "umockdev-wrapper");
    return argv;
}

ToolRun SimFarm::run(const std::vector<std::string>& args, Millis limit)
{
    ToolRun r;
    const std::string stem = work_ / ("run" + std::to_string(runs_++));
    const std::string outPath = stem + ".out", errPath = stem + ".err";

    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq != std::string::npos)
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env())
        vars[k] = v;
    std::vector<std::string> envText;
    for (const auto& [k, v] : vars)
        envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envText)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv = command(args);
    std::vector<char*> argp;
    for (auto& s : argv)
        argp.push_back(s.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argp[0], &fa, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        r.err = std::string("cannot start: ") + std::strerror(rc);
        return r;
    }
    int st = 0;
    const bool ended = waitUntil([&] { return ::waitpid(pid, &st, WNOHANG) == pid; }, limit);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
    }
    r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    r.status = ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

bool SimFarm::settle(size_t readers, Millis limit)
{
    return waitUntil(
        [&] {
            const std::vector<std::string> lines = run({"list"}).lines();
            return lines.size() == readers && std::none_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("CCID  -", 0) == 0;
            });
        },
        limit);
}

std::string SimFarm::describe()
{
    std::string s;
    for (size_t k = 0; k < sims_.size(); ++k)
        s += "--- simulator " + std::to_string(k) + ":\n" + sims_[k]->output();
    if (pcscd_)
        s += "--- PC/SC daemon started " + std::to_string(pcscd_->starts()) + " times\n";
    return s;
}

std::vector<std::string> ToolRun::lines() const
{
    std::vector<std::string> r;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        r.push_back(line);
    return r;
}

// ---- helpers

std::string switchCommand(const std::string& header, int selector, const std::string& serial)
{
    uint8_t record[6] = {uint8_t(selector), uint8_t(255 - selector)};
    for (int i = 0; i < 4; ++i)
        record[2 + i] = uint8_t(std::stoul(serial.substr(size_t(2 * i), 2), nullptr, 16));
    const uint32_t crc = zn480sim::recordCrc(record, 6, 0x12345678u);
    const uint8_t crcBytes[4] = {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)};
    return header + hexOf(record, 6) + hexOf(crcBytes, 4);
}

std::vector<std::string> since(const std::vector<std::string>& all, size_t from)
{
    return std::vector<std::string>(all.begin() + std::ptrdiff_t(std::min(from, all.size())), all.end());
}

bool containsRun(const std::vector<std::string>& all, const std::vector<std::string>& want)
{
    return std::search(all.begin(), all.end(), want.begin(), want.end()) != all.end();
}

bool onlyScanReads(const std::vector<std::string>& commands)
{
    return std::all_of(commands.begin(), commands.end(),
        [](const std::string& c) { return c == "FFCAE00000" || c == "FFCAF00004" || c == "FFCAE00004"; });
}

bool haveRoot()
{
    return ::geteuid() == 0;
}

bool onPath(const char* program)
{
    int st = -1;
    zn480e2e::runCapture({"sh", "-c", std::string("command -v ") + program}, &st);
    return st == 0;
}

} // namespace zn480cli
