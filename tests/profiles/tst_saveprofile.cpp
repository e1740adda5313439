// "Save Profile" and "Delete Profile" through the real main window: the checks and their
// messages, the exact bytes written to Profiles.ini, the reload and the selection after it.

#include "EditorWindow.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

using Setup = std::function<void(EditorWindow&)>;

// "Add Profile" and the three fields every save needs; `name` is typed as given.
void newProfile(EditorWindow& w, const QString& name, bool folders = true)
{
    w.click(w.frm->BtnAddProfile);
    QTest::keyClicks(w.frm->EdtProfileName, name);
    if (folders) {
        FolderPicker::setNextFolder(u"/s"_s);
        w.click(w.frm->BtnSelectSrc);
        FolderPicker::setNextFolder(u"/d"_s);
        w.click(w.frm->BtnSelectDst);
    }
}

Setup fresh(const QString& name, std::function<void(EditorWindow&)> then = {})
{
    return [name, then](EditorWindow& w) {
        newProfile(w, name);
        if (then)
            then(w);
    };
}

Setup edit(int row, std::function<void(EditorWindow&)> then)
{
    return [row, then](EditorWindow& w) {
        w.clickRow(row);
        then(w);
    };
}

// The section of a new profile named New with source /s, destination /d and the reset
// values, with `frequencyKeys` after FrequencyOption.
QByteArray newSection(const QByteArray& frequencyKeys, const QByteArray& deleteInterval = "10")
{
    return "[New]\nSourceFolder=/s\nDestinationFolder=/d\nIncludeFilter=\nExcludeFilter=\n" + frequencyKeys
           + "BackupType=1\nCompressLevel=2\nCompressPassword=\nBoolVerifyBackup=1\n"
             "BoolDeleteBackup=0\nDeleteInterval="
           + deleteInterval + "\nLastRun=\nNextRun=\n";
}

QByteArray withoutSection(QByteArray store, const QByteArray& name)
{
    const qsizetype start = store.indexOf(QByteArray("[" + name + "]"));
    const qsizetype next = store.indexOf('[', start + 1);
    store.remove(start, (next < 0 ? store.size() : next) - start);
    return store;
}

const QString Duplicate = u"The profile name already exists, please enter another name."_s;
const QString DuplicateByCase = u"A profile with this name already exists (names are compared "
                                u"without regard to letter case), please enter another name."_s;
const QString BadCharacters = u"Profile name can not contain \"[\", \"]\" or control characters, "
                              u"nor begin or end with a blank."_s;
const QString TooLong =
    u"Profile name is too long, please enter a shorter name. Backup files are named after the "
    u"profile, which leaves room for 200 letters, digits or blanks; an accented letter, a letter of "
    u"another alphabet or a symbol takes the room of two to four."_s;
const QString ControlIn = u" contains a line break or another control character, which cannot be stored. "_s;
const QString DeleteQuestion =
    u"Delete Profile/Do you really want to delete the selected profile?/Yes,No"_s;

} // namespace

class TestSaveProfile : public QObject
{
    Q_OBJECT

private slots:
    void failedCheckChangesNothing_data();
    void failedCheckChangesNothing();
    void saveWritesSectionAndReloads_data();
    void saveWritesSectionAndReloads();
    void failedWriteKeepsSaveEnabled();
    void saveCutShortLeavesTheProfileWhole();
    void unreadableAgeIsNeverSavedAsZero();
    void deleteAsksAndSelectsNeighbour_data();
    void deleteAsksAndSelectsNeighbour();
    void deletingOnlyProfileStartsNewProfile();
    void deleteWithoutSelectionDoesNothing();
    void failedEraseKeepsRow();
};

