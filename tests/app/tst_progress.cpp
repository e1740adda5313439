// What the user sees of backups on the real main window: the band above the buttons and
// the tray icon while a job runs, "Cancel", each profile's status, and the stale-backup
// balloon. A recording engine stands in for the backups.

#include "EditorWindow.h"
#include "app/ProgressBand.h"
#include "backup/JobRunner.h"

#include <QProgressBar>
#include <QSignalSpy>

#include <semaphore>

namespace {

const QDateTime Tick(QDate(2026, 12, 9), QTime(8, 0, 12));
const QByteArray Documents = "[Documents]\nSourceFolder=/src\nDestinationFolder=/dst\nFrequencyOption=2\n"
                             "FrequencyInterval=4\nLastRun=2026/12/09 04:00\nNextRun=2026/12/09 08:00\n";

RunSummary run(const QDateTime& start, qint32 result, quint64 files = 0, quint64 bytes = 0,
               std::optional<bool> verified = {}, const QString& failure = {})
{
    return {start, result, files, bytes, verified, failure};
}

QStringList bandLines(const EditorWindow& w)
{
    return w.frm->band()->shownText().split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

class TestProgress : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShown(); }
    void bandAndTrayFollowTheRun();
    void aFailureBoxDoesNotKeepTheRunGoing();
    void cancelAsksOnceAndTheRunIsNotRecorded_data();
    void cancelAsksOnceAndTheRunIsNotRecorded();
    void theCancelQuestionClosesWhenTheRunEnds();
    void statusOfEachProfileInItsTooltipAndTheBand();
    void aRunWithoutProgressForAnHourIsReported();
    void staleBackupIsWarnedAboutOnceADay();
};

void TestProgress::bandAndTrayFollowTheRun()
{
    EditorWindow w(Documents);
    w.clickRow(0);
    const ProgressBand* band = w.frm->band();
    QCOMPARE(band->geometry(), QRect(0, 0, 594, 38)); // above the buttons at y 38
    for (const QWidget* part : band->findChildren<QWidget*>())
        QVERIFY2(QRect(0, 0, 594, 38).contains(part->geometry()), qPrintable(part->objectName()));

    w.engine->queueProgress({{}, {10, 40, 1220000000, 2900000000, 0, 2900000000, {}},
                             {40, 40, 2900000000, 2900000000, 1000000000, 2900000000, {}}});
    QStringList texts;
    connect(&w.frm->runner(), &JobRunner::progressChanged, this, [&] { texts << band->fullText(); });
    QString tooltip;
    bool active = false;
    bool cancelShown = false;
    int bar = -1;
    w.engine->setDuringRun([&](IBackupJob&) {
        tooltip = w.frm->trayIcon()->toolTip();
        active = w.frm->trayIcon()->icon().cacheKey() != w.frm->windowIcon().cacheKey();
        cancelShown = band->BtnCancelRun->isVisible();
        bar = band->PrgRun->value();
    });
    w.tick(Tick);

    // The share done counts the verification to come.
    QCOMPARE(texts, (QStringList{"Backing up Documents", "Backing up Documents: 21 % (1.2 GB of 2.9 GB)",
                                 "Verifying Documents: 67 % (1.0 GB of 2.9 GB)",
                                 "Verifying Documents: 100 % (1.0 GB of 2.9 GB)"}));
    QCOMPARE(tooltip, QStringLiteral("Stowkeep \u2013 verifying Documents: 67 % (1.0 GB of 2.9 GB)"));
    QVERIFY(active);
    QVERIFY(cancelShown);
    QCOMPARE(bar, 67);
    // Afterwards: the icon at rest, and the band back to the selected profile's status.
    QCOMPARE(w.frm->trayIcon()->toolTip(), QStringLiteral("Stowkeep"));
    QCOMPARE(w.frm->trayIcon()->icon().cacheKey(), w.frm->windowIcon().cacheKey());
    QVERIFY(!band->BtnCancelRun->isVisible());
    QCOMPARE(bandLines(w), QStringList{QStringLiteral("No backup yet")});
}

void TestProgress::aFailureBoxDoesNotKeepTheRunGoing()
{
    // While the box of a failed manual run waits for the user, nothing runs: the icon is at
    // rest and the computer may sleep (the sleep locks go with the runner's idleness).
    EditorWindow w(Documents);
    w.engine->queueRunResults({4});
    bool idle = false;
    QString tooltip;
    onNextModal([&](QWidget* box) {
        idle = !w.frm->runner().busy();
        tooltip = w.frm->trayIcon()->toolTip();
        qobject_cast<QDialog*>(box)->reject();
    });
    w.clickRow(0);
    w.runProfile();
    QVERIFY(idle);
    QCOMPARE(tooltip, QStringLiteral("Stowkeep"));
}

