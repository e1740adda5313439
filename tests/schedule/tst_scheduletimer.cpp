// The schedule timer end to end: hand-written stores, a clock the test sets, the real main
// window, and a recording engine that stands in for the backups.

#include "EditorWindow.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace {

// Wednesday 9 December 2026, 08:00:12.
const QDateTime Tick(QDate(2026, 12, 9), QTime(8, 0, 12));

QByteArray profileSection(const QByteArray& name, const QByteArray& keys)
{
    return "[" + name + "]\nSourceFolder=/src\nDestinationFolder=/dst\n" + keys + "\n";
}

using Window = EditorWindow;

// Rejects every modal box or dialog but `keep` that is open when control next returns to
// the event loop, so that a box the test does not expect cannot hang it.
void rejectOtherModals(QWidget* keep)
{
    QTimer::singleShot(0, qApp, [keep] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(window);
            if (dialog && dialog != keep && dialog->isVisible() && dialog->isModal())
                dialog->reject();
        }
    });
}

} // namespace

class TestScheduleTimer : public QObject
{
    Q_OBJECT

private slots:
    void stepsReachMemoryListAndStore_data();
    void stepsReachMemoryListAndStore();
    void dailyProfileInCurrentMinuteIsPlacedAndRunInOneTick();
    void weeklyProfileInCurrentMinuteRunsAtTheNextTick();
    void profilesDueTogetherRunInListOrderWithTheTickTime();
    void failedRunShowsBalloonAndStillCountsAsRun();
    void longBalloonTextIsCutTo255Characters();
    void unusableStartingTimeIsSkipped();
    void noTickStartsInsideARunningOne();
    void engineErrorEndsTheTickAndIsShown();
    void profileDeletedDuringItsRunIsNotWrittenBack();
    void profileSavedDuringItsRunKeepsItsFreshSchedule();
    void anotherProfileSavedOrDeletedDuringARunKeepsItsTexts_data();
    void anotherProfileSavedOrDeletedDuringARunKeepsItsTexts();
    void runCutShortByTheProgramsEndRecordsNothing_data();
    void runCutShortByTheProgramsEndRecordsNothing();
    void ticksRunWhileABoxOrDialogIsOpen_data();
    void ticksRunWhileABoxOrDialogIsOpen();
    void aRunWaitingForItsDriveGivesWayToAnotherDueProfile();
    void deleteQuestionActsOnTheProfileItAskedAbout();
    void aRepeatedTickErrorGetsOneBoxAtATime();
    void folderChosenAfterTheUserMovedOnIsDropped();
    void longSectionNameHidesNoProfile();
    void emptyListDoesNothing();
};

