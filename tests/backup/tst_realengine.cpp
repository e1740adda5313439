// The program with the real engine: a profile run from the main window writes a backup that
// reads back byte for byte, and the engine's question for a missing medium reaches the user
// on the window's thread while the backup waits on its own.

#include "BackupEngine.h"
#include "EditorWindow.h"
#include "backup/EngineAdapter.h"
#include "backup/JobRunner.h"
#include "profiles/ProfileStore.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QStringList backupsIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

// Full backups of the set on each of the last `days` days, made by the engine with its
// clock set back, into the catalog of the data folder.
void backUpOnEarlierDays(const QString& dataFolder, const QString& source, const QString& destination,
                         const QString& set, int days)
{
    namespace engine = stowkeep::engine;
    engine::BackupEngine backup;
    backup.setCatalogFolder(QString(dataFolder + u"/Catalogs").toStdString());
    backup.setLogFolder(QString(dataFolder + u"/Logs").toStdString());
    engine::FileSelection selection;
    selection.IncludeItem(QString(source + u"/*").toStdString(), -1);
    engine::BackupJob job;
    job.setBackupFolder(destination.toStdString());
    job.setBackupSetName(set.toStdString());
    job.setSelection(&selection);
    for (int day = days; day >= 1; --day) {
        engine::BackupEngine::TestHooks hooks;
        hooks.clock = [day] { return std::chrono::system_clock::now() - std::chrono::hours(24 * day); };
        backup.setTestHooks(hooks);
        QCOMPARE(backup.RunJob(job), 0);
    }
}

} // namespace

class TestRealEngine : public QObject
{
    Q_OBJECT

private slots:
    void manualRunWritesBackupThatRestores_data();
    void manualRunWritesBackupThatRestores();
    void missingMediumIsAskedOnTheWindowThread();
    void progressAndStatusOfRealBackups();
    void ageTooLargeKeepsEveryBackup_data();
    void ageTooLargeKeepsEveryBackup();
    void longestNameNamesItsBackup();
};

void TestRealEngine::manualRunWritesBackupThatRestores_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("plain") << QString();
    QTest::newRow("encrypted") << QStringLiteral("s3cret pass");
}

void TestRealEngine::manualRunWritesBackupThatRestores()
{
    QFETCH(QString, password);
    DataFolderFixture data;
    const QString source = data.root() + u"/source";
    const QString destination = data.root() + u"/backups";
    writeFile(source + u"/letter.txt", "Dear Ann,\n");
    writeFile(source + u"/photos/a.bin", QByteArray(100000, '\x7f'));
    QDir().mkpath(destination);
    data.writeStore("[Docs]\nSourceFolder=" + source.toUtf8() + "\nDestinationFolder=" + destination.toUtf8()
                    + "\nFrequencyOption=0\nCompressPassword=" + password.toUtf8() + "\n");

    auto frm = makeMainWindow(std::make_unique<EngineAdapter>());
    MessageBox::takeShown();
    frm->LvwProfiles->setCurrentItem(frm->LvwProfiles->topLevelItem(0));
    QTest::mouseClick(frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));

    QVERIFY(MessageBox::takeShown().isEmpty());
    const QStringList backups = backupsIn(destination);
    QCOMPARE(backups.size(), 1);
    QVERIFY(backups[0].startsWith(QStringLiteral("Docs_")));
    QVERIFY(backups[0].endsWith(QStringLiteral("_full.zip")));
    QVERIFY(!ProfileStore(data.storePath()).readString(QStringLiteral("Docs"), QStringLiteral("LastRun"), {}).isEmpty());
    QVERIFY(QFileInfo::exists(data.dataFolder() + u"/Catalogs/catalog.db"));
    QVERIFY(!QDir(data.dataFolder() + u"/Logs").entryList({QStringLiteral("*.log")}).isEmpty());

    // 7-Zip restores the files byte for byte (through the inner archive when encrypted).
    if (QStandardPaths::findExecutable(QStringLiteral("7z")).isEmpty())
        QSKIP("7z is not installed");
    const QString restored = data.root() + u"/restored";
    QString archive = destination + u'/' + backups[0];
    if (!password.isEmpty()) {
        const QString inner = data.root() + u"/inner";
        QCOMPARE(QProcess::execute(QStringLiteral("7z"), {"x", "-y", "-p" + password, "-o" + inner, archive}), 0);
        // Named after the backup, never exactly like it: extracted beside it, it cannot replace it.
        const QStringList extracted = QDir(inner).entryList(QDir::Files);
        QCOMPARE(extracted, QStringList {QString(backups[0]).replace(QStringLiteral(".zip"), QStringLiteral("-contents.zip"))});
        archive = inner + u'/' + extracted[0];
    }
    QCOMPARE(QProcess::execute(QStringLiteral("7z"), {"x", "-y", "-o" + restored, archive}), 0);
    QFile letter(restored + u"/letter.txt");
    QVERIFY(letter.open(QIODevice::ReadOnly));
    QCOMPARE(letter.readAll(), QByteArray("Dear Ann,\n"));
    QFile photo(restored + u"/photos/a.bin");
    QVERIFY(photo.open(QIODevice::ReadOnly));
    QCOMPARE(photo.readAll(), QByteArray(100000, '\x7f'));
}

