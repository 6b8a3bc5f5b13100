// Starting a helper program detached, and finding our own folder.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace tarvex {
namespace {

class ProcessTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/tarvex-proc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path writeScript(const std::string& name, const std::string& body, mode_t mode)
    {
        fs::path p = dir / name;
        std::ofstream(p) << "#!/bin/sh\n" << body;
        chmod(p.c_str(), mode);
        return p;
    }
    // Polls for a condition that a separate process brings about; bounded so
    // a broken start fails the test instead of hanging it.
    template <typename F> static bool eventually(F cond)
    {
        for (int i = 0; i < 1000; ++i) {
            if (cond())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    static std::string slurp(const fs::path& p)
    {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(ProcessTest, StartsDetachedWithNullStreamsAndLeavesNoZombie)
{
    const fs::path out = dir / "out";
    const fs::path done = dir / "done";
    // Reports its pid, where its streams point and what else it holds open,
    // then exits.
    auto script = writeScript("tool",
        "a=$(readlink /proc/$$/fd/0); b=$(readlink /proc/$$/fd/1);"
        " c=$(readlink /proc/$$/fd/2); d=$(ls -l /proc/$$/fd | tr '\\n ' '|_')\n"
        "printf '%s\\n' $$ \"$a\" \"$b\" \"$c\" \"$d\" > '"
            + out.string()
            + ".tmp'\n"
              "mv '"
            + out.string() + ".tmp' '" + out.string() + "'\n",
        0755);
    // A descriptor of ours that is not close-on-exec must still stay home.
    const fs::path held = dir / "held-by-parent";
    const int heldFd = ::open(held.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(heldFd, 0);
    auto launcher = makeSystemProcessLauncher();
    ASSERT_TRUE(launcher->startHidden(script.string()));
    ASSERT_TRUE(eventually([&] { return fs::exists(out); }));

    std::istringstream lines(slurp(out));
    ::close(heldFd);
    std::string pid, in0, out1, err2, openFds;
    std::getline(lines, pid);
    std::getline(lines, in0);
    std::getline(lines, out1);
    std::getline(lines, err2);
    std::getline(lines, openFds);
    EXPECT_EQ(in0, "/dev/null");
    EXPECT_EQ(out1, "/dev/null");
    EXPECT_EQ(err2, "/dev/null");
    EXPECT_EQ(openFds.find("held-by-parent"), std::string::npos) << openFds;
    // Reaped: once the tool has ended its /proc entry goes away entirely
    // rather than staying behind as a zombie.
    EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + pid); })) << pid;
}

TEST_F(ProcessTest, RefusesWhatCannotRun)
{
    auto plain = writeScript("plain", "exit 0\n", 0644);
    fs::create_directory(dir / "folder");
    chmod((dir / "folder").c_str(), 0755);
    auto launcher = makeSystemProcessLauncher();
    for (const std::string& p : {(dir / "missing").string(), plain.string(), (dir / "folder").string(), std::string()})
        EXPECT_FALSE(launcher->startHidden(p)) << p;
}

TEST_F(ProcessTest, ReportsAFailedExec)
{
    // Executable bits but no valid format and no interpreter line.
    fs::path p = dir / "garbage";
    std::ofstream(p) << std::string("\x7f"
                                    "ELF\x01\x02",
        6);
    chmod(p.c_str(), 0755);
    EXPECT_FALSE(makeSystemProcessLauncher()->startHidden(p.string()));
}

TEST(ProgramDir, IsTheFolderOfThisExecutable)
{
    const std::string d = programDir();
    ASSERT_FALSE(d.empty());
    EXPECT_NE(d.back(), '/');
    EXPECT_EQ(fs::canonical(d), fs::canonical("/proc/self/exe").parent_path());
    EXPECT_EQ(kbflashFileName(), "kbflash");
}

TEST(KbflashPath, OnlyInTheProgramsOwnFolder)
{
    struct Case {
        std::string folder, path;
    };
    for (const Case& c : {
             Case{"/usr/lib/tarvex", "/usr/lib/tarvex/kbflash"},
             Case{"/", "/kbflash"}, // a program that really is at the root
             Case{"", ""},          // folder unknown: nothing to start, not "/kbflash"
         })
        EXPECT_EQ(kbflashPathIn(c.folder), c.path) << "folder '" << c.folder << "'";
}

} // namespace
} // namespace tarvex
