#include "RecordingEngine.h"

#include <QCoreApplication>
#include <QHash>
#include <QThread>

#include <condition_variable>
#include <mutex>
#include <utility>

namespace {

// A during-run hook on its way to the user-interface thread. It can be abandoned (the run
// was cancelled) only while it waits: one that has begun is waited for.
struct PendingHook
{
    enum class State { Waiting, Running, Done, Abandoned };
    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Waiting;
};

} // namespace

struct RecordingEngine::State
{
    // Every member is guarded by this; the puts of the objects and the engine's calls nest.
    std::recursive_mutex mutex;
    QStringList log;
    QHash<QString, QString> lastValues; // "object.Property" -> value
    int selections = 0;
    int jobs = 0;

    QList<qint32> queuedResults;
    QList<QPair<QString, qint32>> mediaRequests;
    QList<JobProgress> progressReports;
    std::function<void(IBackupJob&)> duringRun;
    qint32 cancelledResult = 9;
    QList<IBackupJob*> runJobs;
    QList<qint32> runResults;
    QList<bool> mediaAnswers;
    InsertMediaHandler insertMedia;
    ProgressHandler onProgress;
    QHash<QString, RunHistory> histories; // "set|folder"
    QString runNotices;
    bool active = false; // prepared, and not ended yet
    bool running = false;
    bool cancelRequested = false;
    std::shared_ptr<PendingHook> pendingHook;

    QStringList failPrefixes;
    QString failureMessage = QStringLiteral("The backup engine failed.");

    // Throws instead when a failure was asked for on this call.
    void check(const QString& call)
    {
        for (qsizetype i = 0; i < failPrefixes.size(); ++i) {
            if (call.startsWith(failPrefixes.at(i))) {
                failPrefixes.removeAt(i);
                throw EngineFailure(failureMessage.toStdString());
            }
        }
    }

    void record(const QString& call)
    {
        std::lock_guard lock(mutex);
        check(call);
        log.append(call);
    }

    void put(const QString& object, const QString& property, const QString& value)
    {
        std::lock_guard lock(mutex);
        record(object + u'.' + property + u'=' + value);
        lastValues.insert(object + u'.' + property, value);
    }

    qint32 run(IBackupJob& job);
    void runHook(const std::function<void(IBackupJob&)>& hook, IBackupJob& job);
};

qint32 RecordingEngine::State::run(IBackupJob& job)
{
    std::unique_lock lock(mutex);
    try {
        record(u"engine.RunJob(" + nameOf(&job) + u')');
    } catch (...) {
        active = false;
        throw;
    }
    runJobs.append(&job);
    qint32 result = queuedResults.isEmpty() ? 0 : queuedResults.takeFirst();
    running = true;
    const auto requests = std::exchange(mediaRequests, {});
    const auto reports = std::exchange(progressReports, {});
    const InsertMediaHandler askForMedia = insertMedia;
    const ProgressHandler report = onProgress;
    const auto hook = duringRun;
    // The handlers and the hook may wait for the user-interface thread, which may call in.
    lock.unlock();
    for (const auto& [label, disk] : requests) {
        const bool inserted = askForMedia ? askForMedia(label, disk) : false;
        lock.lock();
        log.append(u"engine.OnInsertMedia(" + label + u',' + QString::number(disk) + u")="
                   + (inserted ? u"true" : u"false"));
        mediaAnswers.append(inserted);
        lock.unlock();
    }
    for (const JobProgress& progress : reports) {
        if (report)
            report(progress);
        // Each report reaches the window before the next: they come in that order.
        runHook([](IBackupJob&) {}, job);
    }
    if (hook)
        runHook(hook, job);
    lock.lock();
    if (cancelRequested)
        result = cancelledResult;
    running = false;
    active = false;
    cancelRequested = false;
    runResults.append(result);
    return result;
}

