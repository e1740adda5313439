#pragma once

#include "ScheduleRules.h"
#include "Timestamp.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <optional>

class IBackupEngine;
class JobRunner;
class ProfileView;
struct ProfileRecord;
struct JobOutcome;

// The schedule: once a second the rules are applied to every profile in list order, and
// what they ask for is carried out: a due profile's backup runs through the job runner, and
// the new last and next run times go to the table, the list and Profiles.ini. A tick that
// reaches a run goes on from there when the run has ended, with its own clock reading; no
// tick starts while a tick or any job is in progress.
class Schedule : public QObject
{
    Q_OBJECT

public:
    Schedule(ProfileView& view, JobRunner& runner, IBackupEngine& engine, QObject* parent = nullptr);

    void tick(const QDateTime& now, const TimestampSeparators& separators);
    // A tick waits for the end of its run.
    bool ticking() const { return m_tick.has_value(); }
    // While a tick waits for its run: whether another profile in the list is due at now
    // (one that gave way while it waited for its drive does not count).
    bool anotherProfileDue(const QDateTime& now, const TimestampSeparators& separators) const;
    // The run that the tick waits for is asked to give way (its drive is missing): if it
    // ends without a backup, it is no run, and the profile is due again at the next tick.
    void giveWay() { m_givingWay = true; }

signals:
    // A scheduled backup failed, or succeeded with a warning: the balloon's text.
    void runFailed(const QString& balloonText);
    void runWarned(const QString& balloonText);
    // A profile that its schedule cannot run (told once, and again after it was fixed).
    void notScheduled(const QString& balloonText);
    // An error ended the tick (a store write, the engine call itself).
    void tickFailed(const QString& error);

private:
    struct Tick
    {
        LocalDateTime now;
        QString text;
        TimestampSeparators separators;
        int rows = 0;
        int row = -1;   // the row being visited
        int index = -1; // where its profile is now
        QString name;
        QVector<ScheduleStep> steps;
        int nextStep = 0;
    };
    // What a run changes, and what it found before.
    struct Run
    {
        QString name;
        QString lastRun;
        QString nextRun;
        QString lastRunBefore;
        QString nextRunBefore;
    };

    // Carries out steps and rows until a run starts or the tick ends.
    void resume();
    void startRun(const ScheduleStep& step);
    void runFinished(const Run& run, const JobOutcome& outcome);
    void placeProfile(int index, const ScheduleStep& step);
    void rescheduleProfile(int index, const ScheduleStep& step);
    void fail(const std::exception& error);
    void checkStartingTime(const ProfileRecord& record);

    ProfileView& m_view;
    JobRunner& m_runner;
    IBackupEngine& m_engine;
    std::optional<Tick> m_tick;
    QSet<QString> m_toldUnscheduled;
    bool m_givingWay = false;
    QSet<QString> m_gaveWay; // due, but waiting for a drive
};
