// The schedule timer end to end: hand-written stores, a clock the test sets, the real main
// window, and a recording engine that stands in for the backups.

#include "EditorWindow.h"

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
    void nothingStartsWhileABoxIsOpen();
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

    // A successful run shows nothing.
    w.tick(Tick.addSecs(4 * 3600));
    QCOMPARE(w.engine->runJobs().size(), 2);
    QCOMPARE(balloons.size(), 1);
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
    w.tick(Tick);
    w.tick(Tick.addSecs(1));

    QCOMPARE(w.engine->runJobs().size(), 1);
    QCOMPARE(w.engine->runJobs()[0], w.frm->profileTable()[2].Job);
    QCOMPARE(w.stored(QStringLiteral("Broken"), QStringLiteral("NextRun")), QString());
    QCOMPARE(w.stored(QStringLiteral("Garbled"), QStringLiteral("NextRun")), QString());
    QVERIFY(MessageBox::takeShown().isEmpty());
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

void TestScheduleTimer::nothingStartsWhileABoxIsOpen()
{
    // The delete question is open over B when a tick comes: A is due but waits, and "Yes"
    // deletes B, the profile the question was about.
    Window w(profileSection("A", "FrequencyOption=1\nFrequencyInterval=5\nNextRun=")
             + profileSection("B", "FrequencyOption=0") + profileSection("C", "FrequencyOption=0"));
    w.clickRow(1);
    bool asked = false;
    QTimer::singleShot(0, w.frm.get(), [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        asked = true;
        w.tick(Tick);
        for (QAbstractButton* button : box->buttons())
            if (button->text() == QStringLiteral("Yes"))
                button->click();
    });
    EditorWindow::click(w.frm->BtnDeleteProfile);

    QVERIFY(asked);
    QCOMPARE(w.engine->runJobs().size(), 0);
    QCOMPARE(w.rows(), (QStringList{"A", "C"}));
    w.tick(Tick); // the box is closed: A runs now
    QCOMPARE(w.engine->runJobs().size(), 1);
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
