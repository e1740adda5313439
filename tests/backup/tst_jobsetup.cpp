#include "RecordingEngine.h"
#include "backup/JobSetUp.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

ProfileRecord baseRecord()
{
    ProfileRecord record;
    record.Name = u"Docs"_s;
    record.SourceFolder = u"/home/u/docs"_s;
    record.DestinationFolder = u"/media/backup"_s;
    return record;
}

// The calls on one object after its creation, without the object's name in front.
QStringList callsOn(const RecordingEngine& engine, const QString& object)
{
    QStringList calls = engine.callsOf(object);
    for (QString& call : calls)
        call.remove(0, object.size() + 1);
    return calls;
}

} // namespace

class TestJobSetUp : public QObject
{
    Q_OBJECT

private slots:
    void configureEngine();
    void setUpPutsEverythingInOrder();
    void selection_data();
    void selection();
    void jobValues_data();
    void jobValues();
    void valuesOutsideTheTablesKeepTheEarlierOnes();
    void unreadableAgeDeletesNothingAndIsToldOnce();
    void objectsAreReusedAndConfiguredAfresh();
    void entriesTakeTheirNewProfileInFull();
    void engineFailureEndsTheSetUp();
    void splitCommaList_data();
    void splitCommaList();
};

void TestJobSetUp::configureEngine()
{
    RecordingEngine engine;
    ConfigureEngine(engine, u"/home/u/.local/share/Stowkeep"_s);
    QCOMPARE(engine.calls(), (QStringList{u"engine.CatalogFolder=/home/u/.local/share/Stowkeep/Catalogs"_s,
                                          u"engine.LogFolder=/home/u/.local/share/Stowkeep/Logs"_s,
                                          u"engine.LogDetailLevel=3"_s}));
}

void TestJobSetUp::setUpPutsEverythingInOrder()
{
    RecordingEngine engine;
    EngineObjects owner;
    ProfileRecord record = baseRecord();
    record.IncludeFilter = u"*.doc"_s;
    record.ExcludeFilter = u"*.tmp"_s;
    record.CompressPassword = u"secret"_s;
    record.BoolDeleteBackup = true;
    record.DeleteInterval = 3;
    record.FrequencyOption = 3;

    SetUpJob(record, engine, owner);
    QCOMPARE(engine.calls(), (QStringList{
                                 u"engine.createFileSelection=selection#1"_s,
                                 u"engine.createBackupJob=job#1"_s,
                                 u"selection#1.FilesToProcess="_s,
                                 u"selection#1.FilesToExclude="_s,
                                 u"selection#1.IncludeItem(/home/u/docs/*.doc,-1)"_s,
                                 u"selection#1.ExcludeItem(*.tmp,-1)"_s,
                                 u"job#1.Selection=selection#1"_s,
                                 u"job#1.BackupFolder=/media/backup"_s,
                                 u"job#1.BackupSetName=Docs"_s,
                                 u"job#1.BackupType=0"_s,
                                 u"job#1.CompressionLevel=6"_s,
                                 u"job#1.EncryptionPassword=secret"_s,
                                 u"job#1.RetentionPeriod=72"_s,
                                 u"job#1.VerifyAfterBackup=-1"_s,
                             }));
    QCOMPARE(RecordingEngine::nameOf(record.FileSel), u"selection#1"_s);
    QCOMPARE(RecordingEngine::nameOf(record.Job), u"job#1"_s);
}

