// The main window's side of running backups: the schedule timer's tick, "Run Profile", the
// media prompt, "Cancel", and what the user sees of runs: the band above the buttons, the
// tray icon, the rows' status tooltips, the stale-backup balloons and the notice of a
// manual run's success. The work itself is done by the job runner, the schedule and the
// manual run.

#include "ProgressBand.h"
#include "TFrmMain.h"
#include "backup/JobRunner.h"
#include "backup/ManualRun.h"
#include "backup/RunStatus.h"
#include "restore/RestoreWindow.h"
#include "schedule/Schedule.h"
#include "ui/DesktopNotifier.h"

#include <QPushButton>
#include <QTreeWidget>

namespace {

const QString AppTitle = QStringLiteral("Stowkeep");

// The lines of a tooltip, long ones broken between words: a plain tooltip does not wrap,
// and a rich one wraps even short lines into a narrow column.
QString toolTipOf(const QStringList& lines)
{
    constexpr int Width = 80;
    QStringList shown;
    for (const QString& line : lines) {
        QString rest = line;
        while (rest.size() > Width) {
            qsizetype cut = rest.lastIndexOf(u' ', Width);
            if (cut <= 0)
                cut = Width;
            shown << rest.left(cut);
            rest = rest.mid(cut).trimmed();
        }
        shown << rest;
    }
    return shown.join(u'\n');
}

} // namespace

void TFrmMain::createRunners()
{
    m_runner = std::make_unique<JobRunner>(*Xmain);
    m_schedule = new Schedule(*this, *m_runner, *Xmain, this);
    m_manualRun = new ManualRun(*this, *m_runner, *Xmain, this);
    m_successNotifier = new DesktopNotifier(this);
    m_successNotifier->setObjectName(QStringLiteral("SuccessNotifier"));

    connect(m_runner.get(), &JobRunner::jobStarted, this, &TFrmMain::jobStarted);
    connect(m_runner.get(), &JobRunner::progressChanged, this, &TFrmMain::jobProgressed);
    connect(m_runner.get(), &JobRunner::jobFinished, this, [this](const QString& profile) { jobFinished(profile); });
    connect(m_runner.get(), &JobRunner::idle, this, &TFrmMain::jobsDone);
    connect(m_schedule, &Schedule::runFailed, this, &TFrmMain::ShowBalloon);
    connect(m_schedule, &Schedule::runWarned, this, &TFrmMain::ShowBalloon);
    connect(m_schedule, &Schedule::notScheduled, this, &TFrmMain::ShowBalloon);
    connect(m_schedule, &Schedule::tickFailed, this, &TFrmMain::showError);
    connect(m_manualRun, &ManualRun::errorBox, this, [this](const QString& text) {
        // Not the buttons of a question still open below it.
        dlg.restoreRestingState();
        dlg.setCaption(QStringLiteral("Error"));
        dlg.setText(text);
        dlg.exec();
    });
    connect(m_manualRun, &ManualRun::succeeded, this, [this](const QString& profile) {
        const QString notices = Xmain->RunNotices();
        m_successNotifier->send(AppTitle,
                                successNotice(profile, m_statuses.value(profile).history)
                                    + (notices.isEmpty() ? QString() : u" Warning: " + notices),
                                10000);
    });
    connect(m_manualRun, &ManualRun::failed, this, &TFrmMain::showError);
    connect(m_band->BtnCancelRun, &QPushButton::clicked, this, [this] { runHandler(&TFrmMain::BtnCancelRunClick); });
    connect(LvwProfiles, &QTreeWidget::itemSelectionChanged, this, &TFrmMain::showBand);
}

bool TFrmMain::jobRunning() const
{
    return m_runner->busy();
}

void TFrmMain::TimerScheduleTimer()
{
    const QDateTime now = m_clock();
    // A scheduled run waiting for its drive holds up no other profile: when one is due, the
    // prompt closes, that profile runs, and the one waiting for its drive asks again after.
    if (m_askingForMedia && m_schedule->ticking() && m_schedule->anotherProfileDue(now, m_separators)) {
        m_schedule->giveWay();
        dlg.dismiss();
    }
    m_schedule->tick(now, m_separators);
    if (!m_schedule->ticking() && !m_runner->busy() && !CloseAllowed)
        warnAboutStaleBackups(now);
    watchRunningJob(now);
}

