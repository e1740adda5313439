#pragma once

// Which filesystem holds a folder, and whether a folder lies below a mount point that
// should hold a drive but does not. Linux-only: it reads /proc/self/mountinfo, /etc/fstab
// and /dev/disk/by-uuid; another system replaces this unit.

#include <optional>
#include <string>
#include <vector>

namespace stowkeep::engine {

// Where the tables are read from; tests point them at files of their own.
struct MountSources
{
    std::string mountinfo = "/proc/self/mountinfo";
    std::string fstab = "/etc/fstab";
    std::string diskByUuid = "/dev/disk/by-uuid";
    // Places where desktops and users mount drives, "*" standing for one folder name: a
    // folder that matches one and is not a mount point is a drive that is not there.
    std::vector<std::string> drivePlaces = {"/media/*/*", "/run/media/*/*", "/mnt/*"};
};

struct Filesystem
{
    std::string mountPoint;
    std::string root;   // the folder of the filesystem mounted there ("/" unless a bind mount)
    std::string type;
    std::string source; // the device, or what a network filesystem names
    std::string uuid;   // empty when not known

    // What stays the same while the same filesystem is mounted again, even as another
    // device (sdb1 one day, sdc1 the next): its UUID where known, else its mount point and
    // type (and the source of a network filesystem).
    std::string identity() const;
};

class MountTable
{
public:
    explicit MountTable(MountSources sources = {});

    // The filesystem that holds path, an absolute path without symbolic links (realpath);
    // empty when the mount table cannot be read.
    std::optional<Filesystem> holding(const std::string& path) const;
    // A mount point at or above path that is declared (in fstab, or a drive's usual place)
    // but has nothing mounted on it, so that path lies on the filesystem below; "" if none.
    std::string unmountedAbove(const std::string& path) const;

private:
    std::string uuidOf(const std::string& device) const;

    MountSources m_sources;
    std::vector<Filesystem> m_mounts; // in the table's order: a later one covers an earlier one
};

// True when path is folder or lies below it (both absolute, normalized).
bool isAtOrBelow(const std::string& path, const std::string& folder);

} // namespace stowkeep::engine
