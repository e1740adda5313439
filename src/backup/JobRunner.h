#pragma once

#include "EngineInterface.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QTimer;

// How a job ended.
struct JobOutcome
{
    qint32 code = 0;
    bool started = true;       // false: dropped from the queue before it started
    bool cancelled = false;    // stopped because it was asked to (the code says how it ended)
    bool profileSaved = false; // its profile was saved while it ran
    std::exception_ptr failure; // the engine call itself failed: there is no code
};

// Runs the program's backups (and restores) one at a time on a worker thread of its own,
// while the windows stay responsive. A job submitted while another runs waits for it. The
// runner hands the engine's progress to the user-interface thread (at most a few times a
// second), brings the engine's media question there to be asked, and cancels on request.
// Every signal and every completion comes on the user-interface thread.
class JobRunner : public QObject
{
    Q_OBJECT

public:
    enum class Kind { Backup, Restore };
    // The job's work on the worker thread; returns the engine's result code.
    using Work = std::function<qint32()>;
    using Done = std::function<void(const JobOutcome& outcome)>;
    struct Job
    {
        Kind kind = Kind::Backup;
        QString profile;
        // Called on the user-interface thread when the job starts: takes what the work
        // needs (the job's values as they are then) and returns the work.
        std::function<Work()> prepare;
        // A restore's question for an archive's password, asked on the user-interface
        // thread while the job waits (none: the question gets no answer).
        IBackupEngine::PasswordHandler askPassword;
    };

    // Takes over the engine's media, password and progress handlers for as long as it lives.
    explicit JobRunner(IBackupEngine& engine, QObject* parent = nullptr);
    // Cancels what runs and waits for it; no completion is called.
    ~JobRunner() override;

    // A backup of the job's values at the time it starts.
    void submitBackup(const QString& profile, IBackupJob& job, Done done);
    void submit(Job job, Done done);
    // Asks the running job to stop; it ends with the engine's "cancelled" code (or finishes
    // if it was about to).
    void cancel();
    // Cancels the running job and drops the waiting ones (their completion says so).
    void cancelAll();
    // The profile was saved: a job of it that runs now finishes with profileSaved.
    void noteProfileSaved(const QString& profile);

    bool busy() const { return m_running || !m_queue.empty(); }
    // The running job waits for the user's answer to its question (a drive, a password).
    bool askingUser()
    {
        std::lock_guard lock(m_mutex);
        return m_pendingCall != nullptr;
    }
    // The running job was asked to stop and has not returned yet.
    bool cancelling()
    {
        std::lock_guard lock(m_mutex);
        return m_running && m_cancelRequested;
    }
    bool running() const { return m_running; }
    Kind runningKind() const { return m_current.job.kind; }
    // Counts the jobs started, so that a question about one is not taken for the next.
    quint64 jobNumber() const { return m_jobNumber; }
    const QString& runningProfile() const { return m_current.job.profile; }
    // The running job's progress, and its share done in percent: never lower than before
    // within one run, and 100 only once it has ended successfully.
    const JobProgress& progress() const { return m_progress; }
    int percent() const { return m_percent; }

    // Answers the engine's media question; called on the user-interface thread.
    void setOnInsertMedia(IBackupEngine::InsertMediaHandler handler) { m_onInsertMedia = std::move(handler); }
    // The shortest time between two progressChanged signals (250 ms unless set).
    void setProgressInterval(int milliseconds) { m_progressInterval = milliseconds; }

signals:
    void jobStarted();
    void progressChanged();
    // Before the job's own completion is called, and before the next job starts.
    void jobFinished(const QString& profile, const JobOutcome& outcome);
    // Nothing runs and nothing waits any more; comes before the completion of the job that
    // ended last (which may submit another).
    void idle();

private:
    struct Queued
    {
        Job job;
        Done done;
        bool profileSaved = false;
    };
    struct UiCall;

    void startNext();
    void finish(qint32 code, std::exception_ptr failure);
    // Worker thread: runs `ask` on the user-interface thread and waits for its answer;
    // false when the job is cancelled before it was asked.
    bool askOnUiThread(std::function<bool()> ask);
    void reportProgress(const JobProgress& progress); // worker thread
    void deliverProgress();
    static int percentOf(const JobProgress& progress);

    IBackupEngine& m_engine;
    IBackupEngine::InsertMediaHandler m_onInsertMedia;
    std::deque<Queued> m_queue;
    Queued m_current;
    bool m_running = false;
    quint64 m_jobNumber = 0;
    std::thread m_thread;

    // Shared with the worker thread.
    std::mutex m_mutex;
    bool m_cancelRequested = false;
    std::shared_ptr<UiCall> m_pendingCall;
    JobProgress m_latest;
    bool m_deliveryPending = false;

    JobProgress m_progress;
    int m_percent = 0;
    int m_progressInterval = 250;
    QElapsedTimer m_sinceProgress;
    QTimer* m_progressTimer = nullptr;
};
