#include "RecordingEngine.h"

#include <QHash>

#include <utility>

struct RecordingEngine::State
{
    QStringList log;
    QHash<QString, QString> lastValues; // "object.Property" -> value
    int selections = 0;
    int jobs = 0;

    QList<qint32> queuedResults;
    QList<QPair<QString, qint32>> mediaRequests;
    std::function<void(IBackupJob&)> duringRun;
    qint32 cancelledResult = 9;
    QList<IBackupJob*> runJobs;
    QList<qint32> runResults;
    QList<bool> mediaAnswers;
    InsertMediaHandler insertMedia;
    int running = 0;
    bool cancelRequested = false;

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
        check(call);
        log.append(call);
    }

    void put(const QString& object, const QString& property, const QString& value)
    {
        record(object + u'.' + property + u'=' + value);
        lastValues.insert(object + u'.' + property, value);
    }
};

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
    m_state->put(QStringLiteral("engine"), QStringLiteral("CatalogFolder"), value);
}

void RecordingEngine::putLogFolder(const QString& value)
{
    m_state->put(QStringLiteral("engine"), QStringLiteral("LogFolder"), value);
}

void RecordingEngine::putLogDetailLevel(qint32 value)
{
    m_state->put(QStringLiteral("engine"), QStringLiteral("LogDetailLevel"), QString::number(value));
}

std::unique_ptr<IFileSelection> RecordingEngine::createFileSelection()
{
    const QString name = u"selection#" + QString::number(m_state->selections + 1);
    m_state->record(u"engine.createFileSelection=" + name);
    ++m_state->selections;
    return std::make_unique<RecordingFileSelection>(m_state, name);
}

std::unique_ptr<IBackupJob> RecordingEngine::createBackupJob()
{
    const QString name = u"job#" + QString::number(m_state->jobs + 1);
    m_state->record(u"engine.createBackupJob=" + name);
    ++m_state->jobs;
    return std::make_unique<RecordingBackupJob>(m_state, name);
}

qint32 RecordingEngine::RunJob(IBackupJob& job)
{
    State& state = *m_state;
    state.record(u"engine.RunJob(" + nameOf(&job) + u')');
    state.runJobs.append(&job);
    qint32 result = state.queuedResults.isEmpty() ? 0 : state.queuedResults.takeFirst();

    // A run started inside another one (a re-entrant tick) has its own cancel request.
    const bool outerCancelRequested = std::exchange(state.cancelRequested, false);
    ++state.running;
    const auto requests = std::exchange(state.mediaRequests, {});
    for (const auto& [label, disk] : requests) {
        const bool inserted = state.insertMedia ? state.insertMedia(label, disk) : false;
        state.log.append(u"engine.OnInsertMedia(" + label + u',' + QString::number(disk) + u")="
                         + (inserted ? u"true" : u"false"));
        state.mediaAnswers.append(inserted);
    }
    if (state.duringRun)
        state.duringRun(job);
    const bool cancelled = state.cancelRequested;
    if (cancelled)
        result = state.cancelledResult;
    --state.running;
    state.cancelRequested = outerCancelRequested || cancelled;

    state.runResults.append(result);
    return result;
}

QString RecordingEngine::GetErrorText(qint32 reserved, qint32 code)
{
    m_state->record(u"engine.GetErrorText(" + QString::number(reserved) + u','
                    + QString::number(code) + u')');
    return u"engine text for code " + QString::number(code);
}

void RecordingEngine::setOnInsertMedia(InsertMediaHandler handler)
{
    m_state->insertMedia = std::move(handler);
}

void RecordingEngine::cancelRunningJob()
{
    m_state->record(QStringLiteral("engine.cancelRunningJob"));
    if (m_state->running > 0)
        m_state->cancelRequested = true;
}

QStringList RecordingEngine::calls() const
{
    return m_state->log;
}

QStringList RecordingEngine::callsOf(const QString& objectName) const
{
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
    m_state->log.clear();
}

QString RecordingEngine::lastValue(const QString& objectName, const QString& property) const
{
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
    return m_state->selections;
}

int RecordingEngine::jobsCreated() const
{
    return m_state->jobs;
}

void RecordingEngine::queueRunResults(const QList<qint32>& results)
{
    m_state->queuedResults.append(results);
}

void RecordingEngine::queueMediaRequest(const QString& mediaLabel, qint32 diskNumber)
{
    m_state->mediaRequests.append({mediaLabel, diskNumber});
}

void RecordingEngine::setDuringRun(std::function<void(IBackupJob& job)> action)
{
    m_state->duringRun = std::move(action);
}

void RecordingEngine::setCancelledResult(qint32 code)
{
    m_state->cancelledResult = code;
}

qint32 RecordingEngine::cancelledResult() const
{
    return m_state->cancelledResult;
}

QList<IBackupJob*> RecordingEngine::runJobs() const
{
    return m_state->runJobs;
}

QList<qint32> RecordingEngine::runResults() const
{
    return m_state->runResults;
}

QList<bool> RecordingEngine::mediaAnswers() const
{
    return m_state->mediaAnswers;
}

bool RecordingEngine::hasInsertMediaHandler() const
{
    return static_cast<bool>(m_state->insertMedia);
}

bool RecordingEngine::isRunning() const
{
    return m_state->running > 0;
}

void RecordingEngine::failOn(const QString& callPrefix)
{
    m_state->failPrefixes.append(callPrefix);
}

void RecordingEngine::setFailureMessage(const QString& message)
{
    m_state->failureMessage = message;
}

QString RecordingEngine::failureMessage() const
{
    return m_state->failureMessage;
}
