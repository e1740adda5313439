#include "BackupEngine.h"

#include <sstream>

namespace stowkeep::engine {

namespace {

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

} // namespace

void FileSelection::setFilesToProcess(const std::string& lines)
{
    m_include = splitLines(lines);
}

void FileSelection::setFilesToExclude(const std::string& lines)
{
    m_exclude = splitLines(lines);
}

void FileSelection::IncludeItem(const std::string& item, int32_t)
{
    m_include.push_back(item);
}

void FileSelection::ExcludeItem(const std::string& item, int32_t)
{
    m_exclude.push_back(item);
}

void BackupJob::setBackupType(int32_t v)
{
    if (v != FullBackup && v != NewAndModified)
        throw EngineError("The backup type " + std::to_string(v) + " is not valid (0 or 2)");
    m_backupType = v;
}

void BackupJob::setCompressionLevel(int32_t v)
{
    if (v != 0 && v != 1 && v != 6 && v != 9)
        throw EngineError("The compression level " + std::to_string(v) + " is not valid (0, 1, 6 or 9)");
    m_compressionLevel = v;
}

} // namespace stowkeep::engine