void RecordingEngine::State::runHook(const std::function<void(IBackupJob&)>& hook, IBackupJob& job)
{
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
        hook(job);
        return;
    }
    auto pending = std::make_shared<PendingHook>();
    {
        std::lock_guard lock(mutex);
        if (cancelRequested)
            return;
        pendingHook = pending;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [pending, hook, &job] {
            {
                std::lock_guard lock(pending->mutex);
                if (pending->state != PendingHook::State::Waiting)
                    return;
                pending->state = PendingHook::State::Running;
            }
            hook(job);
            std::lock_guard lock(pending->mutex);
            pending->state = PendingHook::State::Done;
            pending->changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock wait(pending->mutex);
    pending->changed.wait(wait, [&pending] {
        return pending->state == PendingHook::State::Done || pending->state == PendingHook::State::Abandoned;
    });
    wait.unlock();
    std::lock_guard lock(mutex);
    pendingHook.reset();
}

namespace {

class RecordingFileSelection : public IFileSelection
{
public:
    RecordingFileSelection(std::shared_ptr<RecordingEngine::State> state, QString name)
        : m_state(std::move(state)), m_name(std::move(name))
    {
    }

    const QString& name() const { return m_name; }

    void putFilesToExclude(const QString& value) override
    {
        m_state->put(m_name, QStringLiteral("FilesToExclude"), value);
    }
    void putFilesToProcess(const QString& value) override
    {
        m_state->put(m_name, QStringLiteral("FilesToProcess"), value);
    }
    void ExcludeItem(const QString& item, qint32 value) override
    {
        m_state->record(m_name + u".ExcludeItem(" + item + u',' + QString::number(value) + u')');
    }
    void IncludeItem(const QString& item, qint32 value) override
    {
        m_state->record(m_name + u".IncludeItem(" + item + u',' + QString::number(value) + u')');
    }

private:
    std::shared_ptr<RecordingEngine::State> m_state;
    QString m_name;
};

class RecordingBackupJob : public IBackupJob
{
public:
    RecordingBackupJob(std::shared_ptr<RecordingEngine::State> state, QString name)
        : m_state(std::move(state)), m_name(std::move(name))
    {
    }

    const QString& name() const { return m_name; }

    void putBackupFolder(const QString& value) override { put(u"BackupFolder", value); }
    void putBackupSetName(const QString& value) override { put(u"BackupSetName", value); }
    void putBackupType(qint32 value) override { put(u"BackupType", QString::number(value)); }
    void putCompressionLevel(qint32 value) override
    {
        put(u"CompressionLevel", QString::number(value));
    }
    void putEncryptionPassword(const QString& value) override
    {
        put(u"EncryptionPassword", value);
    }
    void putRetentionPeriod(qint32 hours) override
    {
        put(u"RetentionPeriod", QString::number(hours));
    }
    void putSelection(IFileSelection& selection) override
    {
        put(u"Selection", RecordingEngine::nameOf(&selection));
    }
    void putVerifyAfterBackup(EngineBool value) override
    {
        put(u"VerifyAfterBackup", QString::number(value));
    }

private:
    void put(const char16_t* property, const QString& value)
    {
        m_state->put(m_name, QString::fromUtf16(property), value);
    }

    std::shared_ptr<RecordingEngine::State> m_state;
    QString m_name;
};

} // namespace

RecordingEngine::RecordingEngine()
    : m_state(std::make_shared<State>())
{
}

RecordingEngine::~RecordingEngine() = default;

void RecordingEngine::putCatalogFolder(const QString& value)
{
    std::lock_guard lock(m_state->mutex);
    m_state->put(QStringLiteral("engine"), QStringLiteral("CatalogFolder"), value);
}

void RecordingEngine::putLogFolder(const QString& value)
{
    std::lock_guard lock(m_state->mutex);
    m_state->put(QStringLiteral("engine"), QStringLiteral("LogFolder"), value);
}

void RecordingEngine::putLogDetailLevel(qint32 value)
{
    std::lock_guard lock(m_state->mutex);
    m_state->put(QStringLiteral("engine"), QStringLiteral("LogDetailLevel"), QString::number(value));
}

std::unique_ptr<IFileSelection> RecordingEngine::createFileSelection()
{
    std::lock_guard lock(m_state->mutex);
    const QString name = u"selection#" + QString::number(m_state->selections + 1);
    m_state->record(u"engine.createFileSelection=" + name);
    ++m_state->selections;
    return std::make_unique<RecordingFileSelection>(m_state, name);
}

std::unique_ptr<IBackupJob> RecordingEngine::createBackupJob()
{
    std::lock_guard lock(m_state->mutex);
    const QString name = u"job#" + QString::number(m_state->jobs + 1);
    m_state->record(u"engine.createBackupJob=" + name);
    ++m_state->jobs;
    return std::make_unique<RecordingBackupJob>(m_state, name);
}

IBackupEngine::PreparedRun RecordingEngine::prepareRun(IBackupJob& job)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->active = true;
        m_state->cancelRequested = false;
    }
    return [state = m_state, &job] { return state->run(job); };
}

QString RecordingEngine::GetErrorText(qint32 reserved, qint32 code)
{
    std::lock_guard lock(m_state->mutex);
    m_state->record(u"engine.GetErrorText(" + QString::number(reserved) + u','
                    + QString::number(code) + u')');
    return u"engine text for code " + QString::number(code);
}

void RecordingEngine::setOnInsertMedia(InsertMediaHandler handler)
{
    std::lock_guard lock(m_state->mutex);
    m_state->insertMedia = std::move(handler);
}

void RecordingEngine::setOnProgress(ProgressHandler handler)
{
    std::lock_guard lock(m_state->mutex);
    m_state->onProgress = std::move(handler);
}

