#include "Mounts.h"

#include "Selection.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace stowkeep::engine {

namespace {

// The tables write a blank, tab, line break and backslash in a path as \040, \011, \012, \134.
std::string unescapeOctal(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const auto digit = [&](size_t k) { return field[k] >= '0' && field[k] <= '7'; };
            if (digit(i + 1) && digit(i + 2) && digit(i + 3)) {
                out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; in >> f;)
        out.push_back(std::move(f));
    return out;
}

std::string realPath(const std::string& path)
{
    const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

// The first n folder names of an absolute path, as a path; "" when it has fewer.
std::string leadingFolders(const std::string& path, size_t n)
{
    size_t end = 0;
    for (size_t k = 0; k < n; ++k) {
        if (end >= path.size() || path[end] != '/')
            return {};
        size_t next = path.find('/', end + 1);
        if (next == std::string::npos)
            next = path.size();
        if (next == end + 1)
            return {};
        end = next;
    }
    return path.substr(0, end);
}

size_t folderCount(const std::string& pattern)
{
    size_t n = 0;
    for (char c : pattern)
        n += c == '/';
    return n;
}

} // namespace

bool isAtOrBelow(const std::string& path, const std::string& folder)
{
    if (folder == "/")
        return !path.empty() && path.front() == '/';
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string Filesystem::identity() const
{
    const std::string where = root == "/" ? std::string() : " root " + root;
    if (!uuid.empty())
        return "uuid " + uuid + where;
    // A device's name can change between two plug-ins; a network share's name cannot.
    const bool device = source.rfind("/dev/", 0) == 0;
    return "mount " + mountPoint + " type " + type + (device ? std::string() : " source " + source) + where;
}

MountTable::MountTable(MountSources sources) : m_sources(std::move(sources))
{
    std::ifstream in(m_sources.mountinfo);
    if (!in)
        return;
    // "36 35 98:0 /root /mnt/point rw,noatime master:1 - ext4 /dev/sdb1 rw": the optional
    // fields end at the lone "-".
    for (std::string line; std::getline(in, line);) {
        const auto f = fields(line);
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-")
            ++dash;
        if (f.size() < 6 || dash + 2 >= f.size())
            continue;
        Filesystem fs;
        fs.root = unescapeOctal(f[3]);
        fs.mountPoint = unescapeOctal(f[4]);
        fs.type = unescapeOctal(f[dash + 1]);
        fs.source = unescapeOctal(f[dash + 2]);
        if (!fs.mountPoint.empty() && fs.mountPoint.front() == '/')
            m_mounts.push_back(std::move(fs));
    }
}

std::optional<Filesystem> MountTable::holding(const std::string& path) const
{
    const Filesystem* best = nullptr;
    for (const auto& fs : m_mounts)
        if (isAtOrBelow(path, fs.mountPoint) && (!best || fs.mountPoint.size() >= best->mountPoint.size()))
            best = &fs;
    if (!best)
        return std::nullopt;
    Filesystem fs = *best;
    fs.uuid = uuidOf(fs.source);
    return fs;
}

std::string MountTable::uuidOf(const std::string& device) const
{
    if (device.empty() || device.front() != '/')
        return {};
    const std::string target = realPath(device);
    if (target.empty())
        return {};
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(m_sources.diskByUuid.c_str()), ::closedir);
    if (!dir)
        return {};
    while (const dirent* d = ::readdir(dir.get())) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        if (realPath(m_sources.diskByUuid + "/" + name) == target)
            return name;
    }
    return {};
}

std::string MountTable::unmountedAbove(const std::string& path) const
{
    const auto fs = holding(path);
    if (!fs)
        return {};
    // Declared mount points that would hold path.
    std::vector<std::string> declared;
    std::ifstream fstab(m_sources.fstab);
    for (std::string line; std::getline(fstab, line);) {
        const auto f = fields(line);
        if (f.size() < 3 || f[0].front() == '#' || f[2] == "swap")
            continue;
        const std::string mountPoint = unescapeOctal(f[1]);
        if (mountPoint.size() > 1 && mountPoint.front() == '/' && isAtOrBelow(path, mountPoint))
            declared.push_back(mountPoint);
    }
    for (const auto& place : m_sources.drivePlaces) {
        const std::string folder = leadingFolders(path, folderCount(place));
        if (!folder.empty() && matchMask(place, folder, true))
            declared.push_back(folder);
    }
    // Mounted, path lies on that filesystem or on one mounted further down; not mounted,
    // it lies on the filesystem that holds the empty mount point.
    for (const auto& mountPoint : declared)
        if (!isAtOrBelow(fs->mountPoint, mountPoint))
            return mountPoint;
    return {};
}

} // namespace stowkeep::engine
