// The restore window with the real engine: backups made in a temporary folder, the window
// opened from the main window, a run chosen, a folder ticked, restored to another folder;
// and the question for the password of backups made before the profile's password changed.

#include "BackupEngine.h"
#include "MainWindowFixture.h"
#include "backup/EngineAdapter.h"
#include "backup/JobRunner.h"
#include "restore/FileTreeModel.h"
#include "restore/RestoreWindow.h"
#include "restore/RunPasswordDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <condition_variable>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// One backup of the source by the engine, `daysAgo` days back by its clock.
void backUp(const QString& dataFolder, const QString& source, const QString& destination, const QString& password,
            int daysAgo)
{
    namespace engine = stowkeep::engine;
    engine::BackupEngine backup;
    backup.setCatalogFolder(QString(dataFolder + u"/Catalogs").toStdString());
    backup.setLogFolder(QString(dataFolder + u"/Logs").toStdString());
    engine::FileSelection selection;
    selection.IncludeItem(QString(source + u"/*").toStdString(), -1);
    engine::BackupJob job;
    job.setBackupFolder(destination.toStdString());
    job.setBackupSetName("Docs");
    job.setBackupType(engine::NewAndModified);
    job.setEncryptionPassword(password.toStdString());
    job.setSelection(&selection);
    engine::BackupEngine::TestHooks hooks;
    hooks.clock = [daysAgo] { return std::chrono::system_clock::now() - std::chrono::hours(24 * daysAgo); };
    backup.setTestHooks(hooks);
    QCOMPARE(backup.RunJob(job), 0);
}

struct Fixture
{
    DataFolderFixture data;
    QString source = data.root() + u"/source";
    QString destination = data.root() + u"/backups";
    QString out = data.root() + u"/out";

    // A full backup with docs/a.txt "v1", then an incremental one with "v2".
    void makeChain(const QString& backupPassword, const QString& profilePassword)
    {
        QDir().mkpath(destination);
        writeFile(source + u"/docs/a.txt", "v1");
        writeFile(source + u"/docs/sub/c.txt", "c");
        writeFile(source + u"/photos/p.bin", QByteArray(5000, 'p'));
        writeFile(source + u"/top.txt", "top");
        backUp(data.dataFolder(), source, destination, backupPassword, 2);
        writeFile(source + u"/docs/a.txt", "v2");
        backUp(data.dataFolder(), source, destination, backupPassword, 1);
        data.writeStore("[Docs]\nSourceFolder=" + source.toUtf8() + "\nDestinationFolder=" + destination.toUtf8()
                        + "\nFrequencyOption=0\nBackupType=1\nCompressPassword=" + profilePassword.toUtf8() + "\n");
    }
};

// Holds a real restore at its first write to a restored file, with the file's temporary
// name on the disk, until released (the test's end releases it too).
class WriteGate
{
public:
    explicit WriteGate(EngineAdapter& engine)
    {
        engine.setWriteHook([this](quint64) {
            std::unique_lock lock(m_mutex);
            ++m_held;
            m_released.wait(lock, [this] { return m_open; });
            return 0;
        });
    }
    ~WriteGate() { release(); }
    bool holding()
    {
        std::lock_guard lock(m_mutex);
        return m_held > 0;
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_released.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    int m_held = 0;
    bool m_open = false;
};

// Files and folders below `folder`, relative to it, with the restore's temporary files.
QStringList filesBelow(const QString& folder)
{
    QStringList names;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names << QDir(folder).relativeFilePath(it.next());
    names.sort();
    return names;
}

RestoreWindow* openFor(TFrmMain& frm)
{
    frm.LvwProfiles->setCurrentItem(frm.LvwProfiles->topLevelItem(0));
    QTest::mouseClick(frm.BtnRestore, Qt::LeftButton);
    RestoreWindow* window = frm.restoreWindow();
    if (window && !QTest::qWaitFor([window] { return !window->reading(); }, 30000))
        return nullptr;
    return window;
}

// A restore of the newest run into f.out through the real engine, held at its first write
// to a restored file until the gate is released (at the latest when this ends).
struct HeldRestore
{
    explicit HeldRestore(const Fixture& f)
    {
        auto adapter = std::make_unique<EngineAdapter>();
        gate = std::make_unique<WriteGate>(*adapter);
        frm = makeMainWindow(std::move(adapter));
        window = openFor(*frm);
        if (!window)
            return;
        window->RbOther->setChecked(true);
        window->EdtTarget->setText(f.out);
        MessageBox::takeShown();
        QTest::mouseClick(window->BtnRestore, Qt::LeftButton);
        held = QTest::qWaitFor([this] { return gate->holding(); }, 30000);
    }
    ~HeldRestore() { gate->release(); }

