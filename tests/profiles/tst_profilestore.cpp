#include "RecordingEngine.h"
#include "profiles/ProfileRecord.h"
#include "profiles/ProfileStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

// Bytes of a literal, NULs included.
template <std::size_t N>
QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class TestProfileStore : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void readString_data();
    void readString();
    void readInt_data();
    void readInt();
    void readBool_data();
    void readBool();
    void sectionNames_data();
    void sectionNames();
    void missingFileReadsAsEmpty();

    void readProfileFieldsDefaults();
    void readProfileFieldsOverwritesEveryField();

    void write_data();
    void write();
    void writtenValuesReadBack();
    void lineBreaksCannotForgeLines();
    void eraseSection_data();
    void eraseSection();
    void eraseAbsentSectionLeavesFileAlone();
    void storeIsOwnerOnly();

    void failedWriteThrowsAndKeepsTheOldFile();
    void writeWithoutFolderThrows();
    void writeOverDirectoryThrows();

    void garbageFilesLoad_data();
    void garbageFilesLoad();

private:
    void writeFile(const QByteArray& bytes) const;
    QByteArray readFile() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void TestProfileStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("Profiles.ini"));
}

void TestProfileStore::writeFile(const QByteArray& bytes) const
{
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray TestProfileStore::readFile() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void TestProfileStore::readString_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QString fb = QStringLiteral("<fallback>");
    QTest::newRow("plain") << QByteArray("[P]\nSourceFolder=/home/a\n") << "P" << "SourceFolder" << "/home/a";
    QTest::newRow("blanks around") << QByteArray("[P]\nK=  \t/home/a b \t\n") << "P" << "K" << "/home/a b";
    QTest::newRow("double quotes") << QByteArray("[P]\nK= \"  x  \" \n") << "P" << "K" << "  x  ";
    QTest::newRow("single quotes") << QByteArray("[P]\nK='x'\n") << "P" << "K" << "x";
    QTest::newRow("one pair only") << QByteArray("[P]\nK=\"\"x\"\"\n") << "P" << "K" << "\"x\"";
    QTest::newRow("mismatched quotes") << QByteArray("[P]\nK='x\"\n") << "P" << "K" << "'x\"";
    QTest::newRow("lone quote") << QByteArray("[P]\nK=\"\n") << "P" << "K" << "\"";
    QTest::newRow("empty value is not missing") << QByteArray("[P]\nK=\n") << "P" << "K" << "";
    QTest::newRow("names ignore case") << QByteArray("[pRoFiLe]\nsourcefolder=a\n") << "PROFILE" << "SourceFolder" << "a";
    QTest::newRow("non-ASCII names ignore case") << QByteArray("[Ärger]\nK=a\n") << "äRGER" << "k" << "a";
    QTest::newRow("UTF-8 value") << QByteArray("[P]\nK=Grüße\n") << "P" << "K" << "Grüße";
    QTest::newRow("CRLF") << QByteArray("[P]\r\nK=v\r\n") << "P" << "K" << "v";
    QTest::newRow("value cut at NUL") << raw("[P]\nK=ab\0cd\n") << "P" << "K" << "ab";
    QTest::newRow("equals in value") << QByteArray("[P]\nK=a=b\n") << "P" << "K" << "a=b";
    QTest::newRow("indented lines") << QByteArray("  [P]  \n  K = v\n") << "P" << "K" << "v";
    QTest::newRow("missing key") << QByteArray("[P]\nOther=1\n") << "P" << "K" << fb;
    QTest::newRow("missing section") << QByteArray("[Q]\nK=1\n") << "P" << "K" << fb;
    QTest::newRow("key of the next section") << QByteArray("[P]\n[Q]\nK=1\n") << "P" << "K" << fb;
    QTest::newRow("key before any section") << QByteArray("K=0\n[P]\n") << "P" << "K" << fb;
    QTest::newRow("comment") << QByteArray("[P]\n;K=1\n") << "P" << "K" << fb;
    QTest::newRow("line without =") << QByteArray("[P]\nK\n") << "P" << "K" << fb;
    QTest::newRow("first duplicate section") << QByteArray("[P]\nK=1\n[p]\nK=2\n") << "P" << "K" << "1";
    QTest::newRow("later duplicate unused") << QByteArray("[P]\n[p]\nK=2\n") << "P" << "K" << fb;
    QTest::newRow("first duplicate key") << QByteArray("[P]\nK=1\nk=2\n") << "P" << "K" << "1";
    QTest::newRow("text after ]") << QByteArray("[P] junk\nK=v\n") << "P" << "K" << "v";
    QTest::newRow("header without ]") << QByteArray("[P\nK=v\n") << "P" << "K" << "v";
    QTest::newRow("last line without break") << QByteArray("[P]\nK=v") << "P" << "K" << "v";

    const QByteArray longValue(3000, 'x');
    QTest::newRow("cut to 2047") << QByteArray("[P]\nK=" + longValue + '\n') << "P" << "K"
                                 << QString(2047, QLatin1Char('x'));
    QTest::newRow("2047 kept whole") << QByteArray("[P]\nK=" + longValue.left(2047) + '\n') << "P"
                                     << "K" << QString(2047, QLatin1Char('x'));
}