void TestSaveProfile::failedCheckChangesNothing_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("message");

    auto emptyField = [](SpinEdit* TFrmMain::*field) {
        return [field](EditorWindow& w) { EditorWindow::type(w.frm.get()->*field, QString()); };
    };
    auto typeName = [](QString name) {
        return [name](EditorWindow& w) { EditorWindow::type(w.frm->EdtProfileName, name); };
    };

    QTest::newRow("name and source empty") << Setup([](EditorWindow& w) { newProfile(w, {}, false); })
                                           << u"Profile name can not be blank."_s;
    QTest::newRow("no source") << Setup([](EditorWindow& w) { newProfile(w, u"N"_s, false); })
                               << u"Please select a source folder."_s;
    QTest::newRow("no destination") << Setup([](EditorWindow& w) {
        newProfile(w, u"N"_s, false);
        FolderPicker::setNextFolder(u"/s"_s);
        w.click(w.frm->BtnSelectSrc);
    }) << u"Please select a destination folder."_s;
    QTest::newRow("no interval") << fresh(u"N"_s, emptyField(&TFrmMain::EdtFrequency))
                                 << u"Please enter a backup frequency time."_s;
    QTest::newRow("no hour") << fresh(u"N"_s, [](EditorWindow& w) {
        w.chooseOption(3);
        EditorWindow::type(w.frm->SpinHour, {});
    }) << u"Please enter a starting hour."_s;
    QTest::newRow("no minute") << fresh(u"N"_s, [](EditorWindow& w) {
        w.chooseOption(5);
        EditorWindow::type(w.frm->SpinMinute, {});
    }) << u"Please enter a starting minute."_s;
    QTest::newRow("hour before minute") << fresh(u"N"_s, [](EditorWindow& w) {
        w.chooseOption(4);
        EditorWindow::type(w.frm->SpinMinute, {});
        EditorWindow::type(w.frm->SpinHour, {});
    }) << u"Please enter a starting hour."_s;
    QTest::newRow("no retention while ticked") << fresh(u"N"_s, [](EditorWindow& w) {
        w.click(w.frm->ChkDeleteBackup);
        EditorWindow::type(w.frm->SpinRetension, {});
    }) << u"Please enter a retension time."_s;
    QTest::newRow("new name taken") << fresh(u"Gamma"_s) << Duplicate;
    QTest::newRow("new name taken in other case") << fresh(u"gAMMA"_s) << DuplicateByCase;
    QTest::newRow("rename onto another") << edit(1, typeName(u"Alpha"_s)) << Duplicate;
    QTest::newRow("rename onto another in other case") << edit(1, typeName(u"DELTA"_s)) << DuplicateByCase;
    QTest::newRow("edited, then empty space") << edit(0, [](EditorWindow& w) {
        QTest::keyClick(w.frm->CboCompressLevel, Qt::Key_Up);
        w.clickEmptySpace();
    }) << Duplicate;
    QTest::newRow("closing bracket") << fresh(u"a]b"_s) << BadCharacters;
    QTest::newRow("opening bracket") << fresh(u"[a"_s) << BadCharacters;
    QTest::newRow("leading blank") << fresh(u" a"_s) << BadCharacters;
    QTest::newRow("trailing blank") << fresh(u"a "_s) << BadCharacters;
    QTest::newRow("line break") << fresh(u"x"_s, [](EditorWindow& w) {
        w.frm->EdtProfileName->setText(u"a\nb"_s);
    }) << BadCharacters;
    QTest::newRow("control character") << fresh(u"x"_s, [](EditorWindow& w) {
        w.frm->EdtProfileName->setText(u"a"_s + QChar(1) + u"b"_s);
    }) << BadCharacters;

    // Names, folders and filters that would be stored as something else, or not be found.
    auto setName = [](QString name) {
        return [name](EditorWindow& w) { w.frm->EdtProfileName->setText(name); };
    };
    QTest::newRow("pasted 17,000-character name") << fresh(u"x"_s, setName(QString(17000, u'n'))) << TooLong;
    QTest::newRow("201 bytes in 101 letters") << fresh(u"x"_s, setName(QString(100, u'\u00e9') + u'e')) << TooLong;
    QTest::newRow("line break in source folder") << Setup([](EditorWindow& w) {
        newProfile(w, u"N"_s, false);
        FolderPicker::setNextFolder(u"/s\nx"_s);
        w.click(w.frm->BtnSelectSrc);
    }) << u"The source folder's path"_s + ControlIn + u"Please choose another folder."_s;
    QTest::newRow("tab in destination folder") << fresh(u"N"_s, [](EditorWindow& w) {
        FolderPicker::setNextFolder(u"/d\tx"_s);
        w.click(w.frm->BtnSelectDst);
    }) << u"The destination folder's path"_s + ControlIn + u"Please choose another folder."_s;
    QTest::newRow("line break in exclude filter") << fresh(u"N"_s, [](EditorWindow& w) {
        w.frm->EdtExcludeFilter->setText(u"*.tmp\r\n*.bak"_s);
    }) << u"The file filter"_s + ControlIn + u"Please set up the filter again without it."_s;

    // Numbers that would be stored as typed but read back as another value.
    auto typed = [](SpinEdit* TFrmMain::*field, QString text, int option = 2) {
        return fresh(u"N"_s, [field, text, option](EditorWindow& w) {
            w.chooseOption(option);
            if (field == &TFrmMain::SpinRetension)
                w.click(w.frm->ChkDeleteBackup);
            EditorWindow::type(w.frm.get()->*field, text);
        });
    };
    const QString interval = u"The backup frequency must be a whole number of %1 from 1 to 99999."_s;
    QTest::newRow("interval 0 runs at every tick") << typed(&TFrmMain::EdtFrequency, u"0"_s) << interval.arg(u"hours"_s);
    QTest::newRow("negative interval") << typed(&TFrmMain::EdtFrequency, u"-5"_s, 5) << interval.arg(u"days"_s);
    QTest::newRow("lone minus interval") << typed(&TFrmMain::EdtFrequency, u"-"_s, 1) << interval.arg(u"minutes"_s);
    QTest::newRow("interval beyond 32 bits") << typed(&TFrmMain::EdtFrequency, u"99999999999"_s, 1)
                                             << interval.arg(u"minutes"_s);
    QTest::newRow("interval above range") << typed(&TFrmMain::EdtFrequency, u"100000"_s) << interval.arg(u"hours"_s);
    // Text the program put in (a hand-edited StartingTime) never passed through the field's focus.
    auto startingTime = [](QString hour, QString minute) {
        return fresh(u"N"_s, [hour, minute](EditorWindow& w) {
            w.chooseOption(3);
            w.frm->SpinHour->setText(hour);
            w.frm->SpinMinute->setText(minute);
        });
    };
    QTest::newRow("hour 24") << startingTime(u"24"_s, u"0"_s) << u"The starting hour must be a whole number from 0 to 23."_s;
    QTest::newRow("minute -0") << startingTime(u"6"_s, u"-0"_s)
                               << u"The starting minute must be a whole number from 0 to 59."_s;
    const QString age = u"The age in \"Delete backups older than\" must be a whole number of %1 from 0 to 1000000."_s;
    QTest::newRow("age beyond 32 bits") << typed(&TFrmMain::SpinRetension, u"99999999999"_s) << age.arg(u"hours"_s);
    QTest::newRow("lone minus age") << typed(&TFrmMain::SpinRetension, u"-"_s, 3) << age.arg(u"days"_s);
    QTest::newRow("negative age") << typed(&TFrmMain::SpinRetension, u"-1"_s, 0) << age.arg(u"days"_s);
    QTest::newRow("age above range") << typed(&TFrmMain::SpinRetension, u"1000001"_s, 4) << age.arg(u"weeks"_s);
}

