#pragma once

#include "EngineInterface.h"
#include "profiles/ProfileRecord.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// Items separated by commas or blanks; double quotes keep commas and blanks in an item
// ("" inside stands for one quote); a comma at the start, two in a row or one at the
// end give empty items.
QStringList SplitCommaList(const QString& text);

// Gives the engine its catalog and log folders (the data folder's Catalogs and Logs)
// and the log detail level 3.
void ConfigureEngine(IBackupEngine& engine, const QString& dataFolder);

// Owns the engine objects of the profile table's entries for the whole run.
class EngineObjects
{
public:
    IFileSelection* adopt(std::unique_ptr<IFileSelection> selection);
    IBackupJob* adopt(std::unique_ptr<IBackupJob> job);

private:
    std::vector<std::unique_ptr<IFileSelection>> m_selections;
    std::vector<std::unique_ptr<IBackupJob>> m_jobs;
};

// Creates the record's FileSelection and BackupJob when it has none and puts every value
// of the profile on them. Engine failures propagate as EngineFailure.
void SetUpJob(ProfileRecord& record, IBackupEngine& engine, EngineObjects& owner);
