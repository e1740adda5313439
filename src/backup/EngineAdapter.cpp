#include "EngineAdapter.h"

#include <BackupEngine.h>

#include <QScopeGuard>

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

EngineAdapter::EngineAdapter() : m_engine(std::make_unique<engine::BackupEngine>())
{
    m_engine->OnInsertMedia = [this](const std::string& label, int32_t disk) {
        // A run being cancelled asks nobody.
        if (m_cancel || !m_onInsertMedia)
            return false;
        return m_onInsertMedia(QString::fromStdString(label), disk);
    };
}

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

IBackupEngine::PreparedRun EngineAdapter::prepareRun(IBackupJob& job)
{
    // The run gets its own copy of the job: the profiles may be reloaded meanwhile.
    struct Snapshot
    {
        engine::BackupJob job;
        engine::FileSelection selection;
    };
    auto& source = dynamic_cast<Job&>(job);
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->job = source.job;
    if (source.selection)
        snapshot->selection = *source.selection;
    snapshot->job.setSelection(source.selection ? &snapshot->selection : nullptr);
    // Here, not when the run starts: a cancel asked for in between is not lost.
    m_cancel = false;

    return [this, snapshot] {
        if (m_running.exchange(true))
            throw EngineFailure("A backup is already running");
        const auto done = qScopeGuard([this] { m_running = false; });
        engine::RunControl control;
        control.cancel = &m_cancel;
        control.onProgress = [this](const engine::Progress& p) {
            if (!m_onProgress)
                return;
            m_onProgress({p.filesDone, p.filesTotal, p.bytesDone, p.bytesTotal, p.checkedBytes, p.bytesToCheck,
                          QString::fromStdString(p.currentFile)});
        };
        return m_engine->RunJob(snapshot->job, control);
    };
}

QString EngineAdapter::GetErrorText(qint32 reserved, qint32 code)
{
    return QString::fromStdString(m_engine->GetErrorText(reserved, code));
}

void EngineAdapter::setOnInsertMedia(InsertMediaHandler handler)
{
    m_onInsertMedia = std::move(handler);
}

void EngineAdapter::setOnProgress(ProgressHandler handler)
{
    m_onProgress = std::move(handler);
}

void EngineAdapter::cancelRunningJob()
{
    m_cancel = true;
}

QList<RunHistory> EngineAdapter::LastRuns(const QList<BackupSet>& sets)
{
    std::vector<engine::SetInFolder> asked;
    asked.reserve(static_cast<size_t>(sets.size()));
    for (const BackupSet& set : sets)
        asked.push_back({utf8(set.name), utf8(set.folder)});
    auto summary = [](const engine::RunRecord& run) {
        RunSummary s;
        s.start = QDateTime::fromSecsSinceEpoch(run.startTime);
        s.result = run.result;
        s.files = run.files;
        s.bytes = run.bytes;
        s.verified = run.verified;
        s.failure = QString::fromStdString(run.failure);
        return s;
    };
    QList<RunHistory> histories;
    for (const engine::RunOverview& overview : m_engine->LastRuns(std::move(asked))) {
        RunHistory& history = histories.emplace_back();
        if (overview.latest)
            history.latest = summary(*overview.latest);
        if (overview.latestSuccessful) {
            history.latestSuccessful = summary(*overview.latestSuccessful);
            history.latestSuccessful->files = overview.successfulFiles;
            if (overview.latest->id == overview.latestSuccessful->id)
                history.latest = history.latestSuccessful;
        }
        if (overview.firstStart != 0)
            history.firstStart = QDateTime::fromSecsSinceEpoch(overview.firstStart);
    }
    return histories;
}
