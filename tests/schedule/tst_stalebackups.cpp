// The stale-backup rule against a clock the test sets: a scheduled profile without a
// successful backup for longer than twice its interval (at least a day) is warned about,
// once a day; a "Manual" profile never is.

#include "schedule/StaleBackups.h"

#include <QTest>

namespace {

const QDateTime LastSuccess(QDate(2026, 11, 30), QTime(22, 0));

RunHistory history(bool succeeded, const QString& failure = QStringLiteral("The medium is missing."))
{
    RunHistory h;
    h.firstStart = LastSuccess;
    h.latest = RunSummary{LastSuccess.addDays(1), 2, 0, 0, {}, failure};
    if (succeeded)
        h.latestSuccessful = RunSummary{LastSuccess, 0, 5, 500, true, {}};
    return h;
}

} // namespace

class TestStaleBackups : public QObject
{
    Q_OBJECT

private slots:
    void dueAfterTwiceTheIntervalAndAtLeastADay_data();
    void dueAfterTwiceTheIntervalAndAtLeastADay();
    void warnedOnceADayUntilABackupSucceeds();
};

void TestStaleBackups::dueAfterTwiceTheIntervalAndAtLeastADay_data()
{
    QTest::addColumn<int>("option");
    QTest::addColumn<int>("interval");
    QTest::addColumn<qint64>("limit"); // seconds; -1: never stale
    QTest::newRow("manual") << 0 << 0 << qint64(-1);
    QTest::newRow("every 10 minutes: a day") << 1 << 10 << qint64(86400);
    QTest::newRow("every 18 hours") << 2 << 18 << qint64(36 * 3600);
    QTest::newRow("once a day") << 3 << 0 << qint64(2 * 86400);
    QTest::newRow("once a week") << 4 << 0 << qint64(14 * 86400);
    QTest::newRow("every 3 days") << 5 << 3 << qint64(6 * 86400);
    QTest::newRow("option outside the list") << 9 << 1 << qint64(-1);
}

void TestStaleBackups::dueAfterTwiceTheIntervalAndAtLeastADay()
{
    QFETCH(int, option);
    QFETCH(int, interval);
    QFETCH(qint64, limit);
    QCOMPARE(staleAfterSeconds(option, interval).value_or(-1), limit);

    const StaleBackups::Profile profile{QStringLiteral("Documents"), option, interval, history(true)};
    StaleBackups atLimit;
    StaleBackups pastLimit;
    const QDateTime edge = LastSuccess.addSecs(limit < 0 ? 365 * 86400 : limit);
    QVERIFY(atLimit.check({profile}, edge, {}).isEmpty());
    QCOMPARE(pastLimit.check({profile}, edge.addSecs(60), {}).size(), limit < 0 ? 0 : 1);
}

void TestStaleBackups::warnedOnceADayUntilABackupSucceeds()
{
    StaleBackups stale;
    const TimestampSeparators separators;
    StaleBackups::Profile daily{QStringLiteral("Documents"), 3, 0, history(true)};
    StaleBackups::Profile never{QStringLiteral("Photos"), 3, 0, history(false, {})};
    StaleBackups::Profile unrun{QStringLiteral("New"), 3, 0, RunHistory()};
    const QDateTime now = LastSuccess.addDays(3);
    QCOMPARE(stale.check({daily, never, unrun}, now, separators),
             (QStringList{"No backup of Documents since 2026/11/30 22:00: The medium is missing.",
                          "No backup of Photos has succeeded since its first run on 2026/11/30 22:00."}));
    QVERIFY(stale.check({daily, never}, now.addSecs(23 * 3600), separators).isEmpty());
    QCOMPARE(stale.check({daily, never}, now.addDays(1), separators).size(), 2);

    // A success ends the warnings; a new silence is warned about as soon as it is stale.
    daily.history.latestSuccessful->start = now.addDays(1);
    QVERIFY(stale.check({daily}, now.addDays(1).addSecs(3600), separators).isEmpty());
    QCOMPARE(stale.check({daily}, now.addDays(3).addSecs(7200), separators).size(), 1);
}

QTEST_GUILESS_MAIN(TestStaleBackups)
#include "tst_stalebackups.moc"
