#include "RunLog.h"

#include "PrivateFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace stowkeep::engine {

namespace {

// Logs of earlier days are kept while they are among this many and all of them together
// stay under this size: one line per file on every run would otherwise fill the disk in
// time (a daily full backup of 300,000 files writes some 27 MB).
constexpr size_t kKeptDays = 90;
constexpr uint64_t kKeptBytes = uint64_t {256} << 20;

bool isDayLog(const char* name)
{
    static constexpr char kShape[] = "dddd-dd-dd.log";
    for (size_t i = 0; i < sizeof kShape - 1; ++i)
        if (kShape[i] == 'd' ? name[i] < '0' || name[i] > '9' : name[i] != kShape[i])
            return false;
    return name[sizeof kShape - 1] == '\0';
}

// Removes the oldest days' logs beyond those limits, by the names' order, not the clock's:
// a clock set wrong removes no more than one day. The current day's log always stays.
void removeOldLogs(const std::string& folder, const std::string& current)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const std::string currentName = std::filesystem::path(current).filename().string();
    std::vector<std::pair<std::string, uint64_t>> days;
    struct stat st {};
    uint64_t total = ::stat(current.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    while (const dirent* d = ::readdir(dir))
        if (isDayLog(d->d_name) && currentName != d->d_name &&
            ::fstatat(::dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            days.emplace_back(d->d_name, static_cast<uint64_t>(st.st_size));
    std::sort(days.begin(), days.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    size_t kept = 1;
    bool full = false;
    for (const auto& [name, size] : days) {
        full = full || kept >= kKeptDays || total + size > kKeptBytes;
        if (full) {
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
            continue;
        }
        ++kept;
        total += size;
    }
    ::closedir(dir);
}

} // namespace

std::string formatLocalTime(std::time_t t, const char* format)
{
    std::tm tm {};
    localtime_r(&t, &tm);
    char buffer[64];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

RunLog::RunLog(const std::string& folder, int level, std::time_t day, std::string setName)
    : m_setName(std::move(setName)), m_level(level)
{
    if (folder.empty())
        return;
    std::error_code ec;
    makePrivateFolder(folder, ec);
    const std::string path = (std::filesystem::path(folder) / (formatLocalTime(day, "%Y-%m-%d") + ".log")).string();
    const int fd = openPrivateFile(path, O_WRONLY | O_APPEND);
    if (fd >= 0) {
        m_file = ::fdopen(fd, "a");
        if (!m_file)
            ::close(fd);
    }
    if (m_file) {
        m_path = path;
        removeOldLogs(folder, m_path);
    }
}

RunLog::~RunLog()
{
    if (m_file)
        std::fclose(m_file);
}

void RunLog::write(int level, const char* tag, const std::string& text)
{
    if (!m_file || level > m_level)
        return;
    // One line per record: a file name with a line break must not forge a record.
    std::string line = formatLocalTime(std::time(nullptr)) + " [" + m_setName + "] " + tag + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_file);
    if (level < File)
        std::fflush(m_file);
}

} // namespace stowkeep::engine
