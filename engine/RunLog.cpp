#include "RunLog.h"

#include "PrivateFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace stowkeep::engine {

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
    m_path = (std::filesystem::path(folder) / (formatLocalTime(day, "%Y-%m-%d") + ".log")).string();
    const int fd = openPrivateFile(m_path, O_WRONLY | O_APPEND);
    if (fd >= 0) {
        m_file = ::fdopen(fd, "a");
        if (!m_file)
            ::close(fd);
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