void TestProfileStore::readString()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    writeFile(contents);
    const ProfileStore store(m_path);
    QCOMPARE(store.readString(section, key, QStringLiteral("<fallback>")), expected);
}

void TestProfileStore::readInt_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");

    constexpr int max = std::numeric_limits<qint32>::max();
    constexpr int min = std::numeric_limits<qint32>::min();
    QTest::newRow("decimal") << QByteArray("30") << 30;
    QTest::newRow("0x") << QByteArray("0x1E") << 30;
    QTest::newRow("0X") << QByteArray("0X1e") << 30;
    QTest::newRow("$") << QByteArray("$1F") << 31;
    QTest::newRow("negative") << QByteArray("-5") << -5;
    QTest::newRow("plus") << QByteArray("+7") << 7;
    QTest::newRow("blanks") << QByteArray("  12 ") << 12;
    QTest::newRow("quoted") << QByteArray("'12'") << 12;
    QTest::newRow("largest") << QByteArray("2147483647") << max;
    QTest::newRow("smallest") << QByteArray("-2147483648") << min;
    QTest::newRow("hex full 32 bits") << QByteArray("$FFFFFFFF") << -1;
    QTest::newRow("abc") << QByteArray("abc") << 2;
    QTest::newRow("empty") << QByteArray("") << 2;
    QTest::newRow("trailing letters") << QByteArray("12abc") << 2;
    QTest::newRow("inner blank") << QByteArray("1 2") << 2;
    QTest::newRow("fraction") << QByteArray("1.5") << 2;
    QTest::newRow("prefix alone 0x") << QByteArray("0x") << 2;
    QTest::newRow("prefix alone $") << QByteArray("$") << 2;
    QTest::newRow("bad hex digit") << QByteArray("0x1G") << 2;
    QTest::newRow("too large") << QByteArray("2147483648") << 2;
    QTest::newRow("too small") << QByteArray("-2147483649") << 2;
    QTest::newRow("hex too large") << QByteArray("0x100000000") << 2;
    QTest::newRow("many digits") << QByteArray("99999999999999999999999") << 2;
    QTest::newRow("word yes") << QByteArray("yes") << 2;
}

void TestProfileStore::readInt()
{
    QFETCH(QByteArray, value);
    QFETCH(int, expected);

    writeFile("[P]\nFrequencyInterval=" + value + '\n');
    QCOMPARE(ProfileStore(m_path).readInt(QStringLiteral("P"), QStringLiteral("FrequencyInterval"), 2),
             expected);
}

