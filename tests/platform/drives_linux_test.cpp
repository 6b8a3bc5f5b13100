// Linux drives from a mounts file and a sysfs tree of the test's own making.
#include "platform/drives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tarvex;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "zn480-drives-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

bool isBlock(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// A block device node of this machine whose name does not start with
// "loop" (its type then comes from the fake sysfs), or empty.
std::string someDisk()
{
    std::error_code ec;
    for (auto& e : fs::directory_iterator("/sys/class/block", ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("loop", 0) != 0 && isBlock("/dev/" + name))
            return name;
    }
    return {};
}

class LinuxDrives : public ::testing::Test {
protected:
    void SetUp() override
    {
        disk_ = someDisk();
        if (disk_.empty() || !isBlock("/dev/loop0"))
            GTEST_SKIP() << "needs a disk and /dev/loop0 block device";
        setenv("ZN480_MOUNTS_FILE", (dir_.path / "mounts").c_str(), 1);
        setenv("ZN480_SYSFS_DIR", (dir_.path / "sys").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("ZN480_MOUNTS_FILE");
        unsetenv("ZN480_SYSFS_DIR");
    }
    void mounts(const std::string& text) { std::ofstream(dir_.path / "mounts") << text; }
    fs::path mountPoint(const std::string& name)
    {
        fs::path p = dir_.path / name;
        fs::create_directories(p);
        return p;
    }
    void sysfsDisk(const std::string& removable, bool asPartition)
    {
        fs::path cls = dir_.path / "sys/class/block";
        fs::path disk = dir_.path / "sys/devices/virtual/block/parent";
        fs::remove_all(dir_.path / "sys");
        fs::create_directories(cls);
        fs::create_directories(disk / disk_);
        std::ofstream(disk / "removable") << removable << "\n";
        if (!asPartition)
            std::ofstream(disk / disk_ / "removable") << removable << "\n";
        fs::create_symlink(disk / disk_, cls / disk_);
    }

    TempDir dir_;
    std::string disk_;
};

TEST_F(LinuxDrives, ListsBlockDeviceMountsWithDecodedNames)
{
    const fs::path a = mountPoint("stick one"), b = mountPoint("image");
    const std::string escaped = (dir_.path / "stick\\040one").string();
    mounts("proc /proc proc rw 0 0\n"
           "tmpfs "
        + mountPoint("tmp").string()
        + " tmpfs rw 0 0\n"
          "/dev/"
        + disk_ + " " + escaped
        + " vfat rw 0 0\n"
          "/dev/zn480-no-such-node "
        + mountPoint("gone").string()
        + " ext4 rw 0 0\n"
          "/dev/loop0 "
        + b.string()
        + " ext2 rw 0 0\n"
          "garbage\n");
    auto drives = makeSystemDrives();
    EXPECT_EQ(drives->list(), (std::vector<std::string>{a.string(), b.string()}));
}

TEST_F(LinuxDrives, TypeFromRemovableAttributeLoopIsFixed)
{
    struct Case {
        const char* what;
        const char* removable;
        bool partition;
        bool loop;
        int type;
    };
    const Case cases[] = {
        {"removable disk", "1", false, false, DRIVE_TYPE_REMOVABLE},
        {"fixed disk", "0", false, false, DRIVE_TYPE_FIXED},
        {"partition of a removable disk", "1", true, false, DRIVE_TYPE_REMOVABLE},
        {"partition of a fixed disk", "0", true, false, DRIVE_TYPE_FIXED},
        {"loop image", "1", false, true, DRIVE_TYPE_FIXED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sysfsDisk(c.removable, c.partition);
        const fs::path m = mountPoint("m");
        mounts((c.loop ? std::string("/dev/loop0") : "/dev/" + disk_) + " " + m.string() + " vfat rw 0 0\n");
        auto drives = makeSystemDrives();
        ASSERT_EQ(drives->list(), std::vector<std::string>{m.string()});
        EXPECT_EQ(drives->driveType(m.string()), c.type);
    }
    // Not a mount point at all.
    EXPECT_NE(makeSystemDrives()->driveType((dir_.path / "elsewhere").string()), DRIVE_TYPE_FIXED);
}

TEST_F(LinuxDrives, RootFilesAreVisibleRegularFilesOnly)
{
    const fs::path root = mountPoint("root");
    std::ofstream(root / "APDU_314.MSD") << "x";
    std::ofstream(root / "readme.txt") << "x";
    std::ofstream(root / ".hidden") << "x";
    fs::create_directories(root / "folder");
    fs::create_symlink(root / "readme.txt", root / "link");
    auto drives = makeSystemDrives();
    std::vector<std::string> files{"stale"};
    ASSERT_TRUE(drives->listRootFiles(root.string(), files));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"APDU_314.MSD", "readme.txt"}));

    EXPECT_FALSE(drives->listRootFiles((dir_.path / "not-there").string(), files));
    EXPECT_TRUE(files.empty());
}

} // namespace