void TestJobSetUp::selection_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("include");
    QTest::addColumn<QString>("exclude");
    QTest::addColumn<QStringList>("items");

    QTest::newRow("no filters") << u"/src"_s << QString() << QString() << QStringList{u"IncludeItem(/src/*,-1)"_s};
    QTest::newRow("folder with /") << u"/data/"_s << QString() << QString() << QStringList{u"IncludeItem(/data/*,-1)"_s};
    QTest::newRow("root") << u"/"_s << QString() << QString() << QStringList{u"IncludeItem(/*,-1)"_s};
    QTest::newRow("no source folder: no item") << QString() << u"*.doc"_s << QString() << QStringList{};
    QTest::newRow("two masks") << u"/src"_s << u"*.doc, *.txt"_s << QString()
                               << QStringList{u"IncludeItem(/src/*.doc,-1)"_s, u"IncludeItem(/src/*.txt,-1)"_s};
    QTest::newRow("blank splits a name") << u"/src"_s << u"My File.txt"_s << QString()
                                         << QStringList{u"IncludeItem(/src/My,-1)"_s, u"IncludeItem(/src/File.txt,-1)"_s};
    QTest::newRow("quoted name stays whole") << u"/src"_s << u"\"My File.txt\""_s << QString()
                                             << QStringList{u"IncludeItem(/src/My File.txt,-1)"_s};
    QTest::newRow("quoted item trimmed") << u"/src"_s << u"\" a.txt\t\""_s << QString()
                                         << QStringList{u"IncludeItem(/src/a.txt,-1)"_s};
    QTest::newRow("only blanks: no item") << u"/src"_s << u"   "_s << QString() << QStringList{};
    QTest::newRow("trailing comma includes the folder") << u"/src"_s << u"*.doc,"_s << QString()
                                                        << QStringList{u"IncludeItem(/src/*.doc,-1)"_s, u"IncludeItem(/src/,-1)"_s};
    QTest::newRow("exclude alone") << u"/src"_s << QString() << u"*.tmp"_s
                                   << QStringList{u"IncludeItem(/src/*,-1)"_s, u"ExcludeItem(*.tmp,-1)"_s};
    QTest::newRow("both lists") << u"/src"_s << u"a*,b*"_s << u"*.bak \"old files\""_s
                                << QStringList{u"IncludeItem(/src/a*,-1)"_s, u"IncludeItem(/src/b*,-1)"_s,
                                               u"ExcludeItem(*.bak,-1)"_s, u"ExcludeItem(old files,-1)"_s};
    QTest::newRow("exclude only blanks") << u"/src"_s << QString() << u" "_s
                                         << QStringList{u"IncludeItem(/src/*,-1)"_s};
}

void TestJobSetUp::selection()
{
    QFETCH(QString, source);
    QFETCH(QString, include);
    QFETCH(QString, exclude);
    QFETCH(QStringList, items);

    RecordingEngine engine;
    EngineObjects owner;
    ProfileRecord record = baseRecord();
    record.SourceFolder = source;
    record.IncludeFilter = include;
    record.ExcludeFilter = exclude;
    SetUpJob(record, engine, owner);

    const QStringList expected = QStringList{u"FilesToProcess="_s, u"FilesToExclude="_s} + items;
    QCOMPARE(callsOn(engine, u"selection#1"_s), expected);
}

