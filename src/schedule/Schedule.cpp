#include "Schedule.h"

#include "app/DataFolder.h"
#include "backup/JobRunner.h"
#include "profiles/ProfileStore.h"
#include "profiles/ProfileView.h"

#include <algorithm>
#include <utility>

Schedule::Schedule(ProfileView& view, JobRunner& runner, IBackupEngine& engine, QObject* parent)
    : QObject(parent), m_view(view), m_runner(runner), m_engine(engine)
{
}

void Schedule::tick(const QDateTime& now, const TimestampSeparators& separators)
{
    // No tick starts inside a running one, nor while a job runs (one waiting in the media
    // prompt, say): the profiles it would have visited are picked up by the next tick.
    if (m_tick || m_runner.busy() || m_view.closing())
        return;
    Tick tick;
    tick.now = naiveLocal(now);
    tick.text = FormatTimestamp(tick.now, separators);
    tick.separators = separators;
    tick.rows = m_view.profileRows();
    m_tick = tick;
    resume();
}

void Schedule::resume()
{
    try {
        while (m_tick) {
            Tick& t = *m_tick;
            if (t.nextStep < t.steps.size() && t.index >= 0 && !m_view.closing()) {
                const ScheduleStep step = t.steps[t.nextStep++];
                switch (step.kind) {
                case StepKind::RunStep:
                    startRun(step);
                    return; // goes on in runFinished
                case StepKind::PlaceStep:
                    placeProfile(t.index, step);
                    break;
                case StepKind::RescheduleStep:
                    rescheduleProfile(t.index, step);
                    break;
                }
                t.index = m_view.rowOfProfile(t.name);
                continue;
            }
            // The next row. A save or delete during a run may have changed the list.
            ++t.row;
            ProfileTable& table = m_view.profiles();
            if (t.row >= t.rows || m_view.closing() || t.row >= m_view.profileRows()
                || t.row >= static_cast<int>(table.size())) {
                m_tick.reset();
                return;
            }
            const ProfileRecord& record = table[static_cast<size_t>(t.row)];
            t.name = record.Name;
            checkStartingTime(record);
            t.steps = EvaluateSchedule({record.FrequencyOption, record.FrequencyInterval, record.StartingTime,
                                        record.WeekDay, record.NextRun},
                                       t.now, t.separators);
            t.nextStep = 0;
            t.index = t.row;
        }
    } catch (const std::exception& error) {
        fail(error);
    }
}

void Schedule::startRun(const ScheduleStep& step)
{
    const Tick& t = *m_tick;
    ProfileRecord& record = m_view.profiles()[static_cast<size_t>(t.index)];
    const Run run{record.Name, t.text, FormatTimestamp(step.next, t.separators), record.LastRun, record.NextRun};
    // NextRun moves before the backup starts, so the running profile is never due twice.
    record.LastRun = run.lastRun;
    record.NextRun = run.nextRun;
    if (!record.Job)
        throw EngineFailure("The backup job of profile \"" + run.name.toStdString() + "\" could not be set up");
    m_runner.submitBackup(run.name, *record.Job,
                          [this, run](const JobOutcome& outcome) { runFinished(run, outcome); });
}