void TestRealEngine::missingMediumIsAskedOnTheWindowThread()
{
    DataFolderFixture data;
    const QString source = data.root() + u"/source";
    const QString destination = data.root() + u"/drive";
    writeFile(source + u"/file.txt", "content");
    data.writeStore("[Drive]\nSourceFolder=" + source.toUtf8() + "\nDestinationFolder=" + destination.toUtf8()
                    + "\nFrequencyOption=0\n");
    auto frm = makeMainWindow(std::make_unique<EngineAdapter>());
    MessageBox::takeShown();

    // "Cancel": the run ends without writing, and the user is told.
    MessageBox::setNextAnswer(2);
    MessageBox::setNextAnswer(1);
    frm->LvwProfiles->setCurrentItem(frm->LvwProfiles->topLevelItem(0));
    QTest::mouseClick(frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QList<MessageBox::Shown> shown = MessageBox::takeShown();
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[0].caption, QStringLiteral("Insert Media"));
    QCOMPARE(shown[0].text, u"Please insert " + destination);
    QCOMPARE(shown[1].caption, QStringLiteral("Error"));
    QVERIFY(shown[1].text.startsWith(QStringLiteral("Error backing up files. Error description: ")));
    QVERIFY(!QFileInfo::exists(destination));

    // "OK" after plugging the drive in, in a real box: the backup is written.
    const QThread* windowThread = QThread::currentThread();
    bool askedOnWindowThread = false;
    QString prompt;
    // The question comes once the backup's thread reaches it: look for the box until then.
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, frm.get(), [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        askedOnWindowThread = QThread::currentThread() == windowThread;
        prompt = box->text();
        QDir().mkpath(destination);
        for (QAbstractButton* button : box->buttons())
            if (button->text() == QStringLiteral("OK"))
                button->click();
    });
    poll.start();
    QTest::mouseClick(frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QVERIFY(askedOnWindowThread);
    QCOMPARE(prompt, u"Please insert " + destination);
    QCOMPARE(backupsIn(destination).size(), 1);
    QVERIFY(MessageBox::takeShown().size() == 1); // the prompt, and no error
}

void TestRealEngine::progressAndStatusOfRealBackups()
{
    QTemporaryDir files;
    const QString source = files.path() + u"/source";
    const QString destination = files.path() + u"/backups";
    for (int i = 0; i < 30; ++i)
        writeFile(source + QStringLiteral("/file%1.bin").arg(i), QByteArray(200000, char('a' + i % 26)));
    QDir().mkpath(destination);
    EditorWindow w("[Docs]\nSourceFolder=" + source.toUtf8() + "\nDestinationFolder=" + destination.toUtf8()
                       + "\nFrequencyOption=0\n",
                   std::make_unique<EngineAdapter>());
    QList<int> percents;
    connect(&w.frm->runner(), &JobRunner::progressChanged, this, [&] { percents << w.frm->runner().percent(); });
    w.clickRow(0);
    w.runProfile();

    QCOMPARE(shownBoxes(), QStringList());
    QVERIFY(!percents.isEmpty());
    for (qsizetype i = 1; i < percents.size(); ++i)
        QVERIFY2(percents[i] >= percents[i - 1], qPrintable(QString::number(percents[i])));
    QCOMPARE(percents.last(), 100);
    QVERIFY(!percents.mid(0, percents.size() - 1).contains(100));
    const auto tooltip = [&w] { return w.frm->LvwProfiles->topLevelItem(0)->toolTip(0); };
    QVERIFY2(tooltip().endsWith(QStringLiteral(", 30 files, 6.0 MB, verified")), qPrintable(tooltip()));

    // A failed run: its text from the catalog, and the last successful backup below it.
    QDir(source).removeRecursively();
    MessageBox::setNextAnswer(1);
    w.runProfile();
    QVERIFY2(tooltip().startsWith(QStringLiteral("Last run failed: A folder to back up was not found")),
             qPrintable(tooltip()));
    QVERIFY(tooltip().contains(QStringLiteral("\nLast backup ")));
    // Long lines are broken between words.
    for (const QString& line : tooltip().split(u'\n'))
        QVERIFY2(line.size() <= 80, qPrintable(line));
}