void TestJobSetUp::jobValues_data()
{
    QTest::addColumn<int>("backupType");
    QTest::addColumn<int>("compressLevel");
    QTest::addColumn<int>("frequencyOption");
    QTest::addColumn<bool>("deleteBackup");
    QTest::addColumn<int>("deleteInterval");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("password");
    // BackupType, CompressionLevel (or "-" when not put), RetentionPeriod, VerifyAfterBackup
    QTest::addColumn<QStringList>("expected");

    auto row = [](const char* name, int type, int level, int option, bool del, int interval,
                  bool verify, const QString& password, const QStringList& expected) {
        QTest::newRow(name) << type << level << option << del << interval << verify << password << expected;
    };
    row("all files, none", 0, 0, 2, false, 0, true, QString(), {u"0"_s, u"0"_s, u"-1"_s, u"-1"_s});
    row("new and modified, low", 1, 1, 2, false, 0, true, QString(), {u"2"_s, u"1"_s, u"-1"_s, u"-1"_s});
    row("medium gives 6", 0, 2, 2, false, 0, true, QString(), {u"0"_s, u"6"_s, u"-1"_s, u"-1"_s});
    row("high gives 9", 0, 3, 2, false, 0, false, QString(), {u"0"_s, u"9"_s, u"-1"_s, u"0"_s});
    row("other backup type gives 2", 7, 2, 2, false, 0, true, QString(), {u"2"_s, u"6"_s, u"-1"_s, u"-1"_s});
    row("negative backup type gives 2", -1, 2, 2, false, 0, true, QString(), {u"2"_s, u"6"_s, u"-1"_s, u"-1"_s});
    row("level 4 not put", 0, 4, 2, false, 0, true, QString(), {u"0"_s, u"-"_s, u"-1"_s, u"-1"_s});
    row("level -1 not put", 0, -1, 2, false, 0, true, QString(), {u"0"_s, u"-"_s, u"-1"_s, u"-1"_s});
    row("deletion off ignores the interval", 0, 2, 4, false, 9, true, QString(), {u"0"_s, u"6"_s, u"-1"_s, u"-1"_s});
    row("manual: days", 0, 2, 0, true, 3, true, QString(), {u"0"_s, u"6"_s, u"72"_s, u"-1"_s});
    row("minutes: hours", 0, 2, 1, true, 5, true, QString(), {u"0"_s, u"6"_s, u"5"_s, u"-1"_s});
    row("hours: hours", 0, 2, 2, true, 5, true, QString(), {u"0"_s, u"6"_s, u"5"_s, u"-1"_s});
    row("daily: days", 0, 2, 3, true, 2, true, QString(), {u"0"_s, u"6"_s, u"48"_s, u"-1"_s});
    row("weekly: weeks", 0, 2, 4, true, 2, true, QString(), {u"0"_s, u"6"_s, u"336"_s, u"-1"_s});
    row("every few days: days", 0, 2, 5, true, 1, true, QString(), {u"0"_s, u"6"_s, u"24"_s, u"-1"_s});
    row("zero interval", 0, 2, 3, true, 0, true, QString(), {u"0"_s, u"6"_s, u"0"_s, u"-1"_s});
    row("negative interval", 0, 2, 3, true, -2, true, QString(), {u"0"_s, u"6"_s, u"-48"_s, u"-1"_s});
    row("option 6 deletes nothing", 0, 2, 6, true, 2, true, QString(), {u"0"_s, u"6"_s, u"-1"_s, u"-1"_s});
    row("option -1 deletes nothing", 0, 2, -1, true, 2, true, QString(), {u"0"_s, u"6"_s, u"-1"_s, u"-1"_s});
    // 25565282 weeks would wrap round to 80 hours in 32 bits.
    row("huge retention held at the limit", 0, 2, 4, true, 25565282, true, QString(),
        {u"0"_s, u"6"_s, u"2147483647"_s, u"-1"_s});
    row("hugely negative stays negative", 0, 2, 0, true, -2147483647 - 1, true, QString(),
        {u"0"_s, u"6"_s, u"-2147483648"_s, u"-1"_s});
    row("largest plain hours", 0, 2, 1, true, 2147483647, true, u" pw "_s,
        {u"0"_s, u"6"_s, u"2147483647"_s, u"-1"_s});
}

void TestJobSetUp::jobValues()
{
    QFETCH(int, backupType);
    QFETCH(int, compressLevel);
    QFETCH(int, frequencyOption);
    QFETCH(bool, deleteBackup);
    QFETCH(int, deleteInterval);
    QFETCH(bool, verify);
    QFETCH(QString, password);
    QFETCH(QStringList, expected);

    RecordingEngine engine;
    EngineObjects owner;
    ProfileRecord record = baseRecord();
    record.BackupType = backupType;
    record.CompressLevel = compressLevel;
    record.FrequencyOption = frequencyOption;
    record.BoolDeleteBackup = deleteBackup;
    record.DeleteInterval = deleteInterval;
    record.BoolVerifyBackup = verify;
    record.CompressPassword = password;
    SetUpJob(record, engine, owner);

    QStringList puts{u"Selection=selection#1"_s, u"BackupFolder=/media/backup"_s, u"BackupSetName=Docs"_s,
                     u"BackupType="_s + expected[0]};
    if (expected[1] != u"-")
        puts.append(u"CompressionLevel="_s + expected[1]);
    puts.append(u"EncryptionPassword="_s + password);
    puts.append(u"RetentionPeriod="_s + expected[2]);
    puts.append(u"VerifyAfterBackup="_s + expected[3]);
    QCOMPARE(callsOn(engine, u"job#1"_s), puts);
}