void TestScheduleTimer::stepsReachMemoryListAndStore_data()
{
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<bool>("runs");
    QTest::addColumn<QString>("lastRun");
    QTest::addColumn<QString>("nextRun");

    QTest::newRow("every few minutes, due now")
        << QByteArray("FrequencyOption=1\nFrequencyInterval=15\nLastRun=2026/12/09 07:45\nNextRun=2026/12/09 08:00")
        << true << "2026/12/09 08:00" << "2026/12/09 08:15";
    QTest::newRow("every few hours, never placed")
        << QByteArray("FrequencyOption=2\nFrequencyInterval=2\nLastRun=\nNextRun=")
        << true << "2026/12/09 08:00" << "2026/12/09 10:00";
    QTest::newRow("every few hours, waiting")
        << QByteArray("FrequencyOption=2\nFrequencyInterval=2\nLastRun=2026/12/09 07:00\nNextRun=2026/12/09 09:00")
        << false << "2026/12/09 07:00" << "2026/12/09 09:00";
    QTest::newRow("once a day, starting time passed")
        << QByteArray("FrequencyOption=3\nStartingTime=6:30\nLastRun=\nNextRun=")
        << true << "2026/12/09 08:00" << "2026/12/10 06:30";
    QTest::newRow("once a day, starting time later today")
        << QByteArray("FrequencyOption=3\nStartingTime=22:0\nLastRun=2026/12/01 22:00\nNextRun=")
        << false << "" << "2026/12/09 22:00";
    QTest::newRow("once a day, missed last night, today's run ahead")
        << QByteArray("FrequencyOption=3\nStartingTime=22:0\nLastRun=2026/12/07 22:00\nNextRun=2026/12/08 22:00")
        << false << "2026/12/07 22:00" << "2026/12/09 22:00";
    QTest::newRow("every few days, overdue")
        << QByteArray("FrequencyOption=5\nFrequencyInterval=3\nStartingTime=7:45\nLastRun=2026/12/04 07:45\nNextRun=2026/12/07 07:45")
        << true << "2026/12/09 08:00" << "2026/12/12 07:45";
    QTest::newRow("once a week, Friday still ahead")
        << QByteArray("FrequencyOption=4\nWeekDay=Friday\nStartingTime=18:0\nLastRun=2026/12/04 18:00\nNextRun=")
        << false << "2026/12/04 18:00" << "2026/12/11 18:00";
    QTest::newRow("once a week, Monday missed")
        << QByteArray("FrequencyOption=4\nWeekDay=Monday\nStartingTime=9:0\nLastRun=2026/11/30 09:00\nNextRun=2026/12/07 09:00")
        << true << "2026/12/09 08:00" << "2026/12/14 09:00";
    QTest::newRow("once a week, Saturday never placed")
        << QByteArray("FrequencyOption=4\nWeekDay=Saturday\nStartingTime=10:0\nLastRun=\nNextRun=")
        << false << "" << "2026/12/12 10:00";
    QTest::newRow("manual is never touched")
        << QByteArray("FrequencyOption=0\nLastRun=2026/12/01 10:00\nNextRun=")
        << false << "2026/12/01 10:00" << "";
    QTest::newRow("option outside the list is never touched")
        << QByteArray("FrequencyOption=9\nLastRun=\nNextRun=2026/12/01 10:00")
        << false << "" << "2026/12/01 10:00";
}

void TestScheduleTimer::stepsReachMemoryListAndStore()
{
    QFETCH(QByteArray, keys);
    QFETCH(bool, runs);
    QFETCH(QString, lastRun);
    QFETCH(QString, nextRun);

    Window w(profileSection("P", keys));
    w.tick(Tick);

    QCOMPARE(w.engine->runJobs().size(), runs ? 1 : 0);
    QCOMPARE(w.frm->profileTable()[0].LastRun, lastRun);
    QCOMPARE(w.frm->profileTable()[0].NextRun, nextRun);
    QCOMPARE(w.cell(0, 1), lastRun);
    QCOMPARE(w.cell(0, 2), nextRun);
    QCOMPARE(w.stored(QStringLiteral("P"), QStringLiteral("LastRun")), lastRun);
    QCOMPARE(w.stored(QStringLiteral("P"), QStringLiteral("NextRun")), nextRun);
    QVERIFY(MessageBox::takeShown().isEmpty());

    // A second tick in the same minute changes nothing more.
    w.tick(Tick.addSecs(20));
    QCOMPARE(w.engine->runJobs().size(), runs ? 1 : 0);
    QCOMPARE(w.stored(QStringLiteral("P"), QStringLiteral("NextRun")), nextRun);
}