void TestProfileStore::readBool_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<bool>("expected");

    QTest::newRow("yes gives default true") << QByteArray("B=yes") << true << true;
    QTest::newRow("yes gives default false") << QByteArray("B=yes") << false << false;
    QTest::newRow("0 is false") << QByteArray("B=0") << true << false;
    QTest::newRow("1 is true") << QByteArray("B=1") << false << true;
    QTest::newRow("2 is true") << QByteArray("B=2") << false << true;
    QTest::newRow("-1 is true") << QByteArray("B=-1") << false << true;
    QTest::newRow("hex zero is false") << QByteArray("B=0x0") << true << false;
    QTest::newRow("empty gives default") << QByteArray("B=") << true << true;
    QTest::newRow("missing gives default") << QByteArray("Other=0") << true << true;
}

void TestProfileStore::readBool()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, fallback);
    QFETCH(bool, expected);

    writeFile("[P]\n" + line + '\n');
    QCOMPARE(ProfileStore(m_path).readBool(QStringLiteral("P"), QStringLiteral("B"), fallback),
             expected);
}

void TestProfileStore::sectionNames_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("file order") << QByteArray("[Zeta]\n[Alpha]\nK=1\n[Mid]\n") << QStringList{u"Zeta"_s, u"Alpha"_s, u"Mid"_s};
    QTest::newRow("duplicates once") << QByteArray("[A]\n[B]\n[a]\n[b ]\n") << QStringList{u"A"_s, u"B"_s};
    QTest::newRow("empty name left out") << QByteArray("[]\n[A]\n") << QStringList{u"A"_s};
    QTest::newRow("no sections") << QByteArray("K=1\n;[A]\n") << QStringList{};
    QTest::newRow("empty file") << QByteArray() << QStringList{};
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF[First]\n[Second]\n")
                                     << QStringList{u"First"_s, u"Second"_s};

    // No size limit: 200 names of 100 bytes are more than a 16 KB list would hold.
    QByteArray many;
    QStringList all;
    for (int i = 0; i < 200; ++i) {
        all.append(QStringLiteral("%1").arg(i, 100, 10, QLatin1Char('n')));
        many += '[' + all.back().toUtf8() + "]\n";
    }
    QTest::newRow("many long names") << many << all;
}

void TestProfileStore::sectionNames()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, expected);

    writeFile(contents);
    QCOMPARE(ProfileStore(m_path).sectionNames(), expected);
}

void TestProfileStore::missingFileReadsAsEmpty()
{
    const ProfileStore store(m_path);
    QVERIFY(store.sectionNames().isEmpty());
    QCOMPARE(store.readString(QStringLiteral("P"), QStringLiteral("K"), QStringLiteral("d")), QStringLiteral("d"));
    QCOMPARE(store.readInt(QStringLiteral("P"), QStringLiteral("K"), 7), 7);
    QVERIFY(!QFile::exists(m_path));
}

void TestProfileStore::readProfileFieldsDefaults()
{
    writeFile("[Empty]\n[Other]\nSourceFolder=/x\n");
    ProfileRecord record;
    readProfileFields(ProfileStore(m_path), QStringLiteral("Empty"), record);

    QCOMPARE(record.Name, QStringLiteral("Empty"));
    QVERIFY(record.SourceFolder.isEmpty());
    QVERIFY(record.DestinationFolder.isEmpty());
    QVERIFY(record.IncludeFilter.isEmpty());
    QVERIFY(record.ExcludeFilter.isEmpty());
    QCOMPARE(record.FrequencyOption, 2);
    QCOMPARE(record.FrequencyInterval, 2);
    QCOMPARE(record.StartingTime, QStringLiteral("0:0"));
    QVERIFY(record.WeekDay.isEmpty());
    QCOMPARE(record.BackupType, 0);
    QCOMPARE(record.CompressLevel, 2);
    QVERIFY(record.CompressPassword.isEmpty());
    QCOMPARE(record.BoolVerifyBackup, true);
    QCOMPARE(record.BoolDeleteBackup, false);
    QCOMPARE(record.DeleteInterval, 0);
    QVERIFY(!record.DeleteIntervalReadable); // a missing age is not an age of 0
    QVERIFY(record.LastRun.isEmpty());
    QVERIFY(record.NextRun.isEmpty());
}