// A job waiting on a drive or network share that stopped answering never ends, and every
// other backup waits behind it: after an hour without progress the user is told once. Long
// enough for the one file whose reading shows no progress until its end (a check of a
// 100 GB disk image from a slow drive); a clock that jumped (the computer slept) starts
// the count again.
void TFrmMain::watchRunningJob(const QDateTime& now)
{
    constexpr qint64 StillSeconds = 60 * 60;
    const JobProgress& p = m_runner->progress();
    const auto mark = std::tuple(m_runner->jobNumber(), p.filesDone, p.bytesDone, p.checkedBytes);
    const qint64 sinceLast = m_lastWatched.isValid() ? m_lastWatched.secsTo(now) : 0;
    m_lastWatched = now;
    if (!m_runner->running() || m_runner->askingUser() || mark != m_stillMark || sinceLast < 0 || sinceLast > 60) {
        m_stillMark = mark;
        m_stillSince = now;
        m_stillTold = false;
        return;
    }
    if (m_stillTold || m_stillSince.secsTo(now) < StillSeconds)
        return;
    m_stillTold = true;
    const bool restore = m_runner->runningKind() == JobRunner::Kind::Restore;
    ShowBalloon(QStringLiteral("The %1 of \"%2\" has made no progress for an hour: a drive or share it uses may "
                               "not answer. Other backups wait for it; cancel it in the main window.")
                    .arg(restore ? QStringLiteral("restore") : QStringLiteral("backup"), m_runner->runningProfile()));
}

void TFrmMain::BtnRunProfileClick()
{
    const int index = selectedRow();
    if (index < 0)
        return;
    m_manualRun->start(index, FormatTimestamp(naiveLocal(m_clock()), m_separators));
}

bool TFrmMain::XmainInsertMedia(const QString& mediaLabel, qint32 /*diskNumber*/)
{
    dlg.setCaption(QStringLiteral("Insert Media"));
    dlg.setText(u"Please insert " + mediaLabel);
    dlg.setButton(0, QStringLiteral("OK"), 1);
    dlg.setButton(1, QStringLiteral("Cancel"), 2);
    dlg.setButtonCount(2);
    m_askingForMedia = true;
    const int result = dlg.exec();
    m_askingForMedia = false;
    dlg.setButtonCount(1);
    return result == 1;
}

void TFrmMain::BtnRestoreClick()
{
    const ProfileRecord* record = selectedRecord();
    openRestoreWindow(record ? record->Name : QString());
}

void TFrmMain::MnuRestoreFilesClick()
{
    openRestoreWindow(QString());
}

void TFrmMain::openRestoreWindow(const QString& profile)
{
    if (!m_restoreWindow)
        m_restoreWindow = new RestoreWindow(*m_runner, *Xmain, this);
    m_restoreWindow->setSources(restoreSources(), profile);
    m_restoreWindow->showWindow();
}

std::span<const ProfileRecord> TFrmMain::listedProfiles() const
{
    return {m_profileTable.data(), std::min(size_t(profileRows()), m_profileTable.size())};
}

QList<RestoreSource> TFrmMain::restoreSources() const
{
    QList<RestoreSource> sources;
    for (const ProfileRecord& record : listedProfiles())
        sources.append(restoreSourceOf(record));
    return sources + earlierSources(Xmain->RestorableSets(), sources);
}

void TFrmMain::updateRestoreWindow()
{
    if (m_restoreWindow)
        m_restoreWindow->updateSources(restoreSources());
}

void TFrmMain::BtnCancelRunClick()
{
    if (!m_runner->running())
        return;
    const quint64 job = m_runner->jobNumber();
    const bool restore = m_runner->runningKind() == JobRunner::Kind::Restore;
    dlg.setCaption(restore ? QStringLiteral("Cancel Restore") : QStringLiteral("Cancel Backup"));
    const QString what = restore ? QStringLiteral("restore") : QStringLiteral("backup");
    const QString consequence =
        restore ? QStringLiteral("The files restored so far stay.") : QStringLiteral("Nothing of this run is kept.");
    dlg.setText(u"Do you want to cancel the " + what + u" of \"" + m_runner->runningProfile() + u"\"? " + consequence);
    dlg.setButton(0, QStringLiteral("Yes"), 1);
    dlg.setButton(1, QStringLiteral("No"), 2);
    dlg.setButtonCount(2);
    m_askingToCancel = true; // the box closes when the run ends: there is nothing left to cancel
    const int answer = dlg.exec();
    m_askingToCancel = false;
    dlg.restoreRestingState();
    // Only the job the user was asked about.
    if (answer == 1 && m_runner->running() && m_runner->jobNumber() == job) {
        m_runner->cancel();
        jobProgressed();
    }
}

void TFrmMain::profileSaved(const QString& name)
{
    const int selected = selectedRow();
    m_runner->noteProfileSaved(name);
    if (selected >= 0)
        m_runner->noteProfileSaved(LvwProfiles->topLevelItem(selected)->text(0));
}

int TFrmMain::profileRows() const
{
    return LvwProfiles->topLevelItemCount();
}

void TFrmMain::showLastRun(int row, const QString& text)
{
    LvwProfiles->topLevelItem(row)->setText(1, text);
}

