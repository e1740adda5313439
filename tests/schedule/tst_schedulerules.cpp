#include "schedule/ScheduleRules.h"
#include "schedule/Timestamp.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Wednesday 9 December 2026, 08:00:12: the tick of the worked examples.
const LocalDateTime Tick(QDate(2026, 12, 9), QTime(8, 0, 12), Qt::UTC);

LocalDateTime at(int year, int month, int day, int hour, int minute, int second = 0)
{
    return LocalDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

TimestampSeparators separators(const QString& dateAndTime)
{
    return TimestampSeparators{dateAndTime.at(0), dateAndTime.at(1)};
}

// "Run 2026/12/09 08:15 | Place ..." : the steps as the list and the store would show them.
QString describe(const QVector<ScheduleStep>& steps, const TimestampSeparators& seps)
{
    QStringList parts;
    for (const ScheduleStep& step : steps) {
        const QString kind = step.kind == StepKind::RunStep     ? u"Run"_s
                             : step.kind == StepKind::PlaceStep ? u"Place"_s
                                                                : u"Reschedule"_s;
        parts.append(kind + u' ' + FormatTimestamp(step.next, seps));
    }
    return parts.join(u" | "_s);
}

} // namespace

class TestScheduleRules : public QObject
{
    Q_OBJECT

private slots:
    void evaluate_data();
    void evaluate();
    void weeklyCurrentMinuteRunsAtTheNextTick();

    void formatTimestamp_data();
    void formatTimestamp();
    void separatorsFromLocale_data();
    void separatorsFromLocale();
    void naiveLocalKeepsTheWallClock();
    void compareTimestamps_data();
    void compareTimestamps();
    void parseStartingTime_data();
    void parseStartingTime();
    void weekdayNumber_data();
    void weekdayNumber();
};

