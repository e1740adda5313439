#pragma once

// The plain-text run log: one file per day (YYYY-MM-DD.log) in the log folder, appended.
// Level 1 keeps each run's start, errors and summary; 2 adds warnings; 3 one line per file.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace stowkeep::engine {

class RunLog
{
public:
    enum Level { Summary = 1, Warning = 2, File = 3 };

    // An empty folder, or one that cannot be made or written, keeps no log.
    RunLog(const std::string& folder, int level, std::time_t day, std::string setName);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Empty when no log is kept: failure texts point the user to this file.
    const std::string& path() const { return m_path; }
    bool open() const { return m_file != nullptr; }

    void info(const std::string& text) { write(Summary, "", text); }
    void error(const std::string& text) { write(Summary, "ERROR ", text); }
    void warning(const std::string& text) { write(Warning, "WARNING ", text); }
    void file(const std::string& text) { write(File, "", text); }

private:
    void write(int level, const char* tag, const std::string& text);

    std::string m_path;
    std::string m_setName;
    int m_level;
    std::FILE* m_file = nullptr;
};

// Local time as "YYYY-MM-DD HH:MM:SS".
std::string formatLocalTime(std::time_t t, const char* format = "%Y-%m-%d %H:%M:%S");

} // namespace stowkeep::engine
