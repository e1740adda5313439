#include "JobRunner.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <condition_variable>

// A question of the worker thread to the user-interface thread. It can be abandoned only
// while it waits to be asked: one that is being asked is answered.
struct JobRunner::UiCall
{
    enum class State { Waiting, Asking, Answered, Abandoned };
    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Waiting;
    bool answer = false;
};

JobRunner::JobRunner(IBackupEngine& engine, QObject* parent) : QObject(parent), m_engine(engine)
{
    setObjectName(QStringLiteral("JobRunner"));
    m_progressTimer = new QTimer(this);
    m_progressTimer->setSingleShot(true);
    connect(m_progressTimer, &QTimer::timeout, this, &JobRunner::deliverProgress);
    m_engine.setOnProgress([this](const JobProgress& progress) { reportProgress(progress); });
    m_engine.setOnInsertMedia([this](const QString& label, qint32 disk) {
        return askOnUiThread([this, label, disk] { return m_onInsertMedia ? m_onInsertMedia(label, disk) : false; });
    });
    m_engine.setOnPassword([this](const QString& archive, bool again) -> std::optional<QString> {
        auto answer = std::make_shared<std::optional<QString>>();
        const bool given = askOnUiThread([this, answer, archive, again] {
            if (m_current.job.askPassword)
                *answer = m_current.job.askPassword(archive, again);
            return answer->has_value();
        });
        return given ? *answer : std::nullopt;
    });
}

JobRunner::~JobRunner()
{
    // The program is ending: no completion is called any more.
    m_queue.clear();
    cancel();
    if (m_thread.joinable())
        m_thread.join();
    m_engine.setOnProgress({});
    m_engine.setOnInsertMedia({});
    m_engine.setOnPassword({});
}

void JobRunner::submitBackup(const QString& profile, IBackupJob& job, Done done)
{
    IBackupEngine* engine = &m_engine;
    IBackupJob* backupJob = &job;
    submit({Kind::Backup, profile, [engine, backupJob] { return Work(engine->prepareRun(*backupJob)); }, {}},
           std::move(done));
}

void JobRunner::submit(Job job, Done done)
{
    m_queue.push_back({std::move(job), std::move(done)});
    startNext();
}

void JobRunner::startNext()
{
    if (m_running || m_queue.empty())
        return;
    m_current = std::move(m_queue.front());
    m_queue.pop_front();
    m_running = true;
    ++m_jobNumber;
    m_progress = {};
    m_percent = 0;
    m_progressTimer->stop();
    m_sinceProgress.invalidate();
    {
        std::lock_guard lock(m_mutex);
        m_cancelRequested = false;
        m_latest = {};
        m_deliveryPending = false;
    }

    Work work;
    std::exception_ptr failure;
    try {
        work = m_current.job.prepare();
    } catch (...) {
        failure = std::current_exception();
    }
    emit jobStarted();
    m_thread = std::thread([this, work = std::move(work), failure] {
        qint32 code = 0;
        std::exception_ptr error = failure;
        if (!error) {
            try {
                code = work();
            } catch (...) {
                error = std::current_exception();
            }
        }
        QMetaObject::invokeMethod(this, [this, code, error] { finish(code, error); }, Qt::QueuedConnection);
    });
}

void JobRunner::finish(qint32 code, std::exception_ptr failure)
{
    m_thread.join();
    m_progressTimer->stop();
    JobOutcome outcome;
    outcome.code = code;
    outcome.failure = failure;
    outcome.profileSaved = m_current.profileSaved;
    {
        std::lock_guard lock(m_mutex);
        outcome.cancelled = m_cancelRequested && (code != 0 || failure);
    }
    if (code == 0 && !failure) {
        m_percent = 100;
        emit progressChanged();
    }
    m_running = false;
    const QString profile = m_current.job.profile;
    const Done done = std::move(m_current.done);
    emit jobFinished(profile, outcome);
    // The completion may open a box and wait for the user: a waiting job does not wait for
    // it, and with nothing to run the runner is idle meanwhile (the computer may sleep, the
    // schedule goes on in the box).
    startNext();
    if (!busy())
        emit idle();
    if (done)
        done(outcome);
}

void JobRunner::cancel()
{
    if (!m_running)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_cancelRequested = true;
        if (m_pendingCall) {
            std::lock_guard callLock(m_pendingCall->mutex);
            if (m_pendingCall->state == UiCall::State::Waiting) {
                m_pendingCall->state = UiCall::State::Abandoned;
                m_pendingCall->changed.notify_all();
            }
        }
    }
    m_engine.cancelRunningJob();
}

void JobRunner::cancelAll()
{
    std::deque<Queued> dropped;
    dropped.swap(m_queue);
    cancel();
    for (Queued& waiting : dropped) {
        if (!waiting.done)
            continue;
        JobOutcome outcome;
        outcome.started = false;
        outcome.cancelled = true;
        waiting.done(outcome);
    }
}

void JobRunner::noteProfileSaved(const QString& profile)
{
    if (m_running && m_current.job.profile == profile)
        m_current.profileSaved = true;
}

bool JobRunner::askOnUiThread(std::function<bool()> ask)
{
    auto call = std::make_shared<UiCall>();
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelRequested)
            return false;
        m_pendingCall = call;
    }
    QMetaObject::invokeMethod(
        this,
        [call, ask = std::move(ask)] {
            {
                std::lock_guard lock(call->mutex);
                if (call->state != UiCall::State::Waiting)
                    return;
                call->state = UiCall::State::Asking;
            }
            const bool answer = ask();
            std::lock_guard lock(call->mutex);
            call->answer = answer;
            call->state = UiCall::State::Answered;
            call->changed.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(call->mutex);
    call->changed.wait(lock, [&call] {
        return call->state == UiCall::State::Answered || call->state == UiCall::State::Abandoned;
    });
    const bool answer = call->state == UiCall::State::Answered && call->answer;
    lock.unlock();
    std::lock_guard runnerLock(m_mutex);
    m_pendingCall.reset();
    return answer;
}

void JobRunner::reportProgress(const JobProgress& progress)
{
    {
        std::lock_guard lock(m_mutex);
        m_latest = progress;
        if (m_deliveryPending)
            return;
        m_deliveryPending = true;
    }
    QMetaObject::invokeMethod(this, &JobRunner::deliverProgress, Qt::QueuedConnection);
}

void JobRunner::deliverProgress()
{
    if (!m_running)
        return;
    if (m_progressInterval > 0 && m_sinceProgress.isValid() && m_sinceProgress.elapsed() < m_progressInterval) {
        if (!m_progressTimer->isActive())
            m_progressTimer->start(int(m_progressInterval - m_sinceProgress.elapsed()));
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_progress = m_latest;
        m_deliveryPending = false;
    }
    // 100 % is for a run that has ended.
    m_percent = std::max(m_percent, std::min(99, percentOf(m_progress)));
    m_sinceProgress.start();
    emit progressChanged();
}

int JobRunner::percentOf(const JobProgress& p)
{
    const double total = double(p.bytesTotal) + double(p.bytesToCheck);
    if (total > 0) {
        const double done = double(std::min(p.bytesDone, p.bytesTotal)) + double(std::min(p.checkedBytes, p.bytesToCheck));
        return int(done * 100 / total);
    }
    if (p.filesTotal > 0)
        return int(std::min(p.filesDone, p.filesTotal) * 100 / p.filesTotal);
    return 0;
}