void TestScheduleRules::evaluate_data()
{
    QTest::addColumn<int>("option");
    QTest::addColumn<int>("interval");
    QTest::addColumn<QString>("startingTime");
    QTest::addColumn<QString>("weekDay");
    QTest::addColumn<QString>("nextRun");
    QTest::addColumn<QDateTime>("tick");
    QTest::addColumn<QString>("seps");
    QTest::addColumn<QString>("expected");

    const QString none;
    auto row = [&](const char* name, int option, int interval, const char* start, const char* day,
                   const char* next, const QString& expected, const LocalDateTime& tick = Tick,
                   const QString& seps = u"/:"_s) {
        QTest::newRow(name) << option << interval << QString::fromUtf8(start) << QString::fromUtf8(day)
                            << QString::fromUtf8(next) << tick << seps << expected;
    };

    // The worked examples.
    row("minutes, due now", 1, 15, "0:0", "", "2026/12/09 08:00", u"Run 2026/12/09 08:15"_s);
    row("hours, not placed", 2, 2, "0:0", "", "", u"Run 2026/12/09 10:00"_s);
    row("daily, passed, not placed", 3, 2, "6:30", "", "", u"Run 2026/12/10 06:30"_s);
    row("daily, missed last night", 3, 2, "22:0", "", "2026/12/08 22:00", u"Reschedule 2026/12/09 22:00"_s);
    row("every 3 days, overdue", 5, 3, "7:45", "", "2026/12/07 07:45", u"Run 2026/12/12 07:45"_s);
    row("weekly Friday, not placed", 4, 2, "18:0", "Friday", "", u"Reschedule 2026/12/11 18:00"_s);
    row("weekly Monday, missed", 4, 2, "9:0", "Monday", "2026/12/07 09:00", u"Run 2026/12/14 09:00"_s);
    row("weekly Saturday, not placed", 4, 2, "10:0", "Saturday", "", u"Reschedule 2026/12/12 10:00"_s);

    // Freshly saved profiles.
    row("fresh minutes", 1, 5, "0:0", "", "", u"Run 2026/12/09 08:05"_s);
    row("fresh daily, later today", 3, 2, "9:15", "", "", u"Place 2026/12/09 09:15"_s);
    row("fresh daily, current minute", 3, 2, "8:0", "", "", u"Place 2026/12/09 08:00 | Run 2026/12/10 08:00"_s);
    row("fresh every 2 days, passed", 5, 2, "7:0", "", "", u"Run 2026/12/11 07:00"_s);
    row("fresh every 4 days, current minute", 5, 4, "8:0", "", "", u"Place 2026/12/09 08:00 | Run 2026/12/13 08:00"_s);
    row("fresh weekly, day earlier", 4, 2, "9:0", "Monday", "", u"Run 2026/12/14 09:00"_s);
    row("fresh weekly, today ahead", 4, 2, "9:0", "Wednesday", "", u"Reschedule 2026/12/09 09:00"_s);
    row("fresh weekly, today passed", 4, 2, "7:0", "Wednesday", "", u"Run 2026/12/16 07:00"_s);
    row("fresh weekly, current minute", 4, 2, "8:0", "Wednesday", "", u"Reschedule 2026/12/09 08:00"_s);
    row("fresh weekly, Sunday passed", 4, 2, "23:59", "Sunday", "", u"Run 2026/12/13 23:59"_s);

    // Missed runs.
    row("hours missed", 2, 2, "0:0", "", "2026/12/08 10:00", u"Run 2026/12/09 10:00"_s);
    row("daily missed, passed today", 3, 2, "7:0", "", "2026/12/08 07:00", u"Run 2026/12/10 07:00"_s);
    row("weekly missed, today ahead", 4, 2, "9:0", "Wednesday", "2026/12/02 09:00", u"Reschedule 2026/12/09 09:00"_s);
    row("weekly, week turned over", 4, 2, "9:0", "Thursday", "2026/12/03 09:00", u"Reschedule 2026/12/10 09:00"_s);

    // Due now: daily takes the tick plus k, weekly the starting time plus a week.
    row("daily equal", 3, 2, "6:30", "", "2026/12/09 08:00", u"Run 2026/12/10 08:00"_s);
    row("every 3 days equal", 5, 3, "8:0", "", "2026/12/09 08:00", u"Run 2026/12/12 08:00"_s);
    row("weekly equal", 4, 2, "18:0", "Friday", "2026/12/09 08:00", u"Run 2026/12/16 18:00"_s);

    // Not due.
    row("minutes ahead", 1, 15, "0:0", "", "2026/12/09 08:01", none);
    row("daily ahead", 3, 2, "6:30", "", "2026/12/10 06:30", none);
    row("weekly ahead", 4, 2, "9:0", "Monday", "2026/12/14 09:00", none);

    // Options that never run on their own.
    row("manual", 0, 2, "0:0", "", "", none);
    row("option 6", 6, 2, "0:0", "", "", none);
    row("option -1", -1, 2, "0:0", "", "2026/01/01 00:00", none);

    // Zero and negative intervals (a hand-edited file) count as 1: never due at every tick.
    row("minutes 0", 1, 0, "0:0", "", "2026/12/09 08:00", u"Run 2026/12/09 08:01"_s);
    row("minutes -30", 1, -30, "0:0", "", "", u"Run 2026/12/09 08:01"_s);
    row("hours -1, overdue", 2, -1, "0:0", "", "2026/12/09 07:00", u"Run 2026/12/09 09:00"_s);
    row("every 0 days, passed", 5, 0, "7:0", "", "", u"Run 2026/12/10 07:00"_s);
    row("every -1 days, ahead", 5, -1, "9:0", "", "", u"Place 2026/12/09 09:00"_s);
    row("every -2 days, current minute", 5, -2, "8:0", "", "", u"Place 2026/12/09 08:00 | Run 2026/12/10 08:00"_s);

    // A next run further ahead than the rules place one (the clock was set back) is missed.
    row("hours, clock set back", 2, 2, "0:0", "", "2027/06/01 11:00", u"Run 2026/12/09 10:00"_s);
    row("daily, clock set back", 3, 2, "6:30", "", "2026/12/20 06:30", u"Run 2026/12/10 06:30"_s);
    row("weekly, clock set back", 4, 2, "9:0", "Monday", "2026/12/21 09:00", u"Run 2026/12/14 09:00"_s);
    row("every 3 days, 3 days ahead waits", 5, 3, "8:0", "", "2026/12/12 08:00", none);
    row("largest interval", 1, 2147483647, "0:0", "", "", u"Run 6110/01/01 10:07"_s);

    // NextRun texts that are no timestamps compare byte by byte all the same.
    row("letters never due", 1, 15, "0:0", "", "abc", none);
    row("daily letters never due", 3, 2, "6:30", "", "never", none);
    row("weekly letters never due", 4, 2, "6:30", "Monday", "x", none);
    row("prefix of the tick is due", 1, 15, "0:0", "", "2026/12/09", u"Run 2026/12/09 08:15"_s);

    // Starting times that cannot be read leave the profile unscheduled.
    row("daily 25:0", 3, 2, "25:0", "", "", none);
    row("weekly abc", 4, 2, "abc", "Monday", "", none);
    row("every few days empty", 5, 2, "", "", "2026/12/01 00:00", none);
    row("minutes ignore the starting time", 1, 15, "abc", "", "", u"Run 2026/12/09 08:15"_s);

    // Calendar edges.
    row("daily over the year end", 3, 2, "0:0", "", "", u"Run 2027/01/01 00:00"_s, at(2026, 12, 31, 23, 59, 30));
    row("hours over midnight", 2, 2, "0:0", "", "", u"Run 2027/01/01 01:30"_s, at(2026, 12, 31, 23, 30));
    row("weekly Saturday from Sunday", 4, 2, "10:0", "Saturday", "", u"Reschedule 2026/12/19 10:00"_s, at(2026, 12, 13, 9, 0));
    row("other case counts as Saturday", 4, 2, "8:0", "saturday", "", u"Run 2026/12/19 08:00"_s, at(2026, 12, 12, 9, 0));
    row("leap day", 5, 1, "6:0", "", "2028/02/28 06:00", u"Run 2028/03/01 06:00"_s, at(2028, 2, 29, 7, 0));

    // A next run never passes the last minute of year 9999, so it stays in the future.
    const QString latest = u"9999/12/31 23:59"_s;
    row("100,000,000 hours", 2, 100000000, "", "", "", u"Run "_s + latest);
    row("largest interval in days", 5, 2147483647, "6:0", "", "2026/12/08 06:00", u"Run "_s + latest);
    row("waiting at the end of time", 2, 100000000, "", "", "9999/12/31 23:59", none);

    // Separators: texts made under other separators compare by time all the same.
    row("dotted, due", 1, 15, "0:0", "", "2026.12.09 08:00", u"Run 2026.12.09 08:15"_s, Tick, u".:"_s);
    row("slash text under dots, missed", 1, 15, "0:0", "", "2026/12/08 08:00", u"Run 2026.12.09 08:15"_s, Tick, u".:"_s);
    row("slash text under dots, ahead", 1, 15, "0:0", "", "2026/12/09 08:10", none, Tick, u".:"_s);
    row("dotted daily, current minute", 3, 2, "8:0", "", "", u"Place 2026.12.09 08:00 | Run 2026.12.10 08:00"_s, Tick, u".:"_s);
}

