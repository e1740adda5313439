#pragma once

#include <QObject>
#include <QString>

class IBackupEngine;
class JobRunner;
class ProfileView;
struct JobOutcome;

// "Run Profile": runs one profile's backup at once, whatever its schedule, through the job
// runner, and records its start time as the profile's last run when it has ended. The
// schedule stays as it was.
class ManualRun : public QObject
{
    Q_OBJECT

public:
    ManualRun(ProfileView& view, JobRunner& runner, IBackupEngine& engine, QObject* parent = nullptr);

    // Runs the profile of table entry `index`; `startText` is the time it starts.
    void start(int index, const QString& startText);

signals:
    // A box captioned "Error" with the text: the run was refused, or it failed.
    void errorBox(const QString& text);
    void succeeded(const QString& profile);
    // An unexpected error (the engine call itself, the store's write).
    void failed(const QString& error);

private:
    void finished(const QString& name, const QString& startText, const QString& lastRunBefore,
                  const JobOutcome& outcome);

    ProfileView& m_view;
    JobRunner& m_runner;
    IBackupEngine& m_engine;
};
