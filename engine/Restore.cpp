#include "BackupEngine.h"

#include <cstdio>
#include <ctime>

namespace stowkeep::engine {

bool RunInfo::usable() const
{
    return restorable && (result == Success || result == SomeFilesUnreadable);
}

std::optional<RunInfo> FindRunAt(const std::vector<RunInfo>& runs, int64_t minuteStart)
{
    std::optional<RunInfo> best;
    for (const RunInfo& run : runs)
        if (run.usable() && run.startTime < minuteStart + 60 && (!best || run.startTime > best->startTime))
            best = run;
    return best;
}

std::optional<RunInfo> FindNewestRun(const std::vector<RunInfo>& runs)
{
    return FindRunAt(runs, INT64_MAX - 60);
}

std::optional<int64_t> ParseLocalMinute(const std::string& text)
{
    std::tm tm {};
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &used) != 5 ||
        static_cast<size_t>(used) != text.size())
        return std::nullopt;
    const std::tm asked = tm;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    // mktime moves 2026-02-30 on to March: such a date is not valid.
    if (t == -1 || tm.tm_year + 1900 != asked.tm_year || tm.tm_mon + 1 != asked.tm_mon || tm.tm_mday != asked.tm_mday ||
        tm.tm_min != asked.tm_min)
        return std::nullopt;
    return static_cast<int64_t>(t);
}

} // namespace stowkeep::engine
