#pragma once

#include "EngineInterface.h"

#include <atomic>
#include <functional>
#include <memory>

namespace stowkeep::engine {
class BackupEngine;
}

// The real backup engine behind the program's interface. A prepared run works on its own
// copy of the job, so it can be made on a worker thread (the job runner's) while the
// profiles are set up again; the media question and the progress are handed to the
// handlers on that thread.
class EngineAdapter : public IBackupEngine
{
public:
    EngineAdapter();
    ~EngineAdapter() override;

    void putCatalogFolder(const QString& value) override;
    void putLogFolder(const QString& value) override;
    void putLogDetailLevel(qint32 value) override;

    std::unique_ptr<IFileSelection> createFileSelection() override;
    std::unique_ptr<IBackupJob> createBackupJob() override;

    PreparedRun prepareRun(IBackupJob& job) override;
    QString GetErrorText(qint32 reserved, qint32 code) override;
    QString RunNotices() override;
    void setOnInsertMedia(InsertMediaHandler handler) override;
    void setOnProgress(ProgressHandler handler) override;
    void cancelRunningJob() override;
    QList<RunHistory> LastRuns(const QList<BackupSet>& sets) override;
    QList<BackupSet> RestorableSets() override;
    QList<RestoreRun> ListRuns(const BackupSet& set, const QString& password) override;
    QList<RestoreEntry> ListFiles(const RestoreRequest& request) override;
    PreparedRun prepareRestore(const RestoreRequest& request, std::shared_ptr<RestoreResult> result) override;
    void setOnPassword(PasswordHandler handler) override;

    // Test seam: called on the restore's (or backup's) threads before every write to a
    // destination file with its size; a non-zero errno return fails that write. A test
    // holds a real restore mid-file here.
    void setWriteHook(std::function<int(quint64 bytes)> hook);

private:
    std::unique_ptr<stowkeep::engine::BackupEngine> m_engine;
    InsertMediaHandler m_onInsertMedia;
    ProgressHandler m_onProgress;
    PasswordHandler m_onPassword;
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_running{false};
};

// The run a restore takes by the engine's rules: the newest usable run that started at or
// before the end of the local minute "YYYY-MM-DD HH:MM" (the minute counts whole), or, with
// an empty text, the newest usable run. -1 when there is none; -2 when the text is not a
// valid minute.
qsizetype chooseRun(const QList<RestoreRun>& runs, const QString& minute);
// The successful runs that chooseRun(runs, minute) passed over to reach `chosen`, newest
// first: dated after it, and before the same limit, but not restorable (a damaged archive
// whose list of files is lost, say).
QList<RestoreRun> passedOver(const QList<RestoreRun>& runs, const RestoreRun& chosen, const QString& minute);