void TestProfileStore::readProfileFieldsOverwritesEveryField()
{
    writeFile("[Docs]\n"
              "sourcefolder= /home/u/docs \n"
              "DestinationFolder=/media/b\n"
              "IncludeFilter=*.doc, *.txt\n"
              "ExcludeFilter=*.tmp\n"
              "FrequencyOption=4\n"
              "FrequencyInterval=0x1E\n"
              "StartingTime=6:30\n"
              "WeekDay=Friday\n"
              "BackupType=1\n"
              "CompressLevel=3\n"
              "CompressPassword=\" secret \"\n"
              "BoolVerifyBackup=0\n"
              "BoolDeleteBackup=2\n"
              "DeleteInterval=$10\n"
              "LastRun=2026/12/09 08:00\n"
              "NextRun=2026/12/11 06:30\n"
              "[Bare]\n");

    // A record that held another profile keeps its engine objects, nothing else.
    RecordingEngine engine;
    const std::unique_ptr<IFileSelection> selection = engine.createFileSelection();
    ProfileRecord record;
    record.FileSel = selection.get();
    readProfileFields(ProfileStore(m_path), QStringLiteral("Docs"), record);
    QCOMPARE(record.Name, QStringLiteral("Docs"));
    QCOMPARE(record.SourceFolder, QStringLiteral("/home/u/docs"));
    QCOMPARE(record.DestinationFolder, QStringLiteral("/media/b"));
    QCOMPARE(record.IncludeFilter, QStringLiteral("*.doc, *.txt"));
    QCOMPARE(record.ExcludeFilter, QStringLiteral("*.tmp"));
    QCOMPARE(record.FrequencyOption, 4);
    QCOMPARE(record.FrequencyInterval, 30);
    QCOMPARE(record.StartingTime, QStringLiteral("6:30"));
    QCOMPARE(record.WeekDay, QStringLiteral("Friday"));
    QCOMPARE(record.BackupType, 1);
    QCOMPARE(record.CompressLevel, 3);
    QCOMPARE(record.CompressPassword, QStringLiteral(" secret "));
    QCOMPARE(record.BoolVerifyBackup, false);
    QCOMPARE(record.BoolDeleteBackup, true);
    QCOMPARE(record.DeleteInterval, 16);
    QVERIFY(record.DeleteIntervalReadable);
    QCOMPARE(record.LastRun, QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(record.NextRun, QStringLiteral("2026/12/11 06:30"));
    QCOMPARE(record.FileSel, selection.get());

    readProfileFields(ProfileStore(m_path), QStringLiteral("Bare"), record);
    QCOMPARE(record.Name, QStringLiteral("Bare"));
    QVERIFY(record.SourceFolder.isEmpty());
    QCOMPARE(record.FrequencyOption, 2);
    QCOMPARE(record.StartingTime, QStringLiteral("0:0"));
    QCOMPARE(record.BoolVerifyBackup, true);
    QCOMPARE(record.BoolDeleteBackup, false);
    QVERIFY(!record.DeleteIntervalReadable);
    QVERIFY(record.NextRun.isEmpty());
}

void TestProfileStore::write_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("new file") << QByteArray() << "P" << "K" << "v" << QByteArray("[P]\nK=v\n");
    QTest::newRow("new section at the end")
        << QByteArray("[A]\nK=1\n") << "B" << "X" << "y" << QByteArray("[A]\nK=1\n\n[B]\nX=y\n");
    QTest::newRow("new section after a last line without break")
        << QByteArray("[A]\nK=1") << "B" << "X" << "y" << QByteArray("[A]\nK=1\n\n[B]\nX=y\n");
    QTest::newRow("new section after a blank last line")
        << QByteArray("[A]\n\n") << "B" << "X" << "y" << QByteArray("[A]\n\n[B]\nX=y\n");
    QTest::newRow("new section keeps the name given")
        << QByteArray("[A]\n") << "Mein Profil" << "K" << "v" << QByteArray("[A]\n\n[Mein Profil]\nK=v\n");
    QTest::newRow("new key after the section's last key")
        << QByteArray("[A]\nK=1\n\n[B]\nX=y\n") << "A" << "New" << "2"
        << QByteArray("[A]\nK=1\nNew=2\n\n[B]\nX=y\n");
    QTest::newRow("new key in a section without keys")
        << QByteArray("[A]\n[B]\n") << "A" << "K" << "v" << QByteArray("[A]\nK=v\n[B]\n");
    QTest::newRow("new key in the last section without break")
        << QByteArray("[A]\nK=1") << "A" << "L" << "2" << QByteArray("[A]\nK=1\nL=2\n");
    QTest::newRow("section matched ignoring case")
        << QByteArray("[Profile]\nK=1\n") << "PROFILE" << "L" << "2" << QByteArray("[Profile]\nK=1\nL=2\n");
    QTest::newRow("first of duplicate sections")
        << QByteArray("[A]\nK=1\n[a]\nK=2\n") << "A" << "K" << "3" << QByteArray("[A]\nK=3\n[a]\nK=2\n");
    QTest::newRow("in place, other bytes kept")
        << raw("junk\xff\xfe\r\n[A]\r\n;note \x01\r\n  Key = old value \r\nZ=\xc3(\0x\r\n[B]\r\nKey=b\r\n")
        << "a" << "key" << "new"
        << raw("junk\xff\xfe\r\n[A]\r\n;note \x01\r\n  Key =new\r\nZ=\xc3(\0x\r\n[B]\r\nKey=b\r\n");
    QTest::newRow("byte order mark kept")
        << QByteArray("\xEF\xBB\xBF[A]\nK=1\n") << "A" << "K" << "2" << QByteArray("\xEF\xBB\xBF[A]\nK=2\n");
    QTest::newRow("file of only a byte order mark")
        << QByteArray("\xEF\xBB\xBF") << "A" << "K" << "v" << QByteArray("\xEF\xBB\xBF[A]\nK=v\n");
    QTest::newRow("in place on a last line without break")
        << QByteArray("[A]\nK=1") << "A" << "K" << "22" << QByteArray("[A]\nK=22");
    QTest::newRow("empty value") << QByteArray("[A]\nK=1\n") << "A" << "K" << "" << QByteArray("[A]\nK=\n");
    QTest::newRow("value written as given")
        << QByteArray() << "A" << "K" << "a 'b' c" << QByteArray("[A]\nK=a 'b' c\n");
    QTest::newRow("value that reading would change is quoted")
        << QByteArray() << "A" << "K" << " 'quoted' " << QByteArray("[A]\nK=\" 'quoted' \"\n");
}

