#include "RunSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

namespace {

constexpr size_t kNamesInText = 5; // file names a user-facing text lists before "and N more"

bool isDigits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace

// The set name as part of a file name: also the characters that FAT, exFAT and NTFS
// drives refuse, since backups so often go to such a drive.
std::string sanitizeSetName(const std::string& name)
{
    static constexpr std::string_view refused = "/\\:*?\"<>|";
    std::string out;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        out += (refused.find(c) != std::string_view::npos || u < 0x20 || u == 0x7f) ? '_' : c;
    }
    // Leave room in a 255-byte file name for the time, the kind and the suffixes.
    constexpr size_t kMax = 200;
    if (out.size() > kMax) {
        size_t cut = kMax;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
    }
    return out;
}

int64_t stampTime(const std::string& stamp)
{
    std::tm tm {};
    if (std::sscanf(stamp.c_str(), "%4d%2d%2d-%2d%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
}

// ".<set>_YYYYMMDD-HHMMSS_<kind>[-N].zip.part": a temporary archive of this set.
bool isTemporaryOfSet(std::string_view file, const std::string& set)
{
    const std::string prefix = "." + set + "_";
    constexpr std::string_view suffix = ".zip.part";
    if (file.size() < prefix.size() + suffix.size() || file.substr(0, prefix.size()) != prefix ||
        file.substr(file.size() - suffix.size()) != suffix)
        return false;
    std::string_view rest = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
    if (rest.size() < 16 || !isDigits(rest.substr(0, 8)) || rest[8] != '-' || !isDigits(rest.substr(9, 6)) ||
        rest[15] != '_')
        return false;
    rest.remove_prefix(16);
    for (std::string_view kind : {std::string_view("full"), std::string_view("incremental")}) {
        if (rest.substr(0, kind.size()) != kind)
            continue;
        const std::string_view counter = rest.substr(kind.size());
        if (counter.empty() || (counter[0] == '-' && isDigits(counter.substr(1))))
            return true;
    }
    return false;
}

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw zip::WriteError("cannot open the folder " + folder + ": " + std::strerror(errno), errno);
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    // Some file systems cannot sync a folder; that is not a failed write.
    if (rc != 0 && error != EINVAL && error != ENOTSUP)
        throw zip::WriteError("cannot flush the folder " + folder + ": " + std::strerror(error), error);
}

std::string listNames(const std::vector<std::string>& names)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < kNamesInText; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > kNamesInText)
        text += " and " + std::to_string(names.size() - kNamesInText) + " more";
    return text;
}

std::string listAll(const std::vector<std::string>& names)
{
    std::string text;
    for (const auto& n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text;
}

std::string plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string normalizeFolder(const std::string& folder)
{
    std::string f = fs::path(folder).lexically_normal().string();
    while (f.size() > 1 && f.back() == '/')
        f.pop_back();
    return f;
}

zip::EntryKind zipKind(SelectedKind kind)
{
    switch (kind) {
    case SelectedKind::Directory:
        return zip::EntryKind::Directory;
    case SelectedKind::Symlink:
        return zip::EntryKind::Symlink;
    case SelectedKind::File:
        break;
    }
    return zip::EntryKind::File;
}

ManifestKind manifestKind(SelectedKind kind)
{
    switch (kind) {
    case SelectedKind::Directory:
        return ManifestKind::Directory;
    case SelectedKind::Symlink:
        return ManifestKind::Symlink;
    case SelectedKind::File:
        break;
    }
    return ManifestKind::File;
}

std::string zipName(const SelectedEntry& e)
{
    return e.kind == SelectedKind::Directory ? e.name + "/" : e.name;
}

// Compares a + (aSlash ? "/" : "") with b + (bSlash ? "/" : "") byte by byte, without
// building either: a folder's name in the archive ends in "/".
int compareWithSlash(std::string_view a, bool aSlash, std::string_view b, bool bSlash)
{
    const size_t n = std::min(a.size(), b.size());
    if (const int c = a.substr(0, n).compare(b.substr(0, n)))
        return c < 0 ? -1 : 1;
    // One is a prefix of the other: what follows is the rest of the longer one, then the slash.
    auto at = [](std::string_view s, bool slash, size_t i) -> int {
        if (i < s.size())
            return static_cast<unsigned char>(s[i]);
        return i == s.size() && slash ? '/' : -1;
    };
    for (size_t i = n;; ++i) {
        const int x = at(a, aSlash, i);
        const int y = at(b, bSlash, i);
        if (x != y)
            return x < y ? -1 : 1;
        if (x < 0)
            return 0;
    }
}

int64_t floorSeconds(int64_t ns)
{
    return ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000);
}

std::string catalogSentence(const CatalogError& e)
{
    std::string text = e.what();
    if (!text.empty() && text.front() >= 'a' && text.front() <= 'z')
        text.front() = static_cast<char>(text.front() - 'a' + 'A');
    if (!text.empty() && text.back() != '.')
        text += '.';
    return text;
}

} // namespace stowkeep::engine::detail