void TestJobSetUp::valuesOutsideTheTablesKeepTheEarlierOnes()
{
    RecordingEngine engine;
    EngineObjects owner;
    ProfileRecord record = baseRecord();
    record.CompressLevel = 3;
    record.FrequencyOption = 4;
    record.BoolDeleteBackup = true;
    record.DeleteInterval = 1;
    SetUpJob(record, engine, owner);

    record.CompressLevel = 7;
    record.FrequencyOption = 9;
    engine.clearCalls();
    SetUpJob(record, engine, owner);

    const QStringList second = callsOn(engine, u"job#1"_s);
    QVERIFY(!second.filter(u"BackupSetName="_s).isEmpty());
    QVERIFY(second.filter(u"CompressionLevel="_s).isEmpty());
    QCOMPARE(engine.lastValue(u"job#1"_s, u"CompressionLevel"_s), u"9"_s);
    // Except the age for deleting backups: in no known unit, it deletes nothing.
    QCOMPARE(engine.lastValue(u"job#1"_s, u"RetentionPeriod"_s), u"-1"_s);
}

void TestJobSetUp::unreadableAgeDeletesNothingAndIsToldOnce()
{
    RecordingEngine engine;
    EngineObjects owner;
    ProfileRecord record = baseRecord();
    record.FrequencyOption = 4;
    record.BoolDeleteBackup = true;
    record.DeleteIntervalReadable = false; // DeleteInterval reads as 0
    const QString told = u"Profile \"Docs\": the age of \"Delete backups older than\" in Profiles.ini is not "
                         u"a whole number, so no old backups are deleted until the profile is saved with a "
                         u"valid age."_s;
    QTest::failOnWarning(QRegularExpression(u"Profile \"Docs\""_s));

    // Every load sets the job up again: told at the first, then again only after a load
    // that could read the age.
    const struct { bool readable; bool tell; const char* retention; } loads[] = {
        {false, true, "-1"}, {false, false, "-1"}, {true, false, "0"}, {false, true, "-1"}};
    for (const auto& load : loads) {
        record.DeleteIntervalReadable = load.readable;
        if (load.tell)
            QTest::ignoreMessage(QtWarningMsg, told.toUtf8().constData());
        SetUpJob(record, engine, owner);
        QCOMPARE(engine.lastValue(u"job#1"_s, u"RetentionPeriod"_s), QLatin1String(load.retention));
    }

    // With deletion off there is nothing to tell.
    record.Name = u"Off"_s;
    record.BoolDeleteBackup = false;
    QTest::failOnWarning(QRegularExpression(u"Profile \"Off\""_s));
    SetUpJob(record, engine, owner);
    QCOMPARE(engine.lastValue(u"job#1"_s, u"RetentionPeriod"_s), u"-1"_s);
}

void TestJobSetUp::objectsAreReusedAndConfiguredAfresh()
{
    RecordingEngine engine;
    EngineObjects owner;
    ProfileRecord record = baseRecord();
    record.IncludeFilter = u"a,b"_s;
    record.ExcludeFilter = u"*.tmp"_s;
    SetUpJob(record, engine, owner);
    IFileSelection* const selection = record.FileSel;
    IBackupJob* const job = record.Job;

    record.IncludeFilter = u"c"_s;
    record.ExcludeFilter.clear();
    engine.clearCalls();
    SetUpJob(record, engine, owner);

    QCOMPARE(record.FileSel, selection);
    QCOMPARE(record.Job, job);
    QCOMPARE(engine.selectionsCreated(), 1);
    QCOMPARE(engine.jobsCreated(), 1);
    QCOMPARE(callsOn(engine, u"selection#1"_s),
             (QStringList{u"FilesToProcess="_s, u"FilesToExclude="_s, u"IncludeItem(/home/u/docs/c,-1)"_s}));
    QCOMPARE(engine.calls().first(), u"selection#1.FilesToProcess="_s);
}

void TestJobSetUp::entriesTakeTheirNewProfileInFull()
{
    // Two entries; then the first profile is deleted and entry 0 holds the second one.
    RecordingEngine engine;
    EngineObjects owner;
    std::vector<ProfileRecord> table(2, baseRecord());
    table[1].Name = u"Photos"_s;
    table[1].SourceFolder = u"/home/u/photos/"_s;
    table[1].ExcludeFilter = u"*.raw"_s;
    table[1].BoolVerifyBackup = false;
    for (ProfileRecord& record : table)
        SetUpJob(record, engine, owner);
    QCOMPARE(RecordingEngine::nameOf(table[1].Job), u"job#2"_s);

    ProfileRecord moved = table[1];
    moved.FileSel = table[0].FileSel;
    moved.Job = table[0].Job;
    table[0] = moved;
    table.resize(1);
    engine.clearCalls();
    SetUpJob(table[0], engine, owner);

    QCOMPARE(engine.jobsCreated(), 2);
    QCOMPARE(callsOn(engine, u"selection#1"_s),
             (QStringList{u"FilesToProcess="_s, u"FilesToExclude="_s, u"IncludeItem(/home/u/photos/*,-1)"_s,
                          u"ExcludeItem(*.raw,-1)"_s}));
    QCOMPARE(engine.lastValue(u"job#1"_s, u"BackupSetName"_s), u"Photos"_s);
    QCOMPARE(engine.lastValue(u"job#1"_s, u"VerifyAfterBackup"_s), u"0"_s);
    QVERIFY(engine.callsOf(u"job#2"_s).isEmpty());
}

