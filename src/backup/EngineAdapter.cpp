#include "EngineAdapter.h"

#include <BackupEngine.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <thread>

namespace engine = stowkeep::engine;

namespace {

std::string utf8(const QString& text)
{
    return text.toStdString();
}

// Runs one engine call and turns its refusal into the program's failure.
template <typename Call>
void put(Call&& call)
{
    try {
        call();
    } catch (const engine::EngineError& error) {
        throw EngineFailure(error.what());
    }
}

class Selection : public IFileSelection
{
public:
    void putFilesToExclude(const QString& value) override
    {
        put([&] { selection.setFilesToExclude(utf8(value)); });
    }
    void putFilesToProcess(const QString& value) override
    {
        put([&] { selection.setFilesToProcess(utf8(value)); });
    }
    void ExcludeItem(const QString& item, qint32 value) override
    {
        put([&] { selection.ExcludeItem(utf8(item), value); });
    }
    void IncludeItem(const QString& item, qint32 value) override
    {
        put([&] { selection.IncludeItem(utf8(item), value); });
    }

    engine::FileSelection selection;
};

class Job : public IBackupJob
{
public:
    void putBackupFolder(const QString& value) override { job.setBackupFolder(utf8(value)); }
    void putBackupSetName(const QString& value) override { job.setBackupSetName(utf8(value)); }
    void putBackupType(qint32 value) override { put([&] { job.setBackupType(value); }); }
    void putCompressionLevel(qint32 value) override { put([&] { job.setCompressionLevel(value); }); }
    void putEncryptionPassword(const QString& value) override { job.setEncryptionPassword(utf8(value)); }
    void putRetentionPeriod(qint32 hours) override { job.setRetentionPeriod(hours); }
    void putSelection(IFileSelection& value) override
    {
        selection = &dynamic_cast<Selection&>(value).selection;
        job.setSelection(selection);
    }
    void putVerifyAfterBackup(EngineBool value) override { job.setVerifyAfterBackup(value != EngineFalse); }

    engine::BackupJob job;
    const engine::FileSelection* selection = nullptr;
};

} // namespace

EngineAdapter::EngineAdapter() : m_engine(std::make_unique<engine::BackupEngine>()) {}

EngineAdapter::~EngineAdapter() = default;

void EngineAdapter::putCatalogFolder(const QString& value)
{
    put([&] { m_engine->setCatalogFolder(utf8(value)); });
}

void EngineAdapter::putLogFolder(const QString& value)
{
    put([&] { m_engine->setLogFolder(utf8(value)); });
}

void EngineAdapter::putLogDetailLevel(qint32 value)
{
    put([&] { m_engine->setLogDetailLevel(value); });
}

std::unique_ptr<IFileSelection> EngineAdapter::createFileSelection()
{
    return std::make_unique<Selection>();
}

std::unique_ptr<IBackupJob> EngineAdapter::createBackupJob()
{
    return std::make_unique<Job>();
}

qint32 EngineAdapter::RunJob(IBackupJob& job)
{
    if (m_running)
        throw EngineFailure("A backup is already running");
    // The worker gets its own copy of the job: the profiles may be reloaded meanwhile.
    auto& source = dynamic_cast<Job&>(job);
    engine::BackupJob snapshot = source.job;
    engine::FileSelection selection;
    if (source.selection)
        selection = *source.selection;
    snapshot.setSelection(source.selection ? &selection : nullptr);

    m_running = true;
    m_cancel = false;
    QEventLoop loop;
    std::atomic<bool> done{false};
    qint32 result = engine::CatalogFailure;

    m_engine->OnInsertMedia = [this, &loop](const std::string& label, int32_t disk) {
        bool inserted = false;
        if (m_cancel)
            return false;
        QMetaObject::invokeMethod(
            &loop,
            [&] {
                if (m_onInsertMedia)
                    inserted = m_onInsertMedia(QString::fromStdString(label), disk);
            },
            Qt::BlockingQueuedConnection);
        return inserted;
    };

    engine::RunControl control;
    control.cancel = &m_cancel;
    std::thread worker([&] {
        result = m_engine->RunJob(snapshot, control);
        done = true;
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    while (!done) {
        // exec() refuses to run once the application is ending; keep serving events then.
        if (loop.exec() < 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    worker.join();
    // Deliver the queued quit (it refers to the loop) before the loop goes away.
    QCoreApplication::sendPostedEvents(&loop);
    m_engine->OnInsertMedia = nullptr;
    m_running = false;
    return result;
}

QString EngineAdapter::GetErrorText(qint32 reserved, qint32 code)
{
    return QString::fromStdString(m_engine->GetErrorText(reserved, code));
}

void EngineAdapter::setOnInsertMedia(InsertMediaHandler handler)
{
    m_onInsertMedia = std::move(handler);
}

void EngineAdapter::cancelRunningJob()
{
    m_cancel = true;
}