void TestRealEngine::ageTooLargeKeepsEveryBackup_data()
{
    QTest::addColumn<bool>("typed"); // typed and refused, or left in the store by an earlier version
    QTest::newRow("typed into the window") << true;
    QTest::newRow("already in the store") << false;
}

void TestRealEngine::ageTooLargeKeepsEveryBackup()
{
    QFETCH(bool, typed);
    const QString tooLarge = QStringLiteral("99999999999"); // does not fit 32 bits: once read as 0
    QTemporaryDir files;
    const QString source = files.path() + u"/source";
    const QString destination = files.path() + u"/backups";
    writeFile(source + u"/letter.txt", "Dear Ann,\n");
    QDir().mkpath(destination);
    const QByteArray store = "[Docs]\nSourceFolder=" + source.toUtf8() + "\nDestinationFolder="
                             + destination.toUtf8() + "\nFrequencyOption=0\nBoolDeleteBackup=1\nDeleteInterval="
                             + (typed ? QByteArray("30") : tooLarge.toUtf8()) + "\n";
    if (!typed)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Profile \"Docs\": the age")));
    EditorWindow w(store, std::make_unique<EngineAdapter>());
    backUpOnEarlierDays(w.data.dataFolder(), source, destination, QStringLiteral("Docs"), 3);
    const QStringList earlier = backupsIn(destination);
    QCOMPARE(earlier.size(), 3);

    w.clickRow(0);
    if (typed) {
        EditorWindow::type(w.frm->SpinRetension, tooLarge);
        w.save(true);
        QCOMPARE(shownBoxes(), QStringList{QStringLiteral("Error/The age in \"Delete backups older than\" must "
                                                          "be a whole number of days from 0 to 1000000./OK")});
        QCOMPARE(w.store(), store);
    }
    w.runProfile();

    QCOMPARE(shownBoxes(), QStringList());
    const QStringList after = backupsIn(destination);
    QCOMPARE(after.size(), 4);
    for (const QString& backup : earlier)
        QVERIFY2(after.contains(backup), qPrintable(backup + u" was deleted"));
}

void TestRealEngine::longestNameNamesItsBackup()
{
    // 200 bytes in 100 letters: the longest name the editor takes.
    const QString name(100, QChar(u'\u00e9'));
    QTemporaryDir files;
    const QString source = files.path() + u"/source";
    const QString destination = files.path() + u"/backups";
    writeFile(source + u"/letter.txt", "Dear Ann,\n");
    QDir().mkpath(destination);
    EditorWindow w(QByteArray(), std::make_unique<EngineAdapter>());

    w.click(w.frm->BtnAddProfile);
    w.frm->EdtProfileName->setText(name);
    FolderPicker::setNextFolder(source);
    w.click(w.frm->BtnSelectSrc);
    FolderPicker::setNextFolder(destination);
    w.click(w.frm->BtnSelectDst);
    w.chooseOption(0);
    w.save();
    QCOMPARE(w.rows(), QStringList{name});
    w.runProfile();

    QCOMPARE(shownBoxes(), QStringList());
    const QStringList backups = backupsIn(destination);
    QCOMPARE(backups.size(), 1);
    QVERIFY2(backups[0].startsWith(name + u"_"), qPrintable(backups[0]));
}

QTEST_MAIN(TestRealEngine)
#include "tst_realengine.moc"
