// The scan against real peers: simulated readers in CDC personality on ptys,
// found through the serial-port map's device folder and probed through
// libserchan on the real clock, and a reader drive in a mounts file.
#include "window_fixture.h"
#include "zn480sim/cdc_peer.h"
#include "zn480sim/reader.h"

#include <QApplication>
#include <QCheckBox>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvex {
namespace {

namespace fs = std::filesystem;

using testing::app;

struct TempDir {
    fs::path path;
    explicit TempDir(const char* stem)
    {
        std::string tmpl = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

class ScanOnThisMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        serchan_ = loadSerchanBesideProgram();
        map_ = makeSystemSerialPortMap();
        drives_ = makeSystemDrives();
        setenv("ZN480_DEV_DIR", devices_.path.c_str(), 1);
        setenv("ZN480_MOUNTS_FILE", (devices_.path / "mounts").c_str(), 1);
        std::ofstream(devices_.path / "mounts") << "";
        window_ = std::make_unique<testing::WindowFixture>([this](Services& s) {
            s.clock = &systemClock();
            s.serchan = serchan_.get();
            s.serialMap = map_.get();
            s.drives = drives_.get();
        });
        form_ = window_->form.get();
    }
    void TearDown() override
    {
        window_.reset();
        unsetenv("ZN480_DEV_DIR");
        unsetenv("ZN480_MOUNTS_FILE");
    }
    // A reader on a pty, reachable as COM(index + 1).
    zn480sim::CdcPeer& plug(int index)
    {
        readers_.push_back(std::make_unique<zn480sim::Reader>());
        peers_.push_back(std::make_unique<zn480sim::CdcPeer>(*readers_.back()));
        EXPECT_TRUE(peers_.back()->start());
        EXPECT_TRUE(peers_.back()->linkAs((devices_.path / ("ttyACM" + std::to_string(index))).string()));
        return *peers_.back();
    }
    QStringList entries() const
    {
        QStringList r;
        for (int i = 0; i < form_->core().list().count(); ++i)
            r << QString::fromStdString(form_->core().list().text(i));
        return r;
    }

    TempDir devices_{"scan-e2e"};
    std::unique_ptr<SerchanApi> serchan_;
    std::unique_ptr<SerialPortMap> map_;
    std::unique_ptr<Drives> drives_;
    std::vector<std::unique_ptr<zn480sim::Reader>> readers_;
    std::vector<std::unique_ptr<zn480sim::CdcPeer>> peers_; // after readers_: stopped first
    std::unique_ptr<testing::WindowFixture> window_;
    frmMain* form_ = nullptr;
};

TEST_F(ScanOnThisMachine, CdcReadersOnPtysAreListedAndPrunedWhenUnplugged)
{
    plug(0);
    zn480sim::CdcPeer& second = plug(2);
    // A plain file where a port node would be: opens, but no reader answers.
    std::ofstream(devices_.path / "ttyACM1") << "";
    form_->tmrUpdates_Timer();
    EXPECT_EQ(entries(), (QStringList{"COM1 ZN480 CDC - 01020304 (2.166)", "COM3 ZN480 CDC - 01020304 (2.166)"}));
    EXPECT_FALSE(form_->chkRefresh->isChecked());
    EXPECT_EQ(form_->core().lockDepth(), 0);

    second.stop();
    fs::remove(devices_.path / "ttyACM2");
    form_->chkRefresh->setChecked(true);
    form_->tmrUpdates_Timer();
    EXPECT_EQ(entries(), QStringList{"COM1 ZN480 CDC - 01020304 (2.166)"});
    EXPECT_TRUE(form_->chkRefresh->isChecked());
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("ZN480 USB Switch"));
}

TEST_F(ScanOnThisMachine, ReaderDriveFromTheMountsFile)
{
    // Any block device node of this machine serves as the mount's source.
    std::string source;
    std::error_code ec;
    for (auto& e : fs::directory_iterator("/sys/class/block", ec)) {
        struct stat st;
        const std::string node = "/dev/" + e.path().filename().string();
        if (stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
            source = node;
            break;
        }
    }
    if (source.empty())
        GTEST_SKIP() << "no block device node";
    TempDir root("scan-e2e-drive");
    std::ofstream(root.path / "APDU_314.MSD") << "";
    std::ofstream(devices_.path / "mounts") << source << " " << root.path.string() << " vfat rw 0 0\n";
    form_->tmrUpdates_Timer();
    EXPECT_EQ(entries(), QStringList{"MSD ZN480 Mass Storage"});
}

} // namespace
} // namespace tarvex