void TestSaveProfile::failedCheckChangesNothing()
{
    QFETCH(Setup, setup);
    QFETCH(QString, message);
    EditorWindow w(sampleStore());
    setup(w);
    QVERIFY(w.saveEnabled());
    const QString panel = w.panel();
    const int selected = w.selectedRow();
    const QString caption = w.caption();
    shownBoxes();

    w.save(true);

    QCOMPARE(shownBoxes(), QStringList{u"Error/"_s + message + u"/OK"_s});
    QCOMPARE(w.store(), sampleStore());
    QVERIFY(w.saveEnabled());
    QCOMPARE(w.panel(), panel);
    QCOMPARE(w.selectedRow(), selected);
    QCOMPARE(w.caption(), caption);
    QCOMPARE(w.rows(), QStringList({u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Delta"_s}));
}

void TestSaveProfile::saveWritesSectionAndReloads_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("rows");

    const QByteArray sample = sampleStore();
    const QStringList sampleRows = {u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Delta"_s};
    auto option = [](int index) { return [index](EditorWindow& w) { w.chooseOption(index); }; };

    QTest::newRow("manual") << QByteArray() << fresh(u"New"_s, option(0))
                            << newSection("FrequencyOption=0\n") << QStringList{u"New"_s};
    QTest::newRow("minutes") << QByteArray() << fresh(u"New"_s, option(1))
                             << newSection("FrequencyOption=1\nFrequencyInterval=2\n") << QStringList{u"New"_s};
    QTest::newRow("hours, largest interval") << QByteArray() << fresh(u"New"_s, [](EditorWindow& w) {
        EditorWindow::type(w.frm->EdtFrequency, u"99999"_s);
    }) << newSection("FrequencyOption=2\nFrequencyInterval=99999\n") << QStringList{u"New"_s};
    QTest::newRow("daily, typed time kept as typed") << QByteArray() << fresh(u"New"_s, [](EditorWindow& w) {
        w.chooseOption(3);
        EditorWindow::type(w.frm->SpinHour, u"07"_s);
        EditorWindow::type(w.frm->SpinMinute, u"5"_s);
    }) << newSection("FrequencyOption=3\nStartingTime=07:5\n") << QStringList{u"New"_s};
    QTest::newRow("weekly") << QByteArray() << fresh(u"New"_s, option(4))
                            << newSection("FrequencyOption=4\nWeekDay=Sunday\nStartingTime=6:30\n")
                            << QStringList{u"New"_s};
    QTest::newRow("every few days") << QByteArray() << fresh(u"New"_s, option(5))
                                    << newSection("FrequencyOption=5\nFrequencyInterval=2\nStartingTime=6:30\n")
                                    << QStringList{u"New"_s};
    QTest::newRow("weekly, largest age") << QByteArray() << fresh(u"New"_s, [](EditorWindow& w) {
        w.chooseOption(4);
        w.click(w.frm->ChkDeleteBackup);
        EditorWindow::type(w.frm->SpinRetension, u"1000000"_s);
    }) << newSection("FrequencyOption=4\nWeekDay=Sunday\nStartingTime=6:30\n", "1000000")
              .replace("BoolDeleteBackup=0", "BoolDeleteBackup=1")
       << QStringList{u"New"_s};
    QTest::newRow("unticked retention may be empty") << QByteArray() << fresh(u"New"_s, [](EditorWindow& w) {
        w.click(w.frm->ChkDeleteBackup);
        EditorWindow::type(w.frm->SpinRetension, {});
        w.click(w.frm->ChkDeleteBackup);
    }) << newSection("FrequencyOption=2\nFrequencyInterval=2\n", "") << QStringList{u"New"_s};

    QTest::newRow("new profile appended") << sample << fresh(u"New"_s)
        << sample + "\n" + newSection("FrequencyOption=2\nFrequencyInterval=2\n")
        << sampleRows + QStringList{u"New"_s};

    // Keys of the earlier option stay; a missing key is added at the end of the section.
    QByteArray manual = sample;
    manual[manual.indexOf("FrequencyOption=4") + 16] = '0'; // Alpha's, the first
    manual.replace("LastRun=2026/12/01 07:05\nNextRun=2026/12/08 07:05\n", "LastRun=\nNextRun=\nExcludeFilter=\n");
    QTest::newRow("weekly switched to manual") << sample << edit(0, option(0)) << manual << sampleRows;

    const QByteArray alphaKeys =
        "SourceFolder=/src/a\nDestinationFolder=/dst/a\nIncludeFilter=*.txt\nExcludeFilter=\n"
        "FrequencyOption=4\nWeekDay=Tuesday\nStartingTime=7:05\nBackupType=0\nCompressLevel=3\n"
        "CompressPassword=secret\nBoolVerifyBackup=0\nBoolDeleteBackup=1\nDeleteInterval=4\n"
        "LastRun=\nNextRun=\n";
    QTest::newRow("rename moves to the end") << sample << edit(0, [](EditorWindow& w) {
        EditorWindow::type(w.frm->EdtProfileName, u"Zeta"_s);
    }) << withoutSection(sample, "Alpha") + "\n[Zeta]\n" + alphaKeys
       << QStringList{u"Beta"_s, u"Gamma"_s, u"Delta"_s, u"Zeta"_s};
    QTest::newRow("rename in other case") << sample << edit(0, [](EditorWindow& w) {
        EditorWindow::type(w.frm->EdtProfileName, u"ALPHA"_s);
    }) << withoutSection(sample, "Alpha") + "\n[ALPHA]\n" + alphaKeys
       << QStringList{u"Beta"_s, u"Gamma"_s, u"Delta"_s, u"ALPHA"_s};

    QByteArray copy = alphaKeys;
    copy.replace("CompressLevel=3", "CompressLevel=2");
    QTest::newRow("edited, empty space, new name") << sample << edit(0, [](EditorWindow& w) {
        QTest::keyClick(w.frm->CboCompressLevel, Qt::Key_Up);
        w.clickEmptySpace();
        EditorWindow::type(w.frm->EdtProfileName, u"Copy"_s);
    }) << sample + "\n[Copy]\n" + copy << sampleRows + QStringList{u"Copy"_s};
}

void TestSaveProfile::saveWritesSectionAndReloads()
{
    QFETCH(QByteArray, before);
    QFETCH(Setup, setup);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, rows);
    EditorWindow w(before);
    setup(w);
    const QString panel = w.panel();
    const QString name = w.frm->EdtProfileName->text();
    shownBoxes();

    w.save();

    QCOMPARE(shownBoxes(), QStringList());
    // Line by line, so that a difference shows where it is.
    QCOMPARE(QString::fromUtf8(w.store()).split(u'\n'), QString::fromUtf8(after).split(u'\n'));
    QCOMPARE(w.rows(), rows);
    const int row = int(rows.indexOf(name));
    QCOMPARE(w.selectedRow(), row);
    QCOMPARE(w.frm->LvwProfiles->topLevelItem(row)->text(1), QString());
    QCOMPARE(w.frm->LvwProfiles->topLevelItem(row)->text(2), QString());
    QCOMPARE(w.frm->profileTable().at(size_t(row)).Name, name);
    QCOMPARE(w.panel(), panel);
    QVERIFY(!w.saveEnabled());
    QCOMPARE(w.caption(), u"Profile Properties"_s);

    // Edit mode on the saved row: a change enables "Save Profile" again.
    w.click(w.frm->ChkVerifyAfterBackup);
    QVERIFY(w.saveEnabled());
}

void TestSaveProfile::failedWriteKeepsSaveEnabled()
{
    EditorWindow w(sampleStore());
    w.clickRow(1);
    QTest::keyClick(w.frm->CboCompressLevel, Qt::Key_Down);
    // A folder in the store's place: every write to it fails.
    QVERIFY(QFile::remove(w.data.storePath()));
    QVERIFY(QDir().mkdir(w.data.storePath()));

    w.save(true);

    QCOMPARE(shownBoxes(), QStringList{u"Stowkeep/Unable to write to "_s + w.data.storePath() + u"./OK"_s});
    QVERIFY(w.saveEnabled());
    QCOMPARE(w.selectedRow(), 1);
    QCOMPARE(w.rows(), QStringList({u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Delta"_s}));
}

// A save cut short, as by a disk that fills (here a limit on the size of files the test
// may write): the renamed profile is neither erased under its old name nor half written.
void TestSaveProfile::saveCutShortLeavesTheProfileWhole()
{
    EditorWindow w(sampleStore());
    w.clickRow(1);
    w.frm->EdtProfileName->clear();
    QTest::keyClicks(w.frm->EdtProfileName, u"Beta, renamed"_s);
    const QByteArray before = w.store();
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit limited = unlimited;
    limited.rlim_cur = rlim_t(before.size()); // the store without Beta fits; with all it holds now, not
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    w.save(true);

    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    QCOMPARE(shownBoxes(), QStringList{u"Stowkeep/Unable to write to "_s + w.data.storePath() + u"./OK"_s});
    QCOMPARE(w.store(), before);
    QVERIFY(w.saveEnabled());
}

void TestSaveProfile::unreadableAgeIsNeverSavedAsZero()
{
    // Written by an earlier version that took any digits: it reads as 0, "all but the newest".
    const QByteArray store = "[Old]\nSourceFolder=/s\nDestinationFolder=/d\nFrequencyOption=0\n"
                             "BoolDeleteBackup=1\nDeleteInterval=99999999999\n";
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Profile \"Old\": the age of "_s));
    EditorWindow w(store);
    QCOMPARE(w.engine->lastValue(u"job#1"_s, u"RetentionPeriod"_s), u"-1"_s);

    w.clickRow(0);
    QCOMPARE(w.frm->SpinRetension->text(), QString());
    QTest::keyClick(w.frm->CboCompressLevel, Qt::Key_Up);
    w.save(true);
    QCOMPARE(shownBoxes(), QStringList{u"Error/Please enter a retension time./OK"_s});
    QCOMPARE(w.store(), store);
}

void TestSaveProfile::deleteAsksAndSelectsNeighbour_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("gone"); // empty: nothing deleted
    QTest::addColumn<int>("selected");

    QTest::newRow("no") << 1 << 2 << QByteArray() << 1;
    QTest::newRow("first") << 0 << 1 << QByteArray("Alpha") << 0;
    QTest::newRow("middle") << 1 << 1 << QByteArray("Beta") << 1;
    QTest::newRow("last") << 3 << 1 << QByteArray("Delta") << 2;
}

void TestSaveProfile::deleteAsksAndSelectsNeighbour()
{
    QFETCH(int, row);
    QFETCH(int, answer);
    QFETCH(QByteArray, gone);
    QFETCH(int, selected);
    EditorWindow w(sampleStore());
    w.clickRow(row);
    QTest::keyClick(w.frm->CboBackupType, Qt::Key_Down); // an unsaved change
    QStringList rows = w.rows();
    if (!gone.isEmpty())
        rows.removeAll(QString::fromLatin1(gone));
    const QString panelBefore = w.panel();

    MessageBox::setNextAnswer(answer);
    w.click(w.frm->BtnDeleteProfile);

    QCOMPARE(shownBoxes(), QStringList{DeleteQuestion});
    MessageBox& box = w.frm->messageBox();
    QCOMPARE(box.buttonCount(), 1);
    QCOMPARE(box.buttonCaption(0), u"OK"_s);
    QCOMPARE(box.buttonCaption(1), u"Cancel"_s);
    QCOMPARE(w.rows(), rows);
    QCOMPARE(w.selectedRow(), selected);
    if (gone.isEmpty()) {
        QCOMPARE(w.store(), sampleStore());
        QCOMPARE(w.panel(), panelBefore);
        QVERIFY(w.saveEnabled());
        return;
    }
    QCOMPARE(w.store(), withoutSection(sampleStore(), gone));
    QCOMPARE(w.frm->EdtProfileName->text(), rows.at(selected));
    QCOMPARE(w.frm->EdtSrcFolder->text(), w.stored(rows.at(selected), u"SourceFolder"_s));
    QVERIFY(!w.saveEnabled());
    QCOMPARE(w.caption(), u"Profile Properties"_s);

    // The next box of the window shows one "OK" button again.
    w.click(w.frm->BtnAddProfile);
    w.save(true);
    QCOMPARE(shownBoxes(), QStringList{u"Error/Profile name can not be blank./OK"_s});
}

void TestSaveProfile::deletingOnlyProfileStartsNewProfile()
{
    EditorWindow w("[Solo]\nSourceFolder=/s\nDestinationFolder=/d\nFrequencyOption=3\n");
    w.clickRow(0);
    MessageBox::setNextAnswer(1);
    w.click(w.frm->BtnDeleteProfile);

    QCOMPARE(shownBoxes(), QStringList{DeleteQuestion});
    QCOMPARE(w.rows(), QStringList());
    QCOMPARE(w.store(), QByteArray());
    QCOMPARE(w.caption(), u"Add new profile here, then click \"Save Profile\" button"_s);
    QVERIFY(w.saveEnabled());
    QCOMPARE(w.panel(), u"||||||2|2||:|1|2||1|0|10"_s);
    // The table keeps the old entry until a save brings a section again.
    QCOMPARE(w.frm->profileTable().size(), size_t(1));

    QTest::keyClicks(w.frm->EdtProfileName, u"Solo"_s);
    FolderPicker::setNextFolder(u"/s"_s);
    w.click(w.frm->BtnSelectSrc);
    FolderPicker::setNextFolder(u"/d"_s);
    w.click(w.frm->BtnSelectDst);
    w.save();
    QCOMPARE(shownBoxes(), QStringList());
    QCOMPARE(w.rows(), QStringList{u"Solo"_s});
    QCOMPARE(w.selectedRow(), 0);
    QCOMPARE(w.frm->profileTable().at(0).FrequencyOption, 2);
}

void TestSaveProfile::deleteWithoutSelectionDoesNothing()
{
    for (bool emptyList : {false, true}) {
        EditorWindow w(emptyList ? QByteArray() : sampleStore());
        w.click(w.frm->BtnDeleteProfile);
        QCOMPARE(shownBoxes(), QStringList());
        QCOMPARE(w.store(), emptyList ? QByteArray() : sampleStore());
        QVERIFY(!w.frm->GboProperties->isEnabled());
    }
}

void TestSaveProfile::failedEraseKeepsRow()
{
    EditorWindow w(sampleStore());
    w.clickRow(2);
    QVERIFY(QFile::remove(w.data.storePath()));
    QVERIFY(QDir().mkdir(w.data.storePath()));

    MessageBox::setNextAnswer(1);
    MessageBox::setNextAnswer(1);
    w.click(w.frm->BtnDeleteProfile);

    QCOMPARE(shownBoxes(), QStringList({DeleteQuestion, u"Stowkeep/Unable to write to "_s
                                                            + w.data.storePath() + u"./OK"_s}));
    QCOMPARE(w.rows(), QStringList({u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Delta"_s}));
    QCOMPARE(w.selectedRow(), 2);
    QCOMPARE(w.frm->messageBox().buttonCount(), 1);
}

QTEST_MAIN(TestSaveProfile)
#include "tst_saveprofile.moc"