void TestProfileStore::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    if (!before.isNull())
        writeFile(before);
    ProfileStore store(m_path);
    store.writeString(section, key, value);
    QCOMPARE(readFile(), after);
}

void TestProfileStore::writtenValuesReadBack()
{
    ProfileStore store(m_path);
    store.writeInt(QStringLiteral("P"), QStringLiteral("FrequencyOption"), -5);
    store.writeBool(QStringLiteral("P"), QStringLiteral("BoolVerifyBackup"), false);
    store.writeBool(QStringLiteral("P"), QStringLiteral("BoolDeleteBackup"), true);
    store.writeString(QStringLiteral("P"), QStringLiteral("CompressPassword"), QStringLiteral("  pass  "));
    QCOMPARE(readFile(), QByteArray("[P]\nFrequencyOption=-5\nBoolVerifyBackup=0\n"
                                    "BoolDeleteBackup=1\nCompressPassword=\"  pass  \"\n"));
    QCOMPARE(store.readInt(QStringLiteral("p"), QStringLiteral("frequencyoption"), 2), -5);
    QCOMPARE(store.readBool(QStringLiteral("P"), QStringLiteral("BoolVerifyBackup"), true), false);
    QCOMPARE(store.readBool(QStringLiteral("P"), QStringLiteral("BoolDeleteBackup"), false), true);

    // What reading would trim or unquote is written quoted, so every text reads back as
    // written: a password typed with a blank at its end encrypts with that blank.
    const QStringList texts = {"  pass  ", "pass ", "\tlead", "\"quoted\"", "'single'", "a\"b",
                               "\"", "plain", "", "x y"};
    for (const QString& text : texts) {
        store.writeString(QStringLiteral("R"), QStringLiteral("K"), text);
        QCOMPARE(store.readString(QStringLiteral("R"), QStringLiteral("K"), QStringLiteral("<none>")), text);
    }
}

