// The job runner: one job at a time on a thread of its own, the media question asked on the
// window's thread, cancellation, and a progress that never goes back.

#include "RecordingEngine.h"
#include "backup/JobRunner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <future>
#include <mutex>

namespace {

// Waits, letting the event loop run, until the runner has nothing to do.
bool settle(JobRunner& runner)
{
    const QDeadlineTimer deadline(60000);
    while (runner.busy() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return !runner.busy();
}

} // namespace

class TestJobRunner : public QObject
{
    Q_OBJECT

private slots:
    void jobsRunOneAtATimeInTheOrderSubmitted();
    void mediaQuestionIsAskedOnTheWindowsThread();
    void cancelStopsTheRunningJobAndDropsTheWaitingOnes();
    void progressNeverGoesBackAndIsWholeOnlyAfterSuccess_data();
    void progressNeverGoesBackAndIsWholeOnlyAfterSuccess();
};

void TestJobRunner::jobsRunOneAtATimeInTheOrderSubmitted()
{
    RecordingEngine engine;
    JobRunner runner(engine);
    std::mutex mutex;
    QStringList events;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto job = [&](const QString& name, qint32 code) {
        JobRunner::Job j;
        j.profile = name;
        j.prepare = [&, name, code] {
            return JobRunner::Work([&, name, code] {
                {
                    std::lock_guard lock(mutex);
                    events << u"start " + name;
                }
                released.wait();
                std::lock_guard lock(mutex);
                events << u"end " + name;
                return code;
            });
        };
        return j;
    };
    QList<qint32> codes;
    QSignalSpy idle(&runner, &JobRunner::idle);
    runner.submit(job(QStringLiteral("A"), 0), [&](const JobOutcome& o) { codes << o.code; });
    runner.submit(job(QStringLiteral("B"), 5), [&](const JobOutcome& o) { codes << o.code; });
    QVERIFY(runner.running());
    QCOMPARE(runner.runningProfile(), QStringLiteral("A"));
    QTRY_COMPARE(events.size(), 1); // B waits for A
    release.set_value();
    QVERIFY(settle(runner));
    QCOMPARE(events, (QStringList{"start A", "end A", "start B", "end B"}));
    QCOMPARE(codes, (QList<qint32>{0, 5}));
    QCOMPARE(idle.size(), 1);
}

void TestJobRunner::mediaQuestionIsAskedOnTheWindowsThread()
{
    RecordingEngine engine;
    JobRunner runner(engine);
    auto job = engine.createBackupJob();
    QThread* asked = nullptr;
    runner.setOnInsertMedia([&](const QString& label, qint32) {
        asked = QThread::currentThread();
        return label == QStringLiteral("Backup disk");
    });
    engine.queueMediaRequest(QStringLiteral("Backup disk"), 1);
    runner.submitBackup(QStringLiteral("Docs"), *job, {});
    QVERIFY(settle(runner));
    QCOMPARE(asked, QThread::currentThread());
    QCOMPARE(engine.mediaAnswers(), QList<bool>{true});

    // Cancelled before it was asked: nobody is asked, and the answer is "not inserted".
    asked = nullptr;
    engine.queueMediaRequest(QStringLiteral("Backup disk"), 1);
    JobOutcome outcome;
    runner.submitBackup(QStringLiteral("Docs"), *job, [&](const JobOutcome& o) { outcome = o; });
    runner.cancel();
    QVERIFY(settle(runner));
    QCOMPARE(asked, nullptr);
    QCOMPARE(engine.mediaAnswers(), (QList<bool>{true, false}));
    QVERIFY(outcome.cancelled);
    QCOMPARE(outcome.code, engine.cancelledResult());
}

void TestJobRunner::cancelStopsTheRunningJobAndDropsTheWaitingOnes()
{
    RecordingEngine engine;
    JobRunner runner(engine);
    auto job = engine.createBackupJob();
    QList<JobOutcome> outcomes;
    engine.setDuringRun([&](IBackupJob&) { runner.cancelAll(); });
    for (const char* profile : {"First", "Second"})
        runner.submitBackup(QLatin1String(profile), *job, [&](const JobOutcome& o) { outcomes << o; });
    QVERIFY(settle(runner));
    QCOMPARE(engine.runResults(), QList<qint32>{engine.cancelledResult()});
    QCOMPARE(outcomes.size(), 2);
    QVERIFY(!outcomes[0].started); // Second, dropped at once
    QVERIFY(outcomes[1].started && outcomes[1].cancelled);

    // A job asked to stop that finishes anyway is not cancelled.
    engine.setDuringRun([&](IBackupJob&) { engine.setCancelledResult(0); runner.cancel(); });
    outcomes.clear();
    runner.submitBackup(QStringLiteral("Third"), *job, [&](const JobOutcome& o) { outcomes << o; });
    QVERIFY(settle(runner));
    QVERIFY(!outcomes[0].cancelled);
}

void TestJobRunner::progressNeverGoesBackAndIsWholeOnlyAfterSuccess_data()
{
    QTest::addColumn<qint32>("result");
    QTest::addColumn<int>("last");
    QTest::newRow("success") << 0 << 100;
    QTest::newRow("failure") << 6 << 99;
}

void TestJobRunner::progressNeverGoesBackAndIsWholeOnlyAfterSuccess()
{
    QFETCH(qint32, result);
    QFETCH(int, last);
    RecordingEngine engine;
    JobRunner runner(engine);
    runner.setProgressInterval(0);
    auto job = engine.createBackupJob();
    // Writing (with verification to come), a file that grew, all written, all checked.
    engine.queueProgress({{1, 4, 300, 1000, 0, 1000, {}},
                          {2, 4, 600, 1000, 0, 1000, {}},
                          {3, 4, 600, 1400, 0, 1400, {}},
                          {4, 4, 1400, 1400, 0, 1400, {}},
                          {4, 4, 1400, 1400, 1400, 1400, {}}});
    engine.queueRunResults({result});
    QList<int> percents;
    connect(&runner, &JobRunner::progressChanged, this, [&] { percents << runner.percent(); });
    runner.submitBackup(QStringLiteral("Docs"), *job, {});
    QVERIFY(settle(runner));

    QVERIFY2(percents.size() >= 2, qPrintable(QString::number(percents.size())));
    for (qsizetype i = 1; i < percents.size(); ++i)
        QVERIFY2(percents[i] >= percents[i - 1], qPrintable(QString::number(percents[i])));
    QCOMPARE(percents.last(), last);
    QVERIFY(!percents.mid(0, percents.size() - 1).contains(100));
}

QTEST_GUILESS_MAIN(TestJobRunner)
#include "tst_jobrunner.moc"
