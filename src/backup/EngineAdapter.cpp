#include "EngineAdapter.h"

#include "PathText.h"

#include <BackupEngine.h>

#include <QScopeGuard>

#include <algorithm>
#include <limits>

namespace engine = stowkeep::engine;

namespace {

// Paths keep any bytes that are not UTF-8 (PathText.h); other texts are UTF-8 anyway.
std::string utf8(const QString& text)
{
    return pathToBytes(text);
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

engine::RunInfo runInfo(const RestoreRun& run)
{
    engine::RunInfo info;
    info.id = run.id;
    info.archive = utf8(run.archive);
    info.startTime = run.start.toSecsSinceEpoch();
    info.endTime = info.startTime;
    info.kind = utf8(run.kind);
    info.result = run.result;
    info.files = run.files;
    info.folders = run.folders;
    info.bytes = run.bytes;
    info.verified = run.verified;
    info.restorable = run.restorable;
    info.note = utf8(run.note);
    return info;
}

engine::RestoreJob restoreJob(const RestoreRequest& request)
{
    engine::RestoreJob job;
    job.setBackupFolder(utf8(request.set.folder));
    job.setBackupSetName(utf8(request.set.name));
    job.setEncryptionPassword(utf8(request.password));
    job.setRun(runInfo(request.run));
    std::vector<std::string> paths;
    for (const QString& path : request.paths)
        paths.push_back(utf8(path));
    job.setPaths(std::move(paths));
    job.setTargetFolder(utf8(request.target));
    switch (request.existing) {
    case ExistingFiles::Skip: job.setExistingFiles(engine::ExistingFiles::Skip); break;
    case ExistingFiles::KeepBoth: job.setExistingFiles(engine::ExistingFiles::KeepBoth); break;
    case ExistingFiles::Replace: job.setExistingFiles(engine::ExistingFiles::Replace); break;
    }
    return job;
}

QString text(const std::string& value)
{
    return pathFromBytes(value);
}

QStringList texts(const std::vector<std::string>& values)
{
    QStringList list;
    list.reserve(static_cast<qsizetype>(values.size()));
    for (const std::string& value : values)
        list.append(text(value));
    return list;
}

QList<RestoreResult::Item> items(const std::vector<engine::RestoreItem>& values)
{
    QList<RestoreResult::Item> list;
    for (const engine::RestoreItem& item : values)
        list.append({text(item.path), text(item.detail)});
    return list;
}

void fillResult(RestoreResult& result, const engine::RestoreReport& report)
{
    result.target = text(report.target);
    result.restored = texts(report.restored);
    result.restoredAs = items(report.restoredAs);
    result.skipped = items(report.skipped);
    result.failed = items(report.failed);
    result.refused = items(report.refused);
    result.notInRun = texts(report.notInRun);
    result.files = report.files;
    result.folders = report.folders;
    result.bytes = report.bytes;
    result.authenticated = texts(report.authenticated);
    result.notAuthenticated = texts(report.notAuthenticated);
}

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

QString EngineAdapter::RunNotices()
{
    return QString::fromStdString(m_engine->LastRunNotices());
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

QList<BackupSet> EngineAdapter::RestorableSets()
{
    QList<BackupSet> sets;
    for (const engine::SetInFolder& set : m_engine->RestorableSets())
        sets.append({text(set.setName), text(set.folder)});
    return sets;
}

QList<RestoreRun> EngineAdapter::ListRuns(const BackupSet& set, const QString& password)
{
    engine::RestoreJob job;
    job.setBackupFolder(utf8(set.folder));
    job.setBackupSetName(utf8(set.name));
    job.setEncryptionPassword(utf8(password));
    std::vector<engine::RunInfo> runs;
    put([&] { runs = m_engine->ListRuns(job); });
    QList<RestoreRun> list;
    list.reserve(static_cast<qsizetype>(runs.size()));
    for (const engine::RunInfo& info : runs) {
        RestoreRun& run = list.emplace_back();
        run.id = info.id;
        run.archive = text(info.archive);
        run.start = QDateTime::fromSecsSinceEpoch(info.startTime);
        run.kind = text(info.kind);
        run.result = info.result;
        run.files = info.files;
        run.folders = info.folders;
        run.bytes = info.bytes;
        run.verified = info.verified;
        run.restorable = info.restorable;
        run.usable = info.usable();
        run.note = text(info.note);
    }
    return list;
}

QList<RestoreEntry> EngineAdapter::ListFiles(const RestoreRequest& request)
{
    // Never asks: the caller asks the user on its own thread and lists again.
    std::optional<std::string> locked;
    engine::RestoreControl control;
    control.askPassword = [&locked](const std::string& archive, bool) -> std::optional<std::string> {
        locked = archive;
        return std::nullopt;
    };
    std::vector<engine::ManifestRow> rows;
    try {
        rows = m_engine->ListFiles(restoreJob(request), control);
    } catch (const engine::EngineError& error) {
        if (locked)
            throw PasswordNeeded(text(*locked), error.what());
        throw EngineFailure(error.what());
    }
    QList<RestoreEntry> list;
    list.reserve(static_cast<qsizetype>(rows.size()));
    for (const engine::ManifestRow& row : rows) {
        RestoreEntry& entry = list.emplace_back();
        entry.path = text(row.path);
        entry.kind = row.kind == engine::ManifestKind::Directory ? RestoreEntry::Kind::Folder
                   : row.kind == engine::ManifestKind::Symlink  ? RestoreEntry::Kind::Link
                                                                : RestoreEntry::Kind::File;
        entry.size = row.size;
        entry.modified = QDateTime::fromMSecsSinceEpoch(row.mtimeNs / 1000000);
        entry.linkTarget = text(row.linkTarget);
    }
    return list;
}

IBackupEngine::PreparedRun EngineAdapter::prepareRestore(const RestoreRequest& request,
                                                         std::shared_ptr<RestoreResult> result)
{
    auto job = std::make_shared<engine::RestoreJob>(restoreJob(request));
    // Here, not when the restore starts: a cancel asked for in between is not lost.
    m_cancel = false;
    return [this, job, result] {
        if (m_running.exchange(true))
            throw EngineFailure("A backup is already running");
        const auto done = qScopeGuard([this] { m_running = false; });
        engine::RestoreControl control;
        control.cancel = &m_cancel;
        control.onProgress = [this](const engine::Progress& p) {
            if (m_onProgress)
                m_onProgress({p.filesDone, p.filesTotal, p.bytesDone, p.bytesTotal, 0, 0, text(p.currentFile)});
        };
        control.askPassword = [this](const std::string& archive, bool again) -> std::optional<std::string> {
            if (m_cancel || !m_onPassword)
                return std::nullopt;
            const std::optional<QString> answer = m_onPassword(text(archive), again);
            if (!answer)
                return std::nullopt;
            return utf8(*answer);
        };
        engine::RestoreReport report;
        const qint32 code = m_engine->Restore(*job, report, control);
        fillResult(*result, report);
        result->code = code;
        // Taken now: once the job has ended, the next one may be running.
        if (code != 0)
            result->text = text(m_engine->GetErrorText(0, code));
        return code;
    };
}

void EngineAdapter::setOnPassword(PasswordHandler handler)
{
    m_onPassword = std::move(handler);
}

void EngineAdapter::setWriteHook(std::function<int(quint64 bytes)> hook)
{
    if (hook)
        m_engine->setWriteFaultHook([hook = std::move(hook)](uint64_t bytes) { return hook(bytes); });
    else
        m_engine->setWriteFaultHook({});
}

qsizetype chooseRun(const QList<RestoreRun>& runs, const QString& minute)
{
    std::vector<engine::RunInfo> infos;
    infos.reserve(static_cast<size_t>(runs.size()));
    for (const RestoreRun& run : runs) {
        engine::RunInfo info = runInfo(run);
        info.startTime = run.start.toSecsSinceEpoch();
        infos.push_back(std::move(info));
    }
    std::optional<engine::RunInfo> chosen;
    if (minute.isEmpty()) {
        // Runs dated later than now were made while the clock was ahead: the newest is the
        // last one made before now, unless every one is dated later.
        chosen = engine::FindRunAt(infos, QDateTime::currentSecsSinceEpoch());
        if (!chosen)
            chosen = engine::FindNewestRun(infos);
    } else {
        const std::optional<int64_t> start = engine::ParseLocalMinute(utf8(minute));
        if (!start)
            return -2;
        chosen = engine::FindRunAt(infos, *start);
    }
    if (!chosen)
        return -1;
    for (qsizetype i = 0; i < runs.size(); ++i)
        if (runs[i].id == chosen->id && runs[i].archive == text(chosen->archive)
            && runs[i].start.toSecsSinceEpoch() == chosen->startTime)
            return i;
    return -1;
}

QList<RestoreRun> passedOver(const QList<RestoreRun>& runs, const RestoreRun& chosen, const QString& minute)
{
    const qint64 from = chosen.start.toSecsSinceEpoch();
    // The same limit as chooseRun's: the end of the minute asked for, or of the present one
    // (unless every run is dated later).
    qint64 limit = std::numeric_limits<qint64>::max();
    if (!minute.isEmpty()) {
        if (const std::optional<int64_t> start = engine::ParseLocalMinute(utf8(minute)))
            limit = *start + 60;
    } else if (const qint64 now = QDateTime::currentSecsSinceEpoch(); from < now + 60) {
        limit = now + 60;
    }
    QList<RestoreRun> over;
    for (const RestoreRun& run : runs) {
        const qint64 start = run.start.toSecsSinceEpoch();
        const bool succeeded = run.result == engine::Success || run.result == engine::SomeFilesUnreadable;
        if (succeeded && !run.restorable && start > from && start < limit)
            over.append(run);
    }
    std::sort(over.begin(), over.end(), [](const RestoreRun& a, const RestoreRun& b) { return a.start > b.start; });
    return over;
}