void TestScheduleRules::evaluate()
{
    QFETCH(int, option);
    QFETCH(int, interval);
    QFETCH(QString, startingTime);
    QFETCH(QString, weekDay);
    QFETCH(QString, nextRun);
    QFETCH(QDateTime, tick);
    QFETCH(QString, seps);
    QFETCH(QString, expected);

    const ScheduleInput profile{option, interval, startingTime, weekDay, nextRun};
    const TimestampSeparators s = separators(seps);
    QCOMPARE(describe(EvaluateSchedule(profile, tick, s), s), expected);
}

void TestScheduleRules::weeklyCurrentMinuteRunsAtTheNextTick()
{
    const TimestampSeparators s;
    ScheduleInput profile{4, 2, u"8:0"_s, u"Wednesday"_s, QString()};

    const QVector<ScheduleStep> first = EvaluateSchedule(profile, Tick, s);
    QCOMPARE(describe(first, s), u"Reschedule 2026/12/09 08:00"_s);

    profile.nextRun = FormatTimestamp(first.front().next, s);
    const QVector<ScheduleStep> next = EvaluateSchedule(profile, Tick.addSecs(1), s);
    QCOMPARE(describe(next, s), u"Run 2026/12/16 08:00"_s);

    // The run moved NextRun a week on: the following tick in the same minute does nothing.
    profile.nextRun = FormatTimestamp(next.front().next, s);
    QVERIFY(EvaluateSchedule(profile, Tick.addSecs(2), s).isEmpty());
}

