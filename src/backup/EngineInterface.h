#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>

// The backup engine as the program sees it: values are put on its objects, failures
// of a put or a call are EngineFailure exceptions, a failed backup is RunJob's
// non-zero result. The program uses the real engine (EngineAdapter); tests hand job
// set-up a recording double.

class EngineFailure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The engine's boolean encoding: true is -1, false is 0.
using EngineBool = qint16;
inline constexpr EngineBool EngineTrue = -1;
inline constexpr EngineBool EngineFalse = 0;

class IFileSelection
{
public:
    virtual ~IFileSelection() = default;
    virtual void putFilesToExclude(const QString& value) = 0;
    virtual void putFilesToProcess(const QString& value) = 0;
    virtual void ExcludeItem(const QString& item, qint32 value) = 0;
    virtual void IncludeItem(const QString& item, qint32 value) = 0;
};

class IBackupJob
{
public:
    virtual ~IBackupJob() = default;
    virtual void putBackupFolder(const QString& value) = 0;
    virtual void putBackupSetName(const QString& value) = 0;
    virtual void putBackupType(qint32 value) = 0;
    virtual void putCompressionLevel(qint32 value) = 0;
    virtual void putEncryptionPassword(const QString& value) = 0;
    virtual void putRetentionPeriod(qint32 hours) = 0;
    virtual void putSelection(IFileSelection& selection) = 0;
    virtual void putVerifyAfterBackup(EngineBool value) = 0;
};

class IBackupEngine
{
public:
    // Label of the medium wanted and the disk number; returns true when the user inserted it.
    using InsertMediaHandler = std::function<bool(const QString& mediaLabel, qint32 diskNumber)>;

    virtual ~IBackupEngine() = default;
    virtual void putCatalogFolder(const QString& value) = 0;
    virtual void putLogFolder(const QString& value) = 0;
    virtual void putLogDetailLevel(qint32 value) = 0;

    virtual std::unique_ptr<IFileSelection> createFileSelection() = 0;
    virtual std::unique_ptr<IBackupJob> createBackupJob() = 0;

    // Runs the whole backup before it returns; 0 is success.
    virtual qint32 RunJob(IBackupJob& job) = 0;
    virtual QString GetErrorText(qint32 reserved, qint32 code) = 0;
    virtual void setOnInsertMedia(InsertMediaHandler handler) = 0;
    // Asks a running RunJob to stop as soon as it can; it then returns its "cancelled" code.
    virtual void cancelRunningJob() = 0;
};