void TestProgress::cancelAsksOnceAndTheRunIsNotRecorded_data()
{
    QTest::addColumn<bool>("scheduled");
    QTest::newRow("scheduled") << true;
    QTest::newRow("manual") << false;
}

void TestProgress::cancelAsksOnceAndTheRunIsNotRecorded()
{
    QFETCH(bool, scheduled);
    EditorWindow w(Documents);
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    w.engine->setDuringRun([&](IBackupJob&) {
        MessageBox::setNextAnswer(2); // "No": the run goes on
        EditorWindow::click(w.frm->band()->BtnCancelRun);
        MessageBox::setNextAnswer(1);
        EditorWindow::click(w.frm->band()->BtnCancelRun);
        QVERIFY(w.frm->band()->fullText().startsWith(u"Cancelling: backing up Documents"));
        QVERIFY(!w.frm->band()->BtnCancelRun->isEnabled());
    });
    if (scheduled) {
        w.tick(Tick);
    } else {
        w.clickRow(0);
        setClock(*w.frm, Tick);
        w.runProfile();
    }

    const QString question = QStringLiteral("Cancel Backup/Do you want to cancel the backup of \"Documents\"? "
                                            "Nothing of this run is kept./Yes,No");
    QCOMPARE(shownBoxes(), (QStringList{question, question})); // and no error box
    QCOMPARE(w.engine->runResults(), QList<qint32>{w.engine->cancelledResult()});
    QCOMPARE(balloons.size(), 0);
    // Not a run: the last run stays; a scheduled profile waits for its next time.
    QCOMPARE(w.stored(QStringLiteral("Documents"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 04:00"));
    QCOMPARE(w.frm->profileTable()[0].LastRun, QStringLiteral("2026/12/09 04:00"));
    QCOMPARE(w.cell(0, 1), QStringLiteral("2026/12/09 04:00"));
    const QString next = scheduled ? QStringLiteral("2026/12/09 12:00") : QStringLiteral("2026/12/09 08:00");
    QCOMPARE(w.stored(QStringLiteral("Documents"), QStringLiteral("NextRun")), next);
    QCOMPARE(w.cell(0, 2), next);
    w.tick(Tick.addSecs(60));
    QCOMPARE(w.engine->runResults().size(), scheduled ? 1 : 2);
}

void TestProgress::aRunWithoutProgressForAnHourIsReported()
{
    EditorWindow w(Documents);
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    qsizetype before = -1;
    qsizetype after = -1;
    w.engine->setDuringRun([&](IBackupJob&) {
        const auto tickAt = [&](const QDateTime& now) {
            setClock(*w.frm, now);
            w.frm->TimerScheduleTimer();
        };
        // The computer slept for two hours in the middle: that is no time without progress.
        for (int s = 0; s <= 59 * 60; s += 30)
            tickAt(Tick.addSecs(s < 30 * 60 ? s : s + 7200));
        before = balloons.size();
        for (int s = 60 * 60; s <= 100 * 60; s += 30) // an hour after the sleep at 30
            tickAt(Tick.addSecs(s + 7200));
        after = balloons.size();
    });
    w.clickRow(0);
    setClock(*w.frm, Tick);
    w.runProfile();

    QCOMPARE(before, 0);
    QCOMPARE(after, 1); // once
    QCOMPARE(balloons[0][1].toString(),
             QStringLiteral("The backup of \"Documents\" has made no progress for an hour: a drive or share it "
                            "uses may not answer. Other backups wait for it; cancel it in the main window."));
}

void TestProgress::theCancelQuestionClosesWhenTheRunEnds()
{
    // The run ends while the user reads the question: it is not left asking to cancel a
    // backup that is already kept.
    EditorWindow w(Documents);
    JobRunner& runner = w.frm->runner();
    std::binary_semaphore gate(0);
    std::optional<JobOutcome> outcome;
    runner.submit({JobRunner::Kind::Backup, QStringLiteral("Documents"),
                   [&gate] {
                       return JobRunner::Work([&gate] {
                           gate.acquire();
                           return qint32(0);
                       });
                   },
                   {}},
                  [&outcome](const JobOutcome& o) { outcome = o; });
    bool openAfterTheRun = true;
    onNextModal([&](QWidget* box) {
        gate.release();
        (void)QTest::qWaitFor([&] { return outcome.has_value(); }); // checked below
        openAfterTheRun = box->isVisible();
        if (openAfterTheRun) // a failure, not a hang
            qobject_cast<QDialog*>(box)->reject();
    });
    EditorWindow::click(w.frm->band()->BtnCancelRun);
    QVERIFY(outcome.has_value());
    QVERIFY(!openAfterTheRun);
    QVERIFY(!outcome->cancelled);
}

void TestProgress::statusOfEachProfileInItsTooltipAndTheBand()
{
    auto engine = std::make_unique<RecordingEngine>();
    const QDateTime monday(QDate(2026, 12, 7), QTime(22, 0));
    engine->setHistory(QStringLiteral("Documents"), QStringLiteral("/dst"),
                       {run(Tick, 0, 1203, 412000000, true), run(Tick, 0, 1203, 412000000, true), monday});
    const QString failure = QStringLiteral("The backup medium is not available: /media/usb is missing.");
    engine->setHistory(QStringLiteral("Photos"), QStringLiteral("/media/usb"),
                       {run(Tick, 2, 0, 0, {}, failure), run(monday, 0, 1, 999, false), monday});
    EditorWindow w(Documents + "[Photos]\nDestinationFolder=/media/usb\nFrequencyOption=0\n"
                       + "[New]\nDestinationFolder=/dst\nFrequencyOption=0\nBoolDeleteBackup=1\nDeleteInterval=2 weeks\n",
                   std::move(engine));

    const QStringList expected[] = {
        {QStringLiteral("Last backup 2026/12/09 08:00, 1,203 files, 412 MB, verified")},
        {u"Last run failed: " + failure, QStringLiteral("Last backup 2026/12/07 22:00, 1 file, 999 bytes")},
        {QStringLiteral("No backup yet"),
         QStringLiteral("Old backups are not deleted: \"Delete backups older than\" has no valid age.")}};
    QCOMPARE(w.frm->LvwProfiles->columnCount(), 3);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            QCOMPARE(w.frm->LvwProfiles->topLevelItem(row)->toolTip(column), expected[row].join(u'\n'));
        }
        w.clickRow(row);
        QCOMPARE(w.frm->band()->fullText(), expected[row].join(u'\n'));
    }
    w.clickEmptySpace(); // nothing selected: nothing in the band
    QCOMPARE(w.frm->band()->fullText(), QString());

    // A run refreshes its profile's status.
    w.engine->setDuringRun([&](IBackupJob&) {
        w.engine->setHistory(QStringLiteral("Documents"), QStringLiteral("/dst"),
                             {run(Tick, 5, 0, 0, {}, QStringLiteral("2 files could not be read.")),
                              run(monday, 0, 7, 7000), monday});
    });
    w.tick(Tick);
    QCOMPARE(w.frm->LvwProfiles->topLevelItem(0)->toolTip(0),
             QStringLiteral("Last run failed: 2 files could not be read.\n"
                            "Last backup 2026/12/07 22:00, 7 files, 7.0 kB"));
}

void TestProgress::staleBackupIsWarnedAboutOnceADay()
{
    // Every 4 hours; the last successful backup was on Monday evening, and the runs since fail.
    auto engine = std::make_unique<RecordingEngine>();
    const QDateTime monday(QDate(2026, 12, 7), QTime(22, 0));
    const QString failure = QStringLiteral("The backup medium is not available.");
    for (const char* profile : {"Documents", "Manual"}) {
        engine->setHistory(QLatin1String(profile), QStringLiteral("/dst"),
                           {run(Tick, 2, 0, 0, {}, failure), run(monday, 0, 10, 10), monday});
    }
    EditorWindow w(Documents + "[Manual]\nDestinationFolder=/dst\nFrequencyOption=0\n", std::move(engine));
    w.engine->queueRunResults({2, 2});
    QSignalSpy balloons(w.frm.get(), &TFrmMain::balloonShown);
    w.tick(Tick);           // the due run fails: its own balloon
    w.tick(Tick.addSecs(1)); // nothing runs: the stale profile is warned about
    w.tick(Tick.addSecs(3600));
    QCOMPARE(balloons.size(), 2);
    QCOMPARE(balloons[1][1].toString(), u"No backup of Documents since 2026/12/07 22:00: " + failure);

    // A day later it is warned about again (after the catch-up run that fails once more);
    // "Manual" never is.
    w.tick(Tick.addDays(1).addSecs(1));
    w.tick(Tick.addDays(1).addSecs(2));
    QCOMPARE(balloons.size(), 4);
    QVERIFY(balloons[3][1].toString().startsWith(QStringLiteral("No backup of Documents since")));
}

QTEST_MAIN(TestProgress)
#include "tst_progress.moc"
