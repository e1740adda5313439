// The program with the real engine: a profile run from the main window writes a backup that
// reads back byte for byte, and the engine's question for a missing medium reaches the user
// on the window's thread while the backup waits on its own.

#include "MainWindowFixture.h"
#include "backup/EngineAdapter.h"
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

} // namespace

class TestRealEngine : public QObject
{
    Q_OBJECT

private slots:
    void manualRunWritesBackupThatRestores_data();
    void manualRunWritesBackupThatRestores();
    void missingMediumIsAskedOnTheWindowThread();
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
        archive = inner + u'/' + backups[0];
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
    QVERIFY(askedOnWindowThread);
    QCOMPARE(prompt, u"Please insert " + destination);
    QCOMPARE(backupsIn(destination).size(), 1);
    QVERIFY(MessageBox::takeShown().size() == 1); // the prompt, and no error
}

QTEST_MAIN(TestRealEngine)
#include "tst_realengine.moc"