void Schedule::runFinished(const Run& run, const JobOutcome& outcome)
{
    try {
        // The engine call itself failed: the table keeps the new texts, the row and the
        // store the old ones, and the tick ends.
        if (outcome.failure)
            std::rethrow_exception(outcome.failure);
        // Cut short by the end of the program, or given way to another profile: not a run.
        const bool gaveWay = std::exchange(m_givingWay, false) && outcome.code != 0;
        const bool closing = (m_view.closing() || gaveWay) && outcome.code != 0;
        const bool cancelled = outcome.cancelled && outcome.code != 0;
        if (gaveWay)
            m_gaveWay.insert(run.name);
        else
            m_gaveWay.remove(run.name);
        if (outcome.code != 0 && !closing && !cancelled) {
            emit runFailed(u"Error backing up profile \"" + run.name + u"\". Error description: "
                           + m_engine.GetErrorText(0, outcome.code));
        } else if (outcome.code == 0) {
            // An earlier backup found damaged, old ones not deleted: the user is told.
            if (const QString notices = m_engine.RunNotices(); !notices.isEmpty())
                emit runWarned(u"Backup of profile \"" + run.name + u"\" finished with a warning: " + notices);
        }

        // The profiles may have been saved or deleted while the backup ran: find it again,
        // and write nothing for a profile that is gone (that would bring its section back).
        // A save of this profile started its schedule afresh, which the next tick places.
        const int index = m_view.rowOfProfile(run.name);
        if (index >= 0 && !outcome.profileSaved) {
            ProfileRecord& record = m_view.profiles()[static_cast<size_t>(index)];
            if (closing) {
                // The texts from before the run stay, so the next tick, or the next start,
                // catches it up.
                record.LastRun = run.lastRunBefore;
                record.NextRun = run.nextRunBefore;
            } else if (cancelled) {
                // Cancelled by the user: not a run, and the profile waits for its next time.
                record.LastRun = run.lastRunBefore;
                record.NextRun = run.nextRun;
                m_view.showNextRun(index, run.nextRun);
                ProfileStore(GetProfileStorePath()).writeString(run.name, QStringLiteral("NextRun"), run.nextRun);
            } else {
                // Another profile's save or delete reloaded the table with the texts from
                // before the run.
                record.LastRun = run.lastRun;
                record.NextRun = run.nextRun;
                m_view.showLastRun(index, run.lastRun);
                m_view.showNextRun(index, run.nextRun);
                ProfileStore(GetProfileStorePath())
                    .writeValues(run.name, {{QStringLiteral("LastRun"), run.lastRun},
                                            {QStringLiteral("NextRun"), run.nextRun}});
            }
        }
    } catch (const std::exception& error) {
        fail(error);
        return;
    }
    if (m_tick) {
        m_tick->index = m_view.rowOfProfile(run.name);
        resume();
    }
}

void Schedule::placeProfile(int index, const ScheduleStep& step)
{
    ProfileRecord& record = m_view.profiles()[static_cast<size_t>(index)];
    record.LastRun.clear();
    record.NextRun = FormatTimestamp(step.next, m_tick->separators);
    m_view.showLastRun(index, record.LastRun);
    m_view.showNextRun(index, record.NextRun);
    ProfileStore(GetProfileStorePath())
        .writeValues(record.Name, {{QStringLiteral("LastRun"), record.LastRun},
                                   {QStringLiteral("NextRun"), record.NextRun}});
}

void Schedule::rescheduleProfile(int index, const ScheduleStep& step)
{
    ProfileRecord& record = m_view.profiles()[static_cast<size_t>(index)];
    record.NextRun = FormatTimestamp(step.next, m_tick->separators);
    m_view.showNextRun(index, record.NextRun);
    ProfileStore(GetProfileStorePath()).writeString(record.Name, QStringLiteral("NextRun"), record.NextRun);
}

bool Schedule::anotherProfileDue(const QDateTime& now, const TimestampSeparators& separators) const
{
    if (!m_tick)
        return false;
    const LocalDateTime local = naiveLocal(now);
    const ProfileTable& table = m_view.profiles();
    const size_t rows = std::min(static_cast<size_t>(std::max(m_view.profileRows(), 0)), table.size());
    for (size_t row = 0; row < rows; ++row) {
        const ProfileRecord& record = table[row];
        if (record.Name == m_tick->name || m_gaveWay.contains(record.Name))
            continue;
        const QVector<ScheduleStep> steps = EvaluateSchedule(
            {record.FrequencyOption, record.FrequencyInterval, record.StartingTime, record.WeekDay, record.NextRun},
            local, separators);
        if (std::any_of(steps.begin(), steps.end(), [](const ScheduleStep& s) { return s.kind == StepKind::RunStep; }))
            return true;
    }
    return false;
}

// The form shows a time out of range as the nearest one it offers, so a profile that never
// runs would look fine there.
void Schedule::checkStartingTime(const ProfileRecord& record)
{
    const bool timed = record.FrequencyOption >= 3 && record.FrequencyOption <= 5;
    if (!timed || ParseStartingTime(record.StartingTime)) {
        m_toldUnscheduled.remove(record.Name);
        return;
    }
    if (m_toldUnscheduled.contains(record.Name))
        return;
    m_toldUnscheduled.insert(record.Name);
    emit notScheduled(u"Profile \"" + record.Name + u"\" does not run: its starting time \"" + record.StartingTime
                      + u"\" in Profiles.ini is not a time of day. Select it, set the starting time and click "
                        u"\"Save Profile\".");
}

void Schedule::fail(const std::exception& error)
{
    // The rows after the failing one wait for the next tick, which starts from the first.
    m_tick.reset();
    emit tickFailed(QString::fromUtf8(error.what()));
}