void TestScheduleRules::formatTimestamp_data()
{
    QTest::addColumn<QDateTime>("value");
    QTest::addColumn<QString>("seps");
    QTest::addColumn<QString>("expected");

    const LocalDateTime late(QDate(2026, 12, 6), QTime(13, 5, 59, 999), Qt::UTC);
    QTest::newRow("seconds dropped") << late << u"/:"_s << u"2026/12/06 13:05"_s;
    QTest::newRow("dots") << late << u".:"_s << u"2026.12.06 13:05"_s;
    QTest::newRow("other time separator") << late << u"-."_s << u"2026-12-06 13.05"_s;
    QTest::newRow("midnight") << at(2027, 1, 1, 0, 0) << u"/:"_s << u"2027/01/01 00:00"_s;
    QTest::newRow("last minute") << at(2026, 12, 31, 23, 59, 59) << u"/:"_s << u"2026/12/31 23:59"_s;
    QTest::newRow("year 1000") << at(1000, 1, 2, 3, 4) << u"/:"_s << u"1000/01/02 03:04"_s;
    QTest::newRow("year 9999") << at(9999, 12, 31, 23, 59) << u"/:"_s << u"9999/12/31 23:59"_s;
    QTest::newRow("year 999 padded") << at(999, 5, 6, 7, 8) << u"/:"_s << u"0999/05/06 07:08"_s;
    QTest::newRow("invalid") << QDateTime() << u"/:"_s << QString();
}

void TestScheduleRules::formatTimestamp()
{
    QFETCH(QDateTime, value);
    QFETCH(QString, seps);
    QFETCH(QString, expected);

    QCOMPARE(FormatTimestamp(value, separators(seps)), expected);
}

void TestScheduleRules::separatorsFromLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");

    QTest::newRow("C") << QLocale::c() << u"/:"_s;
    QTest::newRow("de_DE") << QLocale(u"de_DE"_s) << u".:"_s;
    QTest::newRow("en_US") << QLocale(u"en_US"_s) << u"/:"_s;
    QTest::newRow("nl_NL") << QLocale(u"nl_NL"_s) << u"-:"_s;
    QTest::newRow("ar_EG, right-to-left marks skipped") << QLocale(u"ar_EG"_s) << u"/:"_s;
}

void TestScheduleRules::separatorsFromLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);

    const TimestampSeparators s = ::separatorsFromLocale(locale);
    QCOMPARE(QString(s.date) + s.time, expected);
}

void TestScheduleRules::naiveLocalKeepsTheWallClock()
{
    const QDateTime reading(QDate(2026, 12, 9), QTime(8, 0, 12, 345), Qt::LocalTime);
    const LocalDateTime naive = naiveLocal(reading);
    QCOMPARE(naive.timeSpec(), Qt::UTC);
    QCOMPARE(naive.date(), reading.date());
    QCOMPARE(naive.time(), reading.time());
    // A day later is the same clock time, whatever the local zone does in between.
    QCOMPARE(naive.addDays(1).time(), reading.time());
}