    std::unique_ptr<WriteGate> gate;
    MainWindowPtr frm;
    RestoreWindow* window = nullptr;
    bool held = false;
};

} // namespace

class TestRestoreWindow : public QObject
{
    Q_OBJECT

private slots:
    void restoresTickedFolderOfChosenRunToAnotherFolder();
    void asksForThePasswordOfOlderBackups();
    void cancelAsksOnceAndLeavesNoPartialFile();
    void closingWhileRestoringAsksThenCancels();
    void yesClosesEvenIfTheRestoreEndedMeanwhile();
    void backupEndingWhileOpenIsListed();
    void backupsOfARenamedProfileAreListedUnderItsFormerName();
    void oddNamesAreShownOnOneLineAndRestoredByteForByte();
};

void TestRestoreWindow::restoresTickedFolderOfChosenRunToAnotherFolder()
{
    Fixture f;
    f.makeChain(QString(), QString());
    auto frm = makeMainWindow(std::make_unique<EngineAdapter>());
    RestoreWindow* window = openFor(*frm);
    QVERIFY(window && window->isVisible());

    // Newest first, the newest chosen; the older one chosen by the user.
    QCOMPARE(window->LvwRuns->topLevelItemCount(), 2);
    QCOMPARE(window->LvwRuns->topLevelItem(0)->text(1), QStringLiteral("incremental"));
    QCOMPARE(window->LvwRuns->topLevelItem(1)->text(1), QStringLiteral("full"));
    QCOMPARE(window->LvwRuns->topLevelItem(1)->text(2), QStringLiteral("4"));
    window->LvwRuns->setCurrentItem(window->LvwRuns->topLevelItem(1));
    QTRY_VERIFY(!window->reading());
    FileTreeModel* model = window->fileModel();
    QCOMPARE(model->fileCount(), 4);
    QVERIFY(window->LblTicked->text().startsWith(QStringLiteral("Nothing ticked: everything")));

    // A folder ticks what is below it; the find box narrows the tree.
    QVERIFY(model->setData(model->indexOfPath(QStringLiteral("docs")), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(model->data(model->indexOfPath(QStringLiteral("docs/sub/c.txt")), Qt::CheckStateRole).toInt(),
             int(Qt::Checked));
    QCOMPARE(model->tickedPaths(), QStringList {QStringLiteral("docs")});
    QVERIFY(model->setData(model->indexOfPath(QStringLiteral("docs/sub")), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(model->data(model->indexOfPath(QStringLiteral("docs")), Qt::CheckStateRole).toInt(),
             int(Qt::PartiallyChecked));
    QCOMPARE(model->tickedPaths(), QStringList {QStringLiteral("docs/a.txt")});
    QVERIFY(model->setData(model->indexOfPath(QStringLiteral("docs/sub")), Qt::Checked, Qt::CheckStateRole));
    // Each letter filters the tree afresh, never row by row (which over many files froze it).
    QSignalSpy rowsTakenOut(window->TvwFiles->model(), &QAbstractItemModel::rowsRemoved);
    QTest::keyClicks(window->EdtFind, QStringLiteral("C.TX"));
    QCOMPARE(window->TvwFiles->model()->rowCount(), 1);
    QCOMPARE(rowsTakenOut.count(), 0);
    QCOMPARE(window->TvwFiles->header()->sectionResizeMode(FileTreeModel::Name), QHeaderView::Stretch);
    window->EdtFind->clear();

    window->RbOther->setChecked(true);
    window->EdtTarget->setText(f.out);
    QTest::mouseClick(window->BtnRestore, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));

    QCOMPARE(readFile(f.out + u"/docs/a.txt"), QByteArray("v1"));
    QCOMPARE(readFile(f.out + u"/docs/sub/c.txt"), QByteArray("c"));
    QVERIFY(!QFileInfo::exists(f.out + u"/photos"));
    QVERIFY(!QFileInfo::exists(f.out + u"/top.txt"));
    QVERIFY2(window->LblSummary->text().startsWith(u"Restored 2 files (3 bytes) to " + f.out + u'.'),
             qPrintable(window->LblSummary->text()));
    QVERIFY(window->BtnOpenTarget->isVisible());
    QVERIFY(!window->restoring());

    // Again, skipping the files now there: the summary names them.
    QTest::mouseClick(window->BtnRestore, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QVERIFY(window->LblSummary->text().contains(QStringLiteral("2 skipped")));
    QCOMPARE(window->LstSummary->count(), 2);

    // Opened again, it starts from the safe choices, not from the last restore's.
    window->CboExisting->setCurrentIndex(window->CboExisting->findData(int(ExistingFiles::Replace)));
    window->close();
    QVERIFY(openFor(*frm) == window);
    QCOMPARE(window->CboExisting->currentData().toInt(), int(ExistingFiles::Skip));
    QVERIFY(window->RbOriginal->isChecked() && window->EdtTarget->text().isEmpty());
}

void TestRestoreWindow::asksForThePasswordOfOlderBackups()
{
    Fixture f;
    f.makeChain(QStringLiteral("old pass"), QStringLiteral("new pass"));
    RunPasswordDialog::takeAsked();
    auto frm = makeMainWindow(std::make_unique<EngineAdapter>());
    RestoreWindow* window = openFor(*frm);
    QVERIFY(window);
    QCOMPARE(window->fileModel()->fileCount(), 4); // the catalog knows the files

    // The restore asks on the window's thread while it waits: a wrong answer is asked again.
    RunPasswordDialog::setNextAnswer(QStringLiteral("wrong"));
    RunPasswordDialog::setNextAnswer(QStringLiteral("old pass"));
    window->RbOther->setChecked(true);
    window->EdtTarget->setText(f.out);
    QTest::mouseClick(window->BtnRestore, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QStringList asked = RunPasswordDialog::takeAsked();
    QCOMPARE(asked.size(), 2);
    QVERIFY(asked[1].contains(QStringLiteral("either")));
    QCOMPARE(readFile(f.out + u"/docs/a.txt"), QByteArray("v2"));
    QCOMPARE(readFile(f.out + u"/photos/p.bin"), QByteArray(5000, 'p'));
    QVERIFY2(window->LblSummary->text().startsWith(QStringLiteral("Restored 4 files")),
             qPrintable(window->LblSummary->text()));

    // Without the catalog the files are read from the archives: the listing asks, once;
    // Cancel leaves the tree empty and says why.
    window->close();
    for (const QString& name : QDir(f.data.dataFolder() + u"/Catalogs").entryList(QDir::Files))
        QFile::remove(f.data.dataFolder() + u"/Catalogs/" + name);
    RunPasswordDialog::setNextAnswer(std::nullopt);
    QVERIFY(openFor(*frm) == window);
    QTRY_VERIFY(!window->reading());
    QCOMPARE(window->LvwRuns->topLevelItemCount(), 2);
    QCOMPARE(window->fileModel()->fileCount(), 0);
    QVERIFY(window->LblReading->text().contains(QStringLiteral("without its password")));
    RunPasswordDialog::setNextAnswer(QStringLiteral("old pass"));
    window->LvwRuns->setCurrentItem(window->LvwRuns->topLevelItem(1));
    QTRY_VERIFY(!window->reading() && window->fileModel()->fileCount() == 4);
    QCOMPARE(RunPasswordDialog::takeAsked().size(), 2);
}

// A large file in the middle of being written when "Cancel" is answered "Yes".
void TestRestoreWindow::cancelAsksOnceAndLeavesNoPartialFile()
{
    Fixture f;
    QByteArray big(16 << 20, Qt::Uninitialized);
    quint32 x = 1;
    for (char& c : big)
        c = char((x = x * 1664525u + 1013904223u) >> 24);
    writeFile(f.source + u"/photos/big.bin", big);
    f.makeChain(QString(), QString());
    HeldRestore restore(f);
    QVERIFY(restore.held);
    RestoreWindow* window = restore.window;
    TFrmMain* frm = restore.frm.get();
    WriteGate& gate = *restore.gate;
    QVERIFY(window->BtnCancel->isVisible());

    MessageBox::setNextAnswer(1);
    QTest::mouseClick(window->BtnCancel, Qt::LeftButton);
    QTest::mouseClick(window->BtnCancel, Qt::LeftButton);
    QCOMPARE(window->LblProgress->text(), QStringLiteral("Cancelling..."));
    QVERIFY(window->restoring());
    QVERIFY(window->close()); // already asked
    gate.release();
    QVERIFY(waitUntilIdle(*frm));

    const QList<MessageBox::Shown> shown = MessageBox::takeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].caption, QStringLiteral("Cancel Restore"));
    QVERIFY2(window->LblSummary->text().startsWith(QStringLiteral("The restore was cancelled.")),
             qPrintable(window->LblSummary->text()));
    QCOMPARE(window->LblSummary->text().count(QStringLiteral("cancelled")), 1); // said once
    QVERIFY(window->lastResult() && window->lastResult()->code != 0);
    for (const QString& name : filesBelow(f.out)) {
        QVERIFY2(!name.contains(QStringLiteral(".stowkeep-restore-")), qPrintable(name));
        if (!QFileInfo(f.out + u'/' + name).isDir())
            QCOMPARE(readFile(f.out + u'/' + name), readFile(f.source + u'/' + name));
    }
    QVERIFY(!window->restoring());
    QVERIFY(window->BtnRestore->isEnabled());
}

void TestRestoreWindow::closingWhileRestoringAsksThenCancels()
{
    Fixture f;
    f.makeChain(QString(), QString());
    HeldRestore restore(f);
    QVERIFY(restore.held);
    RestoreWindow* window = restore.window;
    TFrmMain* frm = restore.frm.get();
    WriteGate& gate = *restore.gate;

    // "No": the window stays and so does the restore.
    MessageBox::setNextAnswer(2);
    QVERIFY(!window->close());
    QVERIFY(window->isVisible());
    QVERIFY(window->restoring() && frm->runner().running());
    QCOMPARE(MessageBox::takeShown().size(), 1);

    MessageBox::setNextAnswer(1);
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    QCOMPARE(MessageBox::takeShown().size(), 1);
    gate.release();
    QVERIFY(waitUntilIdle(*frm));
    QVERIFY(window->lastResult() && window->lastResult()->code != 0);
    QVERIFY2(window->LblSummary->text().startsWith(QStringLiteral("The restore was cancelled.")),
             qPrintable(window->LblSummary->text()));
    for (const QString& name : filesBelow(f.out))
        QVERIFY2(!name.contains(QStringLiteral(".stowkeep-restore-")), qPrintable(name));
}

// The restore ends while "cancel?" is open: "Yes" still closes the window.
void TestRestoreWindow::yesClosesEvenIfTheRestoreEndedMeanwhile()
{
    Fixture f;
    f.makeChain(QString(), QString());
    HeldRestore restore(f);
    QVERIFY(restore.held);
    RestoreWindow* window = restore.window;
    WriteGate& gate = *restore.gate;

    bool endedWhileAsked = false;
    QTimer::singleShot(0, window, [&] {
        gate.release();
        endedWhileAsked = QTest::qWaitFor([&] { return !window->restoring(); }, 30000);
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        for (QAbstractButton* button : box->buttons())
            if (button->text() == QStringLiteral("Yes"))
                button->click();
    });
    QVERIFY(window->close());
    QVERIFY(endedWhileAsked);
    QVERIFY(!window->isVisible());
    QVERIFY(window->lastResult() && window->lastResult()->code == 0);
    QCOMPARE(readFile(f.out + u"/docs/a.txt"), QByteArray("v2"));
}

// A backup that ends while the window is open is listed; the older run chosen and what is
// ticked in it stay.
void TestRestoreWindow::backupEndingWhileOpenIsListed()
{
    Fixture f;
    f.makeChain(QString(), QString());
    auto frm = makeMainWindow(std::make_unique<EngineAdapter>());
    RestoreWindow* window = openFor(*frm);
    QVERIFY(window);
    window->LvwRuns->setCurrentItem(window->LvwRuns->topLevelItem(1));
    QTRY_VERIFY(!window->reading());
    FileTreeModel* model = window->fileModel();
    QVERIFY(model->setData(model->indexOfPath(QStringLiteral("docs")), Qt::Checked, Qt::CheckStateRole));

    writeFile(f.source + u"/new.txt", "new");
    QTest::mouseClick(frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QTRY_COMPARE(window->LvwRuns->topLevelItemCount(), 3);
    QTRY_VERIFY(!window->reading());
    QCOMPARE(window->LvwRuns->currentItem(), window->LvwRuns->topLevelItem(2));
    QCOMPARE(window->LvwRuns->currentItem()->text(1), QStringLiteral("full"));
    QCOMPARE(model->tickedPaths(), QStringList {QStringLiteral("docs")});
    QVERIFY(window->BtnRestore->isEnabled());

    // A run that finds nothing new writes no archive: it is listed as such, not as unverified.
    QTest::mouseClick(frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QTRY_COMPARE(window->LvwRuns->topLevelItemCount(), 4);
    QCOMPARE(window->LvwRuns->topLevelItem(0)->text(4), QStringLiteral("nothing new"));
    QCOMPARE(window->LvwRuns->topLevelItem(1)->text(4), QStringLiteral("verified"));

    // A run that failed is listed too, with no count of files, and chosen it says why it
    // cannot be restored.
    QVERIFY(QDir(f.source).removeRecursively());
    MessageBox::setNextAnswer(1); // the error box
    QTest::mouseClick(frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QTRY_COMPARE(window->LvwRuns->topLevelItemCount(), 5);
    QCOMPARE(window->LvwRuns->topLevelItem(0)->text(2), QStringLiteral("\u2013"));
    window->LvwRuns->setCurrentItem(window->LvwRuns->topLevelItem(0));
    QTRY_VERIFY(!window->reading());
    QVERIFY2(window->LblReading->text().startsWith(u"This backup cannot be restored: it failed ("),
             qPrintable(window->LblReading->text()));
    QVERIFY(!window->BtnRestore->isEnabled());
}

// A name made on a Latin-1 system, and one with a newline.
// "Docs" renamed "Documents": its backups stay in the list under the former name, with no
// original folder to restore to, opened with the password of the profile in that folder.
void TestRestoreWindow::backupsOfARenamedProfileAreListedUnderItsFormerName()
{
    Fixture f;
    f.makeChain(QStringLiteral("pass"), QStringLiteral("pass"));
    f.data.writeStore("[Documents]\nSourceFolder=" + f.source.toUtf8() + "\nDestinationFolder="
                      + f.destination.toUtf8() + "\nFrequencyOption=0\nCompressPassword=pass\n");
    RunPasswordDialog::takeAsked();
    auto frm = makeMainWindow(std::make_unique<EngineAdapter>());
    RestoreWindow* window = openFor(*frm);
    QVERIFY(window);
    QVERIFY(window->LblReading->text().contains(u"Earlier backups in " + f.destination));
    QCOMPARE(window->CboProfile->count(), 2);
    QCOMPARE(window->CboProfile->itemText(1), u"Docs (earlier backups in " + f.destination + u')');
    window->CboProfile->setCurrentIndex(1);
    QTRY_VERIFY(!window->reading());
    QCOMPARE(window->LvwRuns->topLevelItemCount(), 2);
    QVERIFY(!window->RbOriginal->isEnabled());
    QVERIFY(window->RbOther->isChecked());

    window->EdtTarget->setText(f.out);
    QTest::mouseClick(window->BtnRestore, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QCOMPARE(readFile(f.out + u"/docs/a.txt"), QByteArray("v2"));
    QVERIFY(RunPasswordDialog::takeAsked().isEmpty());

    // The last profile deleted: it is no longer offered, its earlier backups still are.
    frm->LvwProfiles->setCurrentItem(frm->LvwProfiles->topLevelItem(0));
    MessageBox::setNextAnswer(1);
    QTest::mouseClick(frm->BtnDeleteProfile, Qt::LeftButton);
    QCOMPARE(frm->LvwProfiles->topLevelItemCount(), 0);
    QCOMPARE(window->CboProfile->count(), 1);
    QCOMPARE(window->CboProfile->itemText(0), u"Docs (earlier backups in " + f.destination + u')');
}

void TestRestoreWindow::oddNamesAreShownOnOneLineAndRestoredByteForByte()
{
    Fixture f;
    const QByteArray latin1 = "caf\xE9.txt";
    const QByteArray newline = "two\nlines.txt";
    QDir().mkpath(f.source + u"/odd");
    for (const QByteArray& name : {latin1, newline}) {
        const QByteArray path = QFile::encodeName(f.source) + "/odd/" + name;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, name.constData(), size_t(name.size())), ssize_t(name.size()));
        ::close(fd);
    }
    f.makeChain(QString(), QString());
    auto frm = makeMainWindow(std::make_unique<EngineAdapter>());
    RestoreWindow* window = openFor(*frm);
    QVERIFY(window);
    FileTreeModel* model = window->fileModel();
    const QModelIndex odd = model->indexOfPath(QStringLiteral("odd"));
    QCOMPARE(model->rowCount(odd), 2);
    QStringList shown;
    for (int row = 0; row < 2; ++row)
        shown << model->index(row, FileTreeModel::Name, odd).data().toString();
    shown.sort();
    QCOMPARE(shown, (QStringList {u"caf\uFFFD.txt"_s, u"two\u240Alines.txt"_s}));

    // Each ticked by itself: the path handed back must be the name's own bytes.
    window->RbOther->setChecked(true);
    window->EdtTarget->setText(f.out);
    for (int row = 0; row < 2; ++row) {
        const QModelIndex file = model->index(row, FileTreeModel::Name, odd);
        QVERIFY(model->setData(odd, Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(model->setData(file, Qt::Checked, Qt::CheckStateRole));
        QTest::mouseClick(window->BtnRestore, Qt::LeftButton);
        QVERIFY(waitUntilIdle(*frm));
        QVERIFY2(window->LblSummary->text().startsWith(QStringLiteral("Restored 1 file")),
                 qPrintable(window->LblSummary->text()));
    }
    for (const QByteArray& name : {latin1, newline}) {
        struct stat st {};
        const QByteArray path = QFile::encodeName(f.out) + "/odd/" + name;
        QVERIFY2(::stat(path.constData(), &st) == 0, name.constData());
        QCOMPARE(qint64(st.st_size), qint64(name.size()));
    }
    // Again with the file there: the summary names it on one line.
    QTest::mouseClick(window->BtnRestore, Qt::LeftButton);
    QVERIFY(waitUntilIdle(*frm));
    QCOMPARE(window->LstSummary->count(), 1);
    QVERIFY(!window->LstSummary->item(0)->text().contains(u'\n'));
}

QTEST_MAIN(TestRestoreWindow)
#include "tst_restorewindow.moc"
