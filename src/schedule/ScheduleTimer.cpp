#include "app/DataFolder.h"
#include "app/TFrmMain.h"
#include "profiles/ProfileStore.h"

#include <QScopeGuard>
#include <QTreeWidget>

void TFrmMain::TimerScheduleTimer()
{
    // No tick starts inside a running one, nor while a backup runs (one waiting in the media
    // prompt, say): the profiles it would have visited are picked up by the next tick. Boxes
    // and dialogs of the program do not hold the schedule up.
    if (m_inTick || m_jobRunning || CloseAllowed)
        return;
    m_inTick = true;
    const auto tickDone = qScopeGuard([this] { m_inTick = false; });

    const LocalDateTime now = naiveLocal(m_clock());
    const QString tickText = FormatTimestamp(now, m_separators);
    const int rows = LvwProfiles->topLevelItemCount();
    for (int i = 0; i < rows; ++i) {
        // A save or delete during a backup may have changed the list under us.
        if (CloseAllowed || i >= LvwProfiles->topLevelItemCount()
            || i >= static_cast<int>(m_profileTable.size()))
            return;
        const ProfileRecord& record = m_profileTable[static_cast<size_t>(i)];
        const QString name = record.Name;
        const QVector<ScheduleStep> steps = EvaluateSchedule(
            {record.FrequencyOption, record.FrequencyInterval, record.StartingTime, record.WeekDay,
             record.NextRun},
            now, m_separators);
        int index = i;
        for (const ScheduleStep& step : steps) {
            switch (step.kind) {
            case StepKind::RunStep:
                RunScheduledProfile(index, step, tickText);
                break;
            case StepKind::PlaceStep:
                PlaceProfile(index, step);
                break;
            case StepKind::RescheduleStep:
                RescheduleProfile(index, step);
                break;
            }
            index = rowOfProfile(name);
            if (index < 0 || CloseAllowed)
                break;
        }
    }
}

void TFrmMain::RunScheduledProfile(int index, const ScheduleStep& step, const QString& tickText)
{
    ProfileRecord* record = &m_profileTable[static_cast<size_t>(index)];
    const QString name = record->Name;
    const QString lastRun = tickText;
    const QString nextRun = FormatTimestamp(step.next, m_separators);
    const QString lastRunBefore = record->LastRun;
    const QString nextRunBefore = record->NextRun;
    // NextRun moves before the backup starts, so the running profile is never due twice.
    record->LastRun = lastRun;
    record->NextRun = nextRun;
    if (!record->Job)
        throw EngineFailure("The backup job of profile \"" + name.toStdString() + "\" could not be set up");

    const qint32 code = runJob(*record->Job, name);
    const bool closing = endedByClosing(code);
    if (code != 0 && !closing) {
        ShowBalloon(u"Error backing up profile \"" + name + u"\". Error description: "
                    + Xmain->GetErrorText(0, code));
    }

    // The profiles may have been saved or deleted while the backup ran: find it again,
    // and write nothing for a profile that is gone (that would bring its section back).
    // A save of this profile started its schedule afresh, which the next tick places.
    index = rowOfProfile(name);
    if (index < 0 || m_runningProfileSaved)
        return;
    record = &m_profileTable[static_cast<size_t>(index)];
    if (closing) {
        // Cut short by the end of the program: the texts from before the run stay, so the
        // next start catches the run up.
        record->LastRun = lastRunBefore;
        record->NextRun = nextRunBefore;
        return;
    }
    // Another profile's save or delete reloaded the table with the texts from before the run.
    record->LastRun = lastRun;
    record->NextRun = nextRun;
    QTreeWidgetItem* row = LvwProfiles->topLevelItem(index);
    row->setText(1, lastRun);
    row->setText(2, nextRun);
    ProfileStore store(GetProfileStorePath());
    store.writeString(name, QStringLiteral("LastRun"), lastRun);
    store.writeString(name, QStringLiteral("NextRun"), nextRun);
}

void TFrmMain::PlaceProfile(int index, const ScheduleStep& step)
{
    ProfileRecord& record = m_profileTable[static_cast<size_t>(index)];
    record.LastRun.clear();
    record.NextRun = FormatTimestamp(step.next, m_separators);
    QTreeWidgetItem* row = LvwProfiles->topLevelItem(index);
    row->setText(1, record.LastRun);
    row->setText(2, record.NextRun);
    ProfileStore store(GetProfileStorePath());
    store.writeString(record.Name, QStringLiteral("LastRun"), record.LastRun);
    store.writeString(record.Name, QStringLiteral("NextRun"), record.NextRun);
}

void TFrmMain::RescheduleProfile(int index, const ScheduleStep& step)
{
    ProfileRecord& record = m_profileTable[static_cast<size_t>(index)];
    record.NextRun = FormatTimestamp(step.next, m_separators);
    LvwProfiles->topLevelItem(index)->setText(2, record.NextRun);
    ProfileStore store(GetProfileStorePath());
    store.writeString(record.Name, QStringLiteral("NextRun"), record.NextRun);
}

int TFrmMain::rowOfProfile(const QString& name) const
{
    const int rows = std::min(LvwProfiles->topLevelItemCount(), static_cast<int>(m_profileTable.size()));
    for (int i = 0; i < rows; ++i) {
        if (m_profileTable[static_cast<size_t>(i)].Name == name)
            return i;
    }
    return -1;
}

void TFrmMain::profileSaved(const QString& name)
{
    if (!m_jobRunning)
        return;
    const int selected = selectedRow();
    const QString oldName = selected >= 0 ? LvwProfiles->topLevelItem(selected)->text(0) : QString();
    if (name == m_runningProfile || oldName == m_runningProfile)
        m_runningProfileSaved = true;
}

qint32 TFrmMain::runJob(IBackupJob& job, const QString& profile)
{
    m_jobRunning = true;
    m_runningProfile = profile;
    m_runningProfileSaved = false;
    const auto jobDone = qScopeGuard([this] {
        m_jobRunning = false;
        if (m_quitPending) {
            m_quitPending = false;
            emit closedForGood();
        }
    });
    return Xmain->RunJob(job);
}
