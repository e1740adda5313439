#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

class IFileSelection;
class IBackupJob;

// One backup profile, as Profiles.ini holds it under the section named Name.
struct ProfileRecord
{
    QString Name;
    QString SourceFolder;
    QString DestinationFolder;
    QString IncludeFilter;
    QString ExcludeFilter;
    qint32 FrequencyOption = 2;
    qint32 FrequencyInterval = 2;
    QString StartingTime = QStringLiteral("0:0");
    QString WeekDay;
    qint32 BackupType = 0;
    qint32 CompressLevel = 2;
    QString CompressPassword;
    bool BoolVerifyBackup = true;
    bool BoolDeleteBackup = false;
    qint32 DeleteInterval = 0;
    // False when the stored DeleteInterval is missing or no valid integer: it then reads
    // as 0, which must not be taken for an age of 0 that deletes old backups.
    bool DeleteIntervalReadable = true;
    QString LastRun;
    QString NextRun;
    // The entry's engine objects: owned by the main window, kept by the index for the
    // whole run and configured again at every load.
    IFileSelection* FileSel = nullptr;
    IBackupJob* Job = nullptr;
};

// Entry i describes the same profile as row i of the profile list.
using ProfileTable = std::vector<ProfileRecord>;

class ProfileStoreSnapshot;

// Reads every stored field of the profile in the named section (the engine objects are
// left as they are), each with its default when missing or not valid.
void readProfileFields(const ProfileStoreSnapshot& store, const QString& section, ProfileRecord& record);