void TestProfileStore::lineBreaksCannotForgeLines()
{
    ProfileStore store(m_path);
    store.writeString(QStringLiteral("A"), QStringLiteral("SourceFolder"),
                      QStringLiteral("/x\n[Evil]\r\nSourceFolder=/"));
    QCOMPARE(store.sectionNames(), QStringList{u"A"_s});
    QCOMPARE(store.readString(QStringLiteral("A"), QStringLiteral("SourceFolder"), QString()),
             QStringLiteral("/x [Evil]  SourceFolder=/"));
}

void TestProfileStore::eraseSection_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("first section with its keys and comments")
        << QByteArray("[A]\nK=1\n;c\n\n[B]\nK=2\n") << "A" << QByteArray("[B]\nK=2\n");
    QTest::newRow("middle section")
        << QByteArray("[A]\nK=1\n[B]\nK=2\n[C]\nK=3\n") << "b" << QByteArray("[A]\nK=1\n[C]\nK=3\n");
    QTest::newRow("last section without break")
        << QByteArray("[A]\r\nK=1\r\n[B]\r\nK=2") << "B" << QByteArray("[A]\r\nK=1\r\n");
    QTest::newRow("every duplicate")
        << QByteArray("[A]\nK=1\n[B]\nK=2\n[a]\nK=3\n") << "A" << QByteArray("[B]\nK=2\n");
    QTest::newRow("lines before the first section stay")
        << QByteArray("; store\n[A]\nK=1\n") << "A" << QByteArray("; store\n");
    QTest::newRow("first section after a byte order mark")
        << QByteArray("\xEF\xBB\xBF[A]\nK=1\n[B]\n") << "A" << QByteArray("\xEF\xBB\xBF[B]\n");
}

void TestProfileStore::eraseSection()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QByteArray, after);

    writeFile(before);
    ProfileStore store(m_path);
    store.eraseSection(section);
    QCOMPARE(readFile(), after);
    QVERIFY(!store.sectionNames().contains(section, Qt::CaseInsensitive));
}

void TestProfileStore::eraseAbsentSectionLeavesFileAlone()
{
    ProfileStore store(m_path);
    store.eraseSection(QStringLiteral("A"));
    QVERIFY(!QFile::exists(m_path));

    writeFile("[B]\nK=2\n");
    QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    store.eraseSection(QStringLiteral("A"));
    QCOMPARE(readFile(), QByteArray("[B]\nK=2\n"));
    // Not rewritten: a rewrite would have made it owner-only.
    QVERIFY(QFile::permissions(m_path) & QFile::ReadOther);
}

void TestProfileStore::storeIsOwnerOnly()
{
    ProfileStore store(m_path);
    store.writeString(QStringLiteral("P"), QStringLiteral("K"), QStringLiteral("v"));
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(m_path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0600));

    QVERIFY(::chmod(QFile::encodeName(m_path).constData(), 0644) == 0);
    store.writeString(QStringLiteral("P"), QStringLiteral("K"), QStringLiteral("w"));
    QCOMPARE(::stat(QFile::encodeName(m_path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0600));
}

void TestProfileStore::failedWriteThrowsAndKeepsTheOldFile()
{
    // Tests may run as root, which writes anywhere; a file-size limit still stops it, half
    // way through the new file, which must never replace the old one.
    const QByteArray old("[A]\nK=1\n[B]\nK=2\n");
    writeFile(old);
    ProfileStore store(m_path);

    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    rlimit limit = oldLimit;
    limit.rlim_cur = 4096;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);

    QString error;
    try {
        store.writeString(QStringLiteral("A"), QStringLiteral("K"), QString(100000, QLatin1Char('x')));
    } catch (const StoreError& e) {
        error = QString::fromStdString(e.what());
    }
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(error, QStringLiteral("Unable to write to ") + m_path);
    QCOMPARE(readFile(), old);
    // No temporary file is left behind.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{u"Profiles.ini"_s});
}

