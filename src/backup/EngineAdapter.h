#pragma once

#include "EngineInterface.h"

#include <atomic>
#include <memory>

namespace stowkeep::engine {
class BackupEngine;
}

// The real backup engine behind the program's interface. RunJob runs the backup on a
// worker thread and waits in a local event loop, so the windows stay responsive and the
// program can end (cancelling the backup) while it runs; the media question is asked on
// the calling thread.
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

    qint32 RunJob(IBackupJob& job) override;
    QString GetErrorText(qint32 reserved, qint32 code) override;
    void setOnInsertMedia(InsertMediaHandler handler) override;
    void cancelRunningJob() override;

private:
    std::unique_ptr<stowkeep::engine::BackupEngine> m_engine;
    InsertMediaHandler m_onInsertMedia;
    std::atomic<bool> m_cancel{false};
    bool m_running = false;
};