void RecordingEngine::cancelRunningJob()
{
    std::lock_guard lock(m_state->mutex);
    m_state->record(QStringLiteral("engine.cancelRunningJob"));
    if (!m_state->active)
        return;
    m_state->cancelRequested = true;
    if (const auto& hook = m_state->pendingHook) {
        std::lock_guard hookLock(hook->mutex);
        if (hook->state == PendingHook::State::Waiting) {
            hook->state = PendingHook::State::Abandoned;
            hook->changed.notify_all();
        }
    }
}

QList<RunHistory> RecordingEngine::LastRuns(const QList<BackupSet>& sets)
{
    std::lock_guard lock(m_state->mutex);
    QList<RunHistory> histories;
    for (const BackupSet& set : sets)
        histories << m_state->histories.value(set.name + u'|' + set.folder);
    return histories;
}

void RecordingEngine::setRunNotices(const QString& notices)
{
    std::lock_guard lock(m_state->mutex);
    m_state->runNotices = notices;
}

QString RecordingEngine::RunNotices()
{
    std::lock_guard lock(m_state->mutex);
    return m_state->runNotices;
}

void RecordingEngine::setHistory(const QString& setName, const QString& folder, const RunHistory& history)
{
    std::lock_guard lock(m_state->mutex);
    m_state->histories.insert(setName + u'|' + folder, history);
}

void RecordingEngine::queueProgress(const QList<JobProgress>& reports)
{
    std::lock_guard lock(m_state->mutex);
    m_state->progressReports.append(reports);
}

QStringList RecordingEngine::calls() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->log;
}

QStringList RecordingEngine::callsOf(const QString& objectName) const
{
    std::lock_guard lock(m_state->mutex);
    const QString prefix = objectName + u'.';
    QStringList result;
    for (const QString& call : m_state->log) {
        if (call.startsWith(prefix))
            result.append(call);
    }
    return result;
}

void RecordingEngine::clearCalls()
{
    std::lock_guard lock(m_state->mutex);
    m_state->log.clear();
}

QString RecordingEngine::lastValue(const QString& objectName, const QString& property) const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->lastValues.value(objectName + u'.' + property);
}

QString RecordingEngine::nameOf(const IBackupJob* job)
{
    const auto* recording = dynamic_cast<const RecordingBackupJob*>(job);
    return recording ? recording->name() : QStringLiteral("?");
}

QString RecordingEngine::nameOf(const IFileSelection* selection)
{
    const auto* recording = dynamic_cast<const RecordingFileSelection*>(selection);
    return recording ? recording->name() : QStringLiteral("?");
}

int RecordingEngine::selectionsCreated() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->selections;
}

int RecordingEngine::jobsCreated() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->jobs;
}

void RecordingEngine::queueRunResults(const QList<qint32>& results)
{
    std::lock_guard lock(m_state->mutex);
    m_state->queuedResults.append(results);
}

void RecordingEngine::queueMediaRequest(const QString& mediaLabel, qint32 diskNumber)
{
    std::lock_guard lock(m_state->mutex);
    m_state->mediaRequests.append({mediaLabel, diskNumber});
}

void RecordingEngine::setDuringRun(std::function<void(IBackupJob& job)> action)
{
    std::lock_guard lock(m_state->mutex);
    m_state->duringRun = std::move(action);
}

void RecordingEngine::setCancelledResult(qint32 code)
{
    std::lock_guard lock(m_state->mutex);
    m_state->cancelledResult = code;
}

qint32 RecordingEngine::cancelledResult() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->cancelledResult;
}

QList<IBackupJob*> RecordingEngine::runJobs() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->runJobs;
}

QList<qint32> RecordingEngine::runResults() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->runResults;
}

QList<bool> RecordingEngine::mediaAnswers() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->mediaAnswers;
}

bool RecordingEngine::hasInsertMediaHandler() const
{
    std::lock_guard lock(m_state->mutex);
    return static_cast<bool>(m_state->insertMedia);
}

bool RecordingEngine::isRunning() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->running;
}

void RecordingEngine::failOn(const QString& callPrefix)
{
    std::lock_guard lock(m_state->mutex);
    m_state->failPrefixes.append(callPrefix);
}

void RecordingEngine::setFailureMessage(const QString& message)
{
    std::lock_guard lock(m_state->mutex);
    m_state->failureMessage = message;
}

QString RecordingEngine::failureMessage() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->failureMessage;
}

QList<RestoreRun> RecordingEngine::ListRuns(const BackupSet& set, const QString& /*password*/)
{
    m_state->record(u"engine.ListRuns(" + set.name + u')');
    return {};
}

QList<RestoreEntry> RecordingEngine::ListFiles(const RestoreRequest& /*request*/)
{
    throw EngineFailure("The recording engine has no runs to list.");
}

IBackupEngine::PreparedRun RecordingEngine::prepareRestore(const RestoreRequest& /*request*/,
                                                           std::shared_ptr<RestoreResult> /*result*/)
{
    throw EngineFailure("The recording engine does not restore.");
}

void RecordingEngine::setOnPassword(PasswordHandler /*handler*/) {}