void TestJobSetUp::engineFailureEndsTheSetUp()
{
    RecordingEngine engine;
    EngineObjects owner;
    ProfileRecord record = baseRecord();
    engine.failOn(u"job#1.BackupSetName="_s);
    engine.setFailureMessage(u"Access denied"_s);

    try {
        SetUpJob(record, engine, owner);
        QFAIL("the engine's failure did not end the set-up");
    } catch (const EngineFailure& failure) {
        QCOMPARE(QString::fromStdString(failure.what()), u"Access denied"_s);
    }
    QCOMPARE(engine.calls().last(), u"job#1.BackupFolder=/media/backup"_s);

    // A failure to create an object leaves the record without it and puts nothing.
    RecordingEngine failing;
    failing.failOn(u"engine.createBackupJob"_s);
    ProfileRecord other = baseRecord();
    QVERIFY_THROWS_EXCEPTION(EngineFailure, SetUpJob(other, failing, owner));
    QVERIFY(other.FileSel != nullptr);
    QVERIFY(other.Job == nullptr);
    QCOMPARE(failing.calls(), QStringList{u"engine.createFileSelection=selection#1"_s});
}

void TestJobSetUp::splitCommaList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("items");

    QTest::newRow("empty") << QString() << QStringList{};
    QTest::newRow("blanks only") << u" \t "_s << QStringList{};
    QTest::newRow("one") << u"a"_s << QStringList{u"a"_s};
    QTest::newRow("comma") << u"a,b"_s << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("comma and blank") << u"a, b"_s << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("blank") << u"a b"_s << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("blanks everywhere") << u"  a  ,  b  "_s << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("control characters") << u"a\tb\u0001c\nd"_s << QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s};
    QTest::newRow("leading comma") << u",a"_s << QStringList{QString(), u"a"_s};
    QTest::newRow("two commas") << u"a,,b"_s << QStringList{u"a"_s, QString(), u"b"_s};
    QTest::newRow("trailing comma") << u"a,"_s << QStringList{u"a"_s, QString()};
    QTest::newRow("comma then blank at the end") << u"a, "_s << QStringList{u"a"_s};
    QTest::newRow("lone comma") << u","_s << QStringList{QString(), QString()};
    QTest::newRow("quoted") << u"\"a b\",c"_s << QStringList{u"a b"_s, u"c"_s};
    QTest::newRow("quoted comma") << u"\"a,b\""_s << QStringList{u"a,b"_s};
    QTest::newRow("doubled quote") << u"\"a\"\"b\""_s << QStringList{u"a\"b"_s};
    QTest::newRow("unterminated quote") << u"\"a, b"_s << QStringList{u"a, b"_s};
    QTest::newRow("text after closing quote") << u"\"a\"b"_s << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("empty quotes") << u"\"\",x"_s << QStringList{QString(), u"x"_s};
    QTest::newRow("quote inside an item") << u"a\"b"_s << QStringList{u"a\"b"_s};
    QTest::newRow("NUL ends the text") << QStringView(u"x\0y,z", 5).toString() << QStringList{u"x"_s};
    QTest::newRow("non-ASCII") << u"été,über"_s << QStringList{u"été"_s, u"über"_s};
}

void TestJobSetUp::splitCommaList()
{
    QFETCH(QString, text);
    QFETCH(QStringList, items);

    QCOMPARE(SplitCommaList(text), items);
}

QTEST_GUILESS_MAIN(TestJobSetUp)
#include "tst_jobsetup.moc"