void TFrmMain::showNextRun(int row, const QString& text)
{
    LvwProfiles->topLevelItem(row)->setText(2, text);
}

void TFrmMain::showError(const QString& text)
{
    MessageBox::showError(this, text);
}

// ---- What the user sees of runs --------------------------------------------------------

void TFrmMain::jobStarted()
{
    if (m_trayIcon)
        m_trayIcon->setIcon(QIcon(QStringLiteral(":/stowkeep-active.svg")));
    jobProgressed();
}

void TFrmMain::jobProgressed()
{
    if (!m_runner->running())
        return;
    QString text = progressText(m_runner->runningKind(), m_runner->runningProfile(), m_runner->progress(),
                                m_runner->percent());
    // A job waiting on a drive or share that does not answer may take long to stop: the
    // band says that the cancel was taken.
    const bool cancelling = m_runner->cancelling();
    if (cancelling)
        text = u"cancelling: " + text;
    m_band->showProgress(text[0].toUpper() + text.mid(1), m_runner->percent(), cancelling);
    if (m_trayIcon)
        m_trayIcon->setToolTip(AppTitle + u" \u2013 " + text);
}

void TFrmMain::jobFinished(const QString& profile)
{
    if (m_askingToCancel) {
        m_askingToCancel = false; // not a box opened above it later
        dlg.dismiss();
    }
    const int row = rowOfProfile(profile);
    if (row >= 0)
        showProfileStatus(row, true);
}

void TFrmMain::jobsDone()
{
    if (m_trayIcon) {
        m_trayIcon->setIcon(windowIcon());
        m_trayIcon->setToolTip(AppTitle);
    }
    showBand();
    if (m_quitPending) {
        m_quitPending = false;
        emit closedForGood();
    }
}

void TFrmMain::showProfileStatuses()
{
    QHash<QString, ProfileStatus> known;
    known.swap(m_statuses);
    QList<BackupSet> unknown;
    for (const ProfileRecord& record : listedProfiles()) {
        const auto status = known.constFind(record.Name);
        if (status != known.constEnd() && status->folder == record.DestinationFolder)
            m_statuses.insert(record.Name, *status);
        else
            unknown.append({record.Name, record.DestinationFolder});
    }
    // One reading of the catalog for every profile it has not been asked about yet.
    const QList<RunHistory> histories = unknown.isEmpty() ? QList<RunHistory>() : Xmain->LastRuns(unknown);
    for (qsizetype i = 0; i < unknown.size() && i < histories.size(); ++i)
        m_statuses.insert(unknown[i].name, {unknown[i].folder, histories[i]});
    for (int row = 0; row < int(listedProfiles().size()); ++row)
        showProfileStatus(row, false);
    showBand();
}

void TFrmMain::showProfileStatus(int row, bool readAgain)
{
    const ProfileRecord& record = m_profileTable[static_cast<size_t>(row)];
    if (readAgain) {
        const QList<RunHistory> history = Xmain->LastRuns({{record.Name, record.DestinationFolder}});
        m_statuses.insert(record.Name, {record.DestinationFolder, history.value(0)});
    }
    const QString tip = toolTipOf(statusOf(record));
    QTreeWidgetItem* item = LvwProfiles->topLevelItem(row);
    for (int column = 0; column < LvwProfiles->columnCount(); ++column)
        item->setToolTip(column, tip);
    if (readAgain && row == selectedRow())
        showBand();
}

void TFrmMain::showBand()
{
    if (m_runner->running()) {
        jobProgressed();
        return;
    }
    const ProfileRecord* record = selectedRecord();
    m_band->showStatus(record ? statusOf(*record) : QStringList());
}

// The last run's outcome; and, second, an age for deleting old backups that Profiles.ini
// holds in a form that cannot be read, so that none are deleted: the user would otherwise
// learn it only from a full drive.
QStringList TFrmMain::statusOf(const ProfileRecord& record) const
{
    QStringList lines = statusLines(m_statuses.value(record.Name).history, m_separators);
    if (record.BoolDeleteBackup && !record.DeleteIntervalReadable)
        lines.insert(1, QStringLiteral("Old backups are not deleted: \"Delete backups older than\" has no valid age."));
    return lines;
}

void TFrmMain::warnAboutStaleBackups(const QDateTime& now)
{
    QList<StaleBackups::Profile> profiles;
    for (const ProfileRecord& record : listedProfiles())
        profiles.append({record.Name, record.FrequencyOption, record.FrequencyInterval,
                         m_statuses.value(record.Name).history});
    const QStringList balloons = m_staleBackups.check(profiles, now, m_separators);
    if (!balloons.isEmpty())
        ShowBalloon(balloons.join(u'\n'));
}