void TestScheduleRules::compareTimestamps_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");

    QTest::newRow("equal") << u"2026/12/09 08:00"_s << u"2026/12/09 08:00"_s << 0;
    QTest::newRow("both empty") << QString() << QString() << 0;
    QTest::newRow("earlier minute") << u"2026/12/09 07:59"_s << u"2026/12/09 08:00"_s << -1;
    QTest::newRow("later year") << u"2027/01/01 00:00"_s << u"2026/12/31 23:59"_s << 1;
    QTest::newRow("empty is smallest") << QString() << u"0"_s << -1;
    QTest::newRow("non-empty over empty") << u" "_s << QString() << 1;
    QTest::newRow("prefix is smaller") << u"2026/12/09"_s << u"2026/12/09 08:00"_s << -1;
    QTest::newRow("longer is greater") << u"2026/12/09 08:00x"_s << u"2026/12/09 08:00"_s << 1;
    QTest::newRow("letters after digits") << u"abc"_s << u"2026/12/09 08:00"_s << 1;
    QTest::newRow("by time across separators") << u"2026/12/08 08:00"_s << u"2026.12.09 08:00"_s << -1;
    QTest::newRow("same time, other separators") << u"2026/12/09 08:00"_s << u"2026.12.09 08.00"_s << 0;
    QTest::newRow("bytes are unsigned") << u"é"_s << u"z"_s << 1;
    QTest::newRow("first difference decides") << u"2026/12/09 08:00"_s << u"2026/12/1"_s << -1;
}

void TestScheduleRules::compareTimestamps()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);

    const int order = CompareTimestamps(a, b);
    QCOMPARE((order > 0) - (order < 0), expected);
    const int reverse = CompareTimestamps(b, a);
    QCOMPARE((reverse > 0) - (reverse < 0), -expected);
}

void TestScheduleRules::parseStartingTime_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("hour");
    QTest::addColumn<int>("minute");

    QTest::newRow("6:30") << u"6:30"_s << true << 6 << 30;
    QTest::newRow("0:0") << u"0:0"_s << true << 0 << 0;
    QTest::newRow("23:59") << u"23:59"_s << true << 23 << 59;
    QTest::newRow("leading zero") << u"07:5"_s << true << 7 << 5;
    QTest::newRow("blanks") << u" 7 : 05 "_s << true << 7 << 5;
    QTest::newRow("no colon") << u"7"_s << false << 0 << 0;
    QTest::newRow("hour 24") << u"24:0"_s << false << 0 << 0;
    QTest::newRow("hour 25") << u"25:0"_s << false << 0 << 0;
    QTest::newRow("minute 60") << u"0:60"_s << false << 0 << 0;
    QTest::newRow("abc") << u"abc"_s << false << 0 << 0;
    QTest::newRow("empty") << QString() << false << 0 << 0;
    QTest::newRow("colon only") << u":"_s << false << 0 << 0;
    QTest::newRow("no minute") << u"7:"_s << false << 0 << 0;
    QTest::newRow("no hour") << u":5"_s << false << 0 << 0;
    QTest::newRow("negative") << u"-1:0"_s << false << 0 << 0;
    QTest::newRow("seconds") << u"7:5:0"_s << false << 0 << 0;
    QTest::newRow("hexadecimal") << u"0x7:0"_s << false << 0 << 0;
    QTest::newRow("huge") << u"99999999999999999999:0"_s << false << 0 << 0;
}

void TestScheduleRules::parseStartingTime()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, hour);
    QFETCH(int, minute);

    const std::optional<StartingTime> parsed = ParseStartingTime(text);
    QCOMPARE(parsed.has_value(), valid);
    if (parsed) {
        QCOMPARE(parsed->hour, hour);
        QCOMPARE(parsed->minute, minute);
    }
}

void TestScheduleRules::weekdayNumber_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected");

    QTest::newRow("Sunday") << u"Sunday"_s << 0;
    QTest::newRow("Monday") << u"Monday"_s << 1;
    QTest::newRow("Tuesday") << u"Tuesday"_s << 2;
    QTest::newRow("Wednesday") << u"Wednesday"_s << 3;
    QTest::newRow("Thursday") << u"Thursday"_s << 4;
    QTest::newRow("Friday") << u"Friday"_s << 5;
    QTest::newRow("Saturday") << u"Saturday"_s << 6;
    QTest::newRow("empty") << QString() << 6;
    QTest::newRow("other case") << u"monday"_s << 6;
    QTest::newRow("other language") << u"Montag"_s << 6;
    QTest::newRow("trailing blank") << u"Friday "_s << 6;
}

void TestScheduleRules::weekdayNumber()
{
    QFETCH(QString, name);
    QFETCH(int, expected);

    QCOMPARE(WeekdayNumber(name), expected);
}

QTEST_GUILESS_MAIN(TestScheduleRules)
#include "tst_schedulerules.moc"