void TestProfileStore::writeWithoutFolderThrows()
{
    const QString path = m_dir->filePath(QStringLiteral("missing/Profiles.ini"));
    ProfileStore store(path);
    QCOMPARE(store.readInt(QStringLiteral("A"), QStringLiteral("K"), 4), 4);
    try {
        store.writeInt(QStringLiteral("A"), QStringLiteral("K"), 1);
        QFAIL("the write did not fail");
    } catch (const StoreError& e) {
        QCOMPARE(QString::fromStdString(e.what()), QStringLiteral("Unable to write to ") + path);
    }
    QVERIFY(!QFile::exists(path));
}

void TestProfileStore::writeOverDirectoryThrows()
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("Profiles.ini")));
    QFile keep(m_dir->filePath(QStringLiteral("Profiles.ini/keep")));
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.close();

    ProfileStore store(m_path);
    QVERIFY(store.sectionNames().isEmpty());
    QVERIFY_THROWS_EXCEPTION(StoreError, store.writeBool(QStringLiteral("A"), QStringLiteral("K"), true));
    QVERIFY_THROWS_EXCEPTION(StoreError, store.eraseSection(QStringLiteral("A")));
    QVERIFY(QFileInfo(m_path).isDir());
    QVERIFY(QFile::exists(m_dir->filePath(QStringLiteral("Profiles.ini/keep"))));
}

void TestProfileStore::garbageFilesLoad_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("checkNames");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("NUL bytes") << raw("[A]\n\0\0\n\0K=\0\n[B\0C]\nK=v\n") << true << QStringList{u"A"_s, u"B"_s};
    QTest::newRow("invalid UTF-8") << QByteArray("[\xff\xfe]\n\xc3=\x80\n[A]\nK=\xe2\x82\n") << true
                                   << QStringList{QString(2, QChar::ReplacementCharacter), u"A"_s};
    QTest::newRow("5 MB line") << QByteArray("[A]\nK=" + QByteArray(5 * 1024 * 1024, 'x') + "\n[B]\n") << true
                               << QStringList{u"A"_s, u"B"_s};
    QTest::newRow("5 MB header") << QByteArray('[' + QByteArray(5 * 1024 * 1024, 'h')) << true
                                 << QStringList{QString(5 * 1024 * 1024, u'h')};
    QTest::newRow("header without ]") << QByteArray("[abc\nK=v\n") << true << QStringList{u"abc"_s};
    QTest::newRow("brackets") << QByteArray("]]]][[[[\n[\n]\n[]]\n[[x]]\n") << true << QStringList{u"[x"_s};
    QTest::newRow("only line ends") << QByteArray("\r\r\r\n\n\r") << true << QStringList{};
    QTest::newRow("only equals") << QByteArray("====\n=\n[=]\n==\n") << true << QStringList{u"="_s};

    QByteArray noise(65536, '\0');
    quint32 state = 12345;
    for (char& c : noise) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    // Whatever sections the noise happens to hold: reading them must simply work.
    QTest::newRow("noise") << noise << false << QStringList{};
}

void TestProfileStore::garbageFilesLoad()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, checkNames);
    QFETCH(QStringList, names);

    writeFile(contents);
    ProfileStore store(m_path);
    const QStringList found = store.sectionNames();
    if (checkNames)
        QCOMPARE(found, names);
    for (const QString& name : found) {
        QVERIFY(store.readString(name, QStringLiteral("K"), QString()).size() <= 2047);
        ProfileRecord record;
        readProfileFields(store, name, record);
        QCOMPARE(record.Name, name);
    }

    // A new section can still be added, and the garbage stays as it was.
    store.writeString(QStringLiteral("Fresh"), QStringLiteral("K"), QStringLiteral("v"));
    QVERIFY(readFile().startsWith(contents));
    QCOMPARE(store.readString(QStringLiteral("Fresh"), QStringLiteral("K"), QString()), QStringLiteral("v"));
}

QTEST_GUILESS_MAIN(TestProfileStore)
#include "tst_profilestore.moc"
