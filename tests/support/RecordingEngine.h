#pragma once

#include "backup/EngineInterface.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A stand-in for the backup engine that records what the program asks of it.
//
// Every call on the engine and on the objects it created is appended, in order, to one
// shared log as text. Objects are named by kind and a number counted from 1 in order of
// creation ("selection#1", "job#1"); the engine itself is "engine":
//
//   engine.CatalogFolder=/data/Stowkeep/Catalogs       a put: "<object>.<Property>=<value>"
//   engine.createFileSelection=selection#1              object creation, with the new name
//   selection#1.FilesToProcess=                         an empty value
//   selection#1.IncludeItem(/src/*,-1)                  an item call: "(<item>,<value>)"
//   job#1.Selection=selection#1                         the selection put by reference
//   job#1.VerifyAfterBackup=-1                          EngineTrue / EngineFalse as numbers
//   engine.RunJob(job#1)                                a run (its results: runResults())
//   engine.OnInsertMedia(Disk 2,2)=true                 the media handler, asked during a run
//   engine.GetErrorText(0,5)                            a lookup of an error text
//   engine.cancelRunningJob                             a cancel request
//
// calls() gives the whole log, callsOf("job#1") the calls on one object (full texts).
// lastValue("job#1", "CompressionLevel") gives the value most recently put (empty when none).
//
// Runs are made as the program makes them: prepared on the user-interface thread and run on
// the job runner's worker thread; the engine may be used from both (it locks its state).
//
// Scripting:
//   - queueRunResults({0, 5}): results of the next RunJob calls, in order; 0 once empty.
//   - queueMediaRequest("Disk 2", 2): the next RunJob asks the insert-media handler first;
//     its answers are in mediaAnswers().
//   - queueProgress({...}): the next RunJob reports these to the progress handler, in
//     order, after the media requests, each once the window's thread has seen the last.
//   - setDuringRun(fn): called inside every RunJob (after media requests and progress), on
//     the user-interface thread while the run waits for it, e.g. to click in the window; a
//     cancelRunningJob() in there, or before it was called, makes the run return
//     cancelledResult() (9 unless set).
//   - setHistory(set, folder, history): what LastRuns answers (nothing unless set).
//   - failOn(prefix): the next call whose log text starts with prefix throws EngineFailure
//     (with failureMessage()) instead of being carried out; the failing call is not logged.
//     E.g. failOn("job#2.BackupSetName=") or failOn("engine.createBackupJob").
//   - GetErrorText(reserved, code) returns "engine text for code <code>".
//   - setRunNotices(text): what RunNotices answers (nothing unless set).
//
// The log lives as long as any object of this engine, so objects may outlive the engine.
class RecordingEngine : public IBackupEngine
{
public:
    struct State;

    RecordingEngine();
    ~RecordingEngine() override;

    // IBackupEngine
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
    // The restore: a set has no runs here; the real engine's are tested with it.
    QList<BackupSet> RestorableSets() override { return {}; }
    QList<RestoreRun> ListRuns(const BackupSet& set, const QString& password) override;
    QList<RestoreEntry> ListFiles(const RestoreRequest& request) override;
    PreparedRun prepareRestore(const RestoreRequest& request, std::shared_ptr<RestoreResult> result) override;
    void setOnPassword(PasswordHandler handler) override;

    // The log.
    QStringList calls() const;
    QStringList callsOf(const QString& objectName) const;
    void clearCalls();
    QString lastValue(const QString& objectName, const QString& property) const;

    // Names of the objects, as the log shows them ("job#1"); "?" for a foreign object.
    static QString nameOf(const IBackupJob* job);
    static QString nameOf(const IFileSelection* selection);
    int selectionsCreated() const;
    int jobsCreated() const;

    // Runs.
    void queueRunResults(const QList<qint32>& results);
    void queueMediaRequest(const QString& mediaLabel, qint32 diskNumber);
    void queueProgress(const QList<JobProgress>& reports);
    void setHistory(const QString& setName, const QString& folder, const RunHistory& history);
    void setRunNotices(const QString& notices);
    void setDuringRun(std::function<void(IBackupJob& job)> action);
    void setCancelledResult(qint32 code);
    qint32 cancelledResult() const;
    QList<IBackupJob*> runJobs() const; // the job of every RunJob, in order
    QList<qint32> runResults() const;   // what each RunJob returned, in order
    QList<bool> mediaAnswers() const;
    bool hasInsertMediaHandler() const;
    bool isRunning() const;

    // Failures.
    void failOn(const QString& callPrefix);
    void setFailureMessage(const QString& message);
    QString failureMessage() const;

private:
    std::shared_ptr<State> m_state;
};
