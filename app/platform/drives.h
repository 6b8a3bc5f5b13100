// Drives the MSD stage of the scan looks at. Windows: GetLogicalDriveStrings
// entries ("e:"), GetDriveTypeA and a root listing without hidden, system
// files or folders. Linux: mounted block-device file systems, typed fixed or
// removable from sysfs, the entry text being the mount point.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace tarvex {

constexpr int DRIVE_TYPE_REMOVABLE = 2;
constexpr int DRIVE_TYPE_FIXED = 3;

class Drives {
public:
    virtual ~Drives() = default;
    // Re-reads the set of drives and returns their entry texts.
    virtual std::vector<std::string> list() = 0;
    // Why the last list() could not read the set of drives (its answer is
    // then empty); empty when it could.
    virtual std::string listProblem() const { return {}; }
    // GetDriveTypeA's answer for an entry text (2 removable, 3 fixed, other).
    virtual int driveType(const std::string& entry) = 0;
    // Ordinary, non-hidden files of the drive's root; false when unreadable.
    virtual bool listRootFiles(const std::string& entry, std::vector<std::string>& files) = 0;
};

std::unique_ptr<Drives> makeSystemDrives();

} // namespace tarvex