void TestScheduleTimer::dailyProfileInCurrentMinuteIsPlacedAndRunInOneTick()
{
    Window w(profileSection("Daily", "FrequencyOption=3\nStartingTime=8:0\nLastRun=\nNextRun="));
    QStringList duringRun;
    w.engine->setDuringRun([&](IBackupJob&) {
        duringRun << w.stored(QStringLiteral("Daily"), QStringLiteral("LastRun"))
                  << w.stored(QStringLiteral("Daily"), QStringLiteral("NextRun")) << w.cell(0, 1)
                  << w.cell(0, 2);
    });
    w.tick(Tick);

    // While the job runs, the placement is already written and shown.
    QCOMPARE(duringRun, (QStringList{"", "2026/12/09 08:00", "", "2026/12/09 08:00"}));
    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.stored(QStringLiteral("Daily"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.stored(QStringLiteral("Daily"), QStringLiteral("NextRun")), QStringLiteral("2026/12/10 08:00"));
}

void TestScheduleTimer::weeklyProfileInCurrentMinuteRunsAtTheNextTick()
{
    Window w(profileSection("Weekly", "FrequencyOption=4\nWeekDay=Wednesday\nStartingTime=8:0\nLastRun=\nNextRun="));
    w.tick(Tick);
    QCOMPARE(w.engine->runJobs().size(), 0);
    QCOMPARE(w.stored(QStringLiteral("Weekly"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 08:00"));

    w.tick(Tick.addSecs(1));
    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.stored(QStringLiteral("Weekly"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.stored(QStringLiteral("Weekly"), QStringLiteral("NextRun")), QStringLiteral("2026/12/16 08:00"));
}

void TestScheduleTimer::profilesDueTogetherRunInListOrderWithTheTickTime()
{
    Window w(profileSection("First", "FrequencyOption=1\nFrequencyInterval=10\nNextRun=")
             + profileSection("Second", "FrequencyOption=0")
             + profileSection("Third", "FrequencyOption=2\nFrequencyInterval=1\nNextRun=2026/12/09 07:00"));
    w.tick(Tick);

    const QList<IBackupJob*> jobs = w.engine->runJobs();
    QCOMPARE(jobs.size(), 2);
    QCOMPARE(jobs[0], w.frm->profileTable()[0].Job);
    QCOMPARE(jobs[1], w.frm->profileTable()[2].Job);
    QCOMPARE(w.stored(QStringLiteral("First"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 08:10"));
    QCOMPARE(w.stored(QStringLiteral("Third"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.stored(QStringLiteral("Third"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 09:00"));
    QCOMPARE(w.stored(QStringLiteral("Second"), QStringLiteral("LastRun")), QStringLiteral("<missing>"));
}

void TestScheduleTimer::failedRunShowsBalloonAndStillCountsAsRun()
{
    Window w(profileSection("Photos", "FrequencyOption=2\nFrequencyInterval=4\nNextRun="));
    w.engine->queueRunResults({6});
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    w.tick(Tick);

    QCOMPARE(balloons.size(), 1);
    QCOMPARE(balloons[0][0].toString(), QStringLiteral("Stowkeep"));
    QCOMPARE(balloons[0][1].toString(),
             QStringLiteral("Error backing up profile \"Photos\". Error description: engine text for code 6"));
    QCOMPARE(w.stored(QStringLiteral("Photos"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.stored(QStringLiteral("Photos"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 12:00"));
    QCOMPARE(w.cell(0, 2), QStringLiteral("2026/12/09 12:00"));

    // A successful run shows nothing, unless it has a warning to tell.
    w.tick(Tick.addSecs(4 * 3600));
    QCOMPARE(w.engine->runJobs().size(), 2);
    QCOMPARE(balloons.size(), 1);
    w.engine->setRunNotices(QStringLiteral("Checking the earlier backup X again found it damaged."));
    w.tick(Tick.addSecs(8 * 3600));
    QCOMPARE(balloons.size(), 2);
    QCOMPARE(balloons[1][1].toString(), QStringLiteral("Backup of profile \"Photos\" finished with a warning: "
                                                       "Checking the earlier backup X again found it damaged."));
}

void TestScheduleTimer::longBalloonTextIsCutTo255Characters()
{
    const QByteArray name(300, 'n');
    Window w(profileSection(name, "FrequencyOption=1\nFrequencyInterval=5\nNextRun="));
    w.engine->queueRunResults({3});
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    w.tick(Tick);
    QCOMPARE(balloons.size(), 1);
    const QString text = balloons[0][1].toString();
    QCOMPARE(text.size(), 255);
    QVERIFY(text.startsWith(QStringLiteral("Error backing up profile \"nnn")));
}

void TestScheduleTimer::unusableStartingTimeIsSkipped()
{
    Window w(profileSection("Broken", "FrequencyOption=3\nStartingTime=25:99\nLastRun=\nNextRun=")
             + profileSection("Garbled", "FrequencyOption=4\nWeekDay=Monday\nStartingTime=soon\nNextRun=")
             + profileSection("Fine", "FrequencyOption=2\nFrequencyInterval=1\nNextRun="));
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    w.tick(Tick);
    w.tick(Tick.addSecs(1));

    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.engine->runJobs()[0], w.frm->profileTable()[2].Job);
    QCOMPARE(w.stored(QStringLiteral("Broken"), QStringLiteral("NextRun")), QString());
    QCOMPARE(w.stored(QStringLiteral("Garbled"), QStringLiteral("NextRun")), QString());
    QVERIFY(MessageBox::takeShown().isEmpty());
    // The user is told once per profile, not at every tick.
    QCOMPARE(balloons.size(), 2);
    QCOMPARE(balloons[0][1].toString(),
             QStringLiteral("Profile \"Broken\" does not run: its starting time \"25:99\" in Profiles.ini is not a "
                            "time of day. Select it, set the starting time and click \"Save Profile\"."));
    QVERIFY(balloons[1][1].toString().startsWith(QStringLiteral("Profile \"Garbled\" does not run")));
}

void TestScheduleTimer::noTickStartsInsideARunningOne()
{
    Window w(profileSection("Slow", "FrequencyOption=1\nFrequencyInterval=1\nNextRun=")
             + profileSection("Other", "FrequencyOption=1\nFrequencyInterval=1\nNextRun="));
    int nested = 0;
    w.engine->setDuringRun([&](IBackupJob&) {
        if (nested++ == 0) {
            // A tick arriving while the first backup waits (a media prompt, say).
            setClock(*w.frm, Tick.addSecs(90));
            w.frm->TimerScheduleTimer();
            setClock(*w.frm, Tick);
        }
    });
    w.tick(Tick);

    // Both ran once, from the outer tick, with its time.
    QCOMPARE(w.engine->runJobs().size(), 2);
    QCOMPARE(w.stored(QStringLiteral("Slow"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.stored(QStringLiteral("Other"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
}

void TestScheduleTimer::engineErrorEndsTheTickAndIsShown()
{
    Window w(profileSection("A", "FrequencyOption=2\nFrequencyInterval=1\nLastRun=old\nNextRun=")
             + profileSection("B", "FrequencyOption=2\nFrequencyInterval=1\nNextRun="));
    w.engine->failOn(QStringLiteral("engine.RunJob"));
    w.engine->setFailureMessage(QStringLiteral("The engine stopped answering"));
    MessageBox::setNextAnswer(1);
    // Through the timer's connection, as a real tick arrives.
    auto* timer = w.frm->findChild<QTimer*>(QStringLiteral("TimerSchedule"));
    setClock(*w.frm, Tick);
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection));
    QVERIFY(waitUntilIdle(*w.frm));

    const QList<MessageBox::Shown> shown = MessageBox::takeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].caption, QStringLiteral("Stowkeep"));
    QCOMPARE(shown[0].text, QStringLiteral("The engine stopped answering."));
    QCOMPARE(shown[0].icon, QMessageBox::Critical);
    // The table has the new texts; the row and the store keep the old ones; B was not visited.
    QCOMPARE(w.frm->profileTable()[0].LastRun, QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.cell(0, 1), QStringLiteral("old"));
    QCOMPARE(w.stored(QStringLiteral("A"), QStringLiteral("LastRun")), QStringLiteral("old"));
    QCOMPARE(w.stored(QStringLiteral("B"), QStringLiteral("NextRun")), QString());

    // The next tick starts from the first row again; A is no longer due, B runs.
    w.tick(Tick.addSecs(1));
    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.stored(QStringLiteral("B"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
}

void TestScheduleTimer::profileDeletedDuringItsRunIsNotWrittenBack()
{
    Window w(profileSection("Gone", "FrequencyOption=2\nFrequencyInterval=1\nNextRun=")
             + profileSection("Kept", "FrequencyOption=0"));
    w.engine->setDuringRun([&](IBackupJob&) {
        ProfileStore(w.data.storePath()).eraseSection(QStringLiteral("Gone"));
        w.frm->LoadProfiles();
    });
    w.tick(Tick);

    QVERIFY(!w.data.readStore().contains("[Gone]"));
    QCOMPARE(w.frm->LvwProfiles->topLevelItemCount(), 1);
    QCOMPARE(w.cell(0, 0), QStringLiteral("Kept"));
    QCOMPARE(w.cell(0, 1), QString());
}

void TestScheduleTimer::profileSavedDuringItsRunKeepsItsFreshSchedule()
{
    Window w(profileSection("Busy", "FrequencyOption=1\nFrequencyInterval=5\nNextRun="));
    w.engine->setDuringRun([&](IBackupJob&) {
        // The user switches the running profile to "Manual" and saves it.
        w.clickRow(0);
        EditorWindow::click(w.frm->RbFrequency[0]);
        w.save();
    });
    w.tick(Tick);

    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.stored(QStringLiteral("Busy"), QStringLiteral("FrequencyOption")), QStringLiteral("0"));
    QCOMPARE(w.stored(QStringLiteral("Busy"), QStringLiteral("LastRun")), QString());
    QCOMPARE(w.stored(QStringLiteral("Busy"), QStringLiteral("NextRun")), QString());
    QCOMPARE(w.cell(0, 2), QString());
}

void TestScheduleTimer::anotherProfileSavedOrDeletedDuringARunKeepsItsTexts_data()
{
    QTest::addColumn<bool>("save");
    QTest::newRow("save") << true;
    QTest::newRow("delete") << false;
}

void TestScheduleTimer::anotherProfileSavedOrDeletedDuringARunKeepsItsTexts()
{
    QFETCH(bool, save);
    Window w(profileSection("Busy", "FrequencyOption=1\nFrequencyInterval=5\nNextRun=")
             + profileSection("Other", "FrequencyOption=0"));
    w.engine->setDuringRun([&](IBackupJob&) {
        w.clickRow(1);
        if (save) {
            EditorWindow::click(w.frm->ChkVerifyAfterBackup);
            w.save();
        } else {
            MessageBox::setNextAnswer(1);
            EditorWindow::click(w.frm->BtnDeleteProfile);
        }
    });
    w.tick(Tick);

    QCOMPARE(w.rows().contains(QStringLiteral("Other")), save);
    QCOMPARE(w.stored(QStringLiteral("Busy"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.stored(QStringLiteral("Busy"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 08:05"));
    QCOMPARE(w.cell(0, 2), QStringLiteral("2026/12/09 08:05"));
    w.tick(Tick.addSecs(20));
    QCOMPARE(w.engine->runJobs().size(), 1);
}

void TestScheduleTimer::runCutShortByTheProgramsEndRecordsNothing_data()
{
    QTest::addColumn<bool>("endOfSession");
    QTest::newRow("end of the session") << true;
    QTest::newRow("Exit") << false;
}

void TestScheduleTimer::runCutShortByTheProgramsEndRecordsNothing()
{
    QFETCH(bool, endOfSession);
    // A weekly run missed on Monday is caught up, and the program is ended during it.
    Window w(profileSection("Weekly", "FrequencyOption=4\nWeekDay=Monday\nStartingTime=9:0\n"
                                      "LastRun=2026/11/30 09:00\nNextRun=2026/12/07 09:00"));
    const QByteArray before = w.store();
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    w.engine->setDuringRun([&](IBackupJob&) {
        if (endOfSession)
            w.frm->WMQueryEndSession();
        else
            w.frm->MnuExitClick();
    });
    w.tick(Tick);

    QCOMPARE(w.engine->runResults(), QList<qint32>{w.engine->cancelledResult()});
    QCOMPARE(w.store(), before);
    QCOMPARE(w.frm->profileTable()[0].LastRun, QStringLiteral("2026/11/30 09:00"));
    QCOMPARE(w.frm->profileTable()[0].NextRun, QStringLiteral("2026/12/07 09:00"));
    QCOMPARE(w.cell(0, 1), QStringLiteral("2026/11/30 09:00"));
    QCOMPARE(w.cell(0, 2), QStringLiteral("2026/12/07 09:00"));
    QCOMPARE(balloons.size(), 0);
    QVERIFY(MessageBox::takeShown().isEmpty());
}

void TestScheduleTimer::ticksRunWhileABoxOrDialogIsOpen_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("delete question") << "BtnDeleteProfile";
    QTest::newRow("filter dialog") << "BtnFilterSetup";
    QTest::newRow("password dialog") << "BtnPassword";
    QTest::newRow("About window") << "BtnAbout";
    QTest::newRow("folder browser") << "BtnSelectSrc";
}

void TestScheduleTimer::ticksRunWhileABoxOrDialogIsOpen()
{
    QFETCH(QString, button);
    Window w(profileSection("Due", "FrequencyOption=1\nFrequencyInterval=5\nNextRun=")
             + profileSection("Edited", "FrequencyOption=0"));
    w.clickRow(1);
    EditorWindow::type(w.frm->EdtProfileName, QStringLiteral("Edited, not saved"));
    const QString panel = w.panel();

    qsizetype runsInside = -1;
    QTimer::singleShot(0, w.frm.get(), [&] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(modal);
        w.tick(Tick);
        runsInside = w.engine->runJobs().size();
        modal->reject();
    });
    EditorWindow::click(w.frm->findChild<QPushButton*>(button));

    QCOMPARE(runsInside, 1);
    QCOMPARE(w.stored(QStringLiteral("Due"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 08:05"));
    // The panel's unsaved change is untouched, and the box acted on nothing.
    QCOMPARE(w.panel(), panel);
    QVERIFY(w.saveEnabled());
    QCOMPARE(w.rows(), (QStringList{"Due", "Edited"}));
}

void TestScheduleTimer::aRunWaitingForItsDriveGivesWayToAnotherDueProfile()
{
    // Both due at start (caught up), the first on a drive that is not plugged in.
    Window w(profileSection("Drive", "FrequencyOption=1\nFrequencyInterval=5\nNextRun=")
             + profileSection("Local", "FrequencyOption=1\nFrequencyInterval=5\nNextRun=2026/12/09 07:30"));
    w.engine->queueMediaRequest(QStringLiteral("/media/usb"), 1);
    w.engine->queueRunResults({2}); // the medium is not available
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    // At each question: a tick a second later, then whether the question is still open.
    QList<bool> stillOpen;
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, w.frm.get(), [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        setClock(*w.frm, Tick.addSecs(stillOpen.size() + 1));
        w.frm->TimerScheduleTimer();
        stillOpen << box->isVisible();
        if (box->isVisible())
            box->reject(); // the user's "Cancel"
    });
    poll.start();
    w.tick(Tick);

    // Local ran; Drive's question gave way without a failure, and Drive is due again.
    QCOMPARE(stillOpen, QList<bool> {false});
    QCOMPARE(w.engine->runJobs().size(), 2);
    QCOMPARE(w.engine->runJobs()[1], w.frm->profileTable()[1].Job);
    QCOMPARE(balloons.size(), 0);
    QCOMPARE(w.stored(QStringLiteral("Drive"), QStringLiteral("NextRun")), QString());

    // Asked again with nothing else due, the question stays until the user answers it.
    w.engine->queueMediaRequest(QStringLiteral("/media/usb"), 1);
    w.engine->queueRunResults({6});
    poll.start();
    w.tick(Tick.addSecs(2));
    QCOMPARE(stillOpen, (QList<bool> {false, true}));
    QCOMPARE(w.engine->runJobs().size(), 3);
    QCOMPARE(w.engine->mediaAnswers(), (QList<bool> {false, false}));
    QCOMPARE(balloons.size(), 1);
    QCOMPARE(balloons[0][1].toString(),
             QStringLiteral("Error backing up profile \"Drive\". Error description: engine text for code 6"));
}

void TestScheduleTimer::deleteQuestionActsOnTheProfileItAskedAbout()
{
    // The delete question is open over B when A's backup starts; "Yes" is clicked while it
    // runs, and takes effect when it ends: B is deleted.
    Window w(profileSection("A", "FrequencyOption=1\nFrequencyInterval=5\nNextRun=")
             + profileSection("B", "FrequencyOption=0") + profileSection("C", "FrequencyOption=0"));
    w.clickRow(1);
    QTimer::singleShot(0, w.frm.get(), [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        w.engine->setDuringRun([box](IBackupJob&) {
            for (QAbstractButton* button : box->buttons())
                if (button->text() == QStringLiteral("Yes"))
                    button->click();
        });
        w.tick(Tick);
    });
    EditorWindow::click(w.frm->BtnDeleteProfile);

    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.rows(), (QStringList{"A", "C"}));
    QCOMPARE(w.stored(QStringLiteral("A"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
}

void TestScheduleTimer::aRepeatedTickErrorGetsOneBoxAtATime()
{
    // The engine fails for every profile: while the first failure's box is open, the next
    // tick's failure of the same text goes to standard error instead of a second box.
    Window w(profileSection("A", "FrequencyOption=2\nFrequencyInterval=1\nNextRun=")
             + profileSection("B", "FrequencyOption=2\nFrequencyInterval=1\nNextRun=2026/12/09 08:01"));
    w.engine->setFailureMessage(QStringLiteral("The engine stopped answering"));
    w.engine->failOn(QStringLiteral("engine.RunJob"));
    w.engine->failOn(QStringLiteral("engine.RunJob"));
    auto* timer = w.frm->findChild<QTimer*>(QStringLiteral("TimerSchedule"));
    auto tick = [&](const QDateTime& when) {
        setClock(*w.frm, when);
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection));
        QVERIFY(waitUntilIdle(*w.frm));
    };
    bool boxOpen = false;
    onNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        boxOpen = true;
        QTest::ignoreMessage(QtWarningMsg, "Error (its box is still open): The engine stopped answering.");
        rejectOtherModals(box);
        tick(Tick.addSecs(60));
        box->reject();
    });
    tick(Tick);

    QVERIFY(boxOpen);
    QCOMPARE(MessageBox::takeShown().size(), 1);
    QCOMPARE(w.frm->profileTable()[1].LastRun, QStringLiteral("2026/12/09 08:01")); // B was tried
}

void TestScheduleTimer::folderChosenAfterTheUserMovedOnIsDropped()
{
    // The folder browser is open for one profile; a backup runs inside it, during which the
    // user picks a folder and goes on to another profile before the backup ends.
    QTemporaryDir chosen;
    Window w(profileSection("Due", "FrequencyOption=1\nFrequencyInterval=5\nNextRun=")
             + profileSection("Asked", "FrequencyOption=0") + profileSection("Next", "FrequencyOption=0"));
    w.clickRow(1);
    QTimer::singleShot(0, w.frm.get(), [&] {
        auto* browser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(browser);
        w.engine->setDuringRun([&, browser](IBackupJob&) {
            browser->setDirectory(chosen.path());
            QMetaObject::invokeMethod(browser, "accept", Qt::DirectConnection);
            w.clickRow(2);
        });
        w.tick(Tick);
        if (browser->isVisible())
            browser->reject();
    });
    EditorWindow::click(w.frm->BtnSelectSrc);

    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.frm->EdtProfileName->text(), QStringLiteral("Next"));
    QCOMPARE(w.frm->EdtSrcFolder->text(), QStringLiteral("/src"));
    QVERIFY(!w.saveEnabled());
}

void TestScheduleTimer::longSectionNameHidesNoProfile()
{
    Window w("[" + QByteArray(17000, 'x') + "]\nFrequencyOption=0\n"
             + profileSection("Photos", "FrequencyOption=2\nFrequencyInterval=1\nNextRun="));
    QCOMPARE(w.rows().size(), 2);
    QCOMPARE(w.rows()[1], QStringLiteral("Photos"));
    w.tick(Tick);
    QCOMPARE(w.engine->runJobs(), QList<IBackupJob*>{w.frm->profileTable()[1].Job});
    QCOMPARE(w.stored(QStringLiteral("Photos"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
}

void TestScheduleTimer::emptyListDoesNothing()
{
    Window w{QByteArray("")};
    const QByteArray before = w.data.readStore();
    w.tick(Tick);
    QCOMPARE(w.engine->runJobs().size(), 0);
    QCOMPARE(w.data.readStore(), before);
}

QTEST_MAIN(TestScheduleTimer)
#include "tst_scheduletimer.moc"
