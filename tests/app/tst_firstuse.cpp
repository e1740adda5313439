// A new user's first session, click by click, with the real engine: three profiles of
// different frequencies, a rename, the middle one deleted, filters and a password set,
// and the next tick runs or places each profile as its schedule says.

#include "EditorWindow.h"
#include "backup/EngineAdapter.h"
#include "dialogs/TFrmFilter.h"
#include "dialogs/TFrmPassword.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace {

// Wednesday 9 December 2026, 08:00:12.
const QDateTime Tick(QDate(2026, 12, 9), QTime(8, 0, 12));

void makeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QString sevenZip(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("7z"), arguments);
    process.waitForFinished(60000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace

class TestFirstUse : public QObject
{
    Q_OBJECT

private slots:
    void addRenameDeleteFilterProtectAndRun();
};

void TestFirstUse::addRenameDeleteFilterProtectAndRun()
{
    EditorWindow w({}, std::make_unique<EngineAdapter>());
    TFrmMain& frm = *w.frm;
    const QString root = w.data.root();
    makeFile(root + u"/docs/letter.txt", "Dear Ann");
    makeFile(root + u"/docs/notes/todo.txt", "milk");
    makeFile(root + u"/docs/skip-me.txt", "not this one");
    makeFile(root + u"/docs/photo.jpg", "not a text");
    QDir().mkpath(root + u"/backups");

    auto addProfile = [&](const QString& name, int option) {
        EditorWindow::click(frm.BtnAddProfile);
        EditorWindow::type(frm.EdtProfileName, name);
        FolderPicker::setNextFolder(root + u"/docs");
        EditorWindow::click(frm.BtnSelectSrc);
        FolderPicker::setNextFolder(root + u"/backups");
        EditorWindow::click(frm.BtnSelectDst);
        w.chooseOption(option);
    };

    addProfile(QStringLiteral("Documents"), 2);
    EditorWindow::type(frm.EdtFrequency, QStringLiteral("3"));
    w.save();
    addProfile(QStringLiteral("Photos"), 3);
    EditorWindow::type(frm.SpinHour, QStringLiteral("23"));
    w.save();
    addProfile(QStringLiteral("Music"), 4);
    frm.CboWeekday->setCurrentIndex(1); // Monday
    w.save();
    QCOMPARE(shownBoxes(), QStringList());
    QCOMPARE(w.rows(), (QStringList{"Documents", "Photos", "Music"}));

    // Rename: the profile moves to the end of the list, selected.
    w.clickRow(0);
    EditorWindow::type(frm.EdtProfileName, QStringLiteral("Papers"));
    w.save();
    QCOMPARE(w.rows(), (QStringList{"Photos", "Music", "Papers"}));
    QCOMPARE(w.selectedRow(), 2);

    // Delete the middle one: the next row takes its place in the panel.
    w.clickRow(1);
    MessageBox::setNextAnswer(1);
    EditorWindow::click(frm.BtnDeleteProfile);
    QCOMPARE(shownBoxes(), QStringList{"Delete Profile/Do you really want to delete the selected profile?/Yes,No"});
    QCOMPARE(w.rows(), (QStringList{"Photos", "Papers"}));
    QCOMPARE(w.selectedRow(), 1);
    QCOMPARE(frm.EdtProfileName->text(), QStringLiteral("Papers"));

    // Filters and a password for Papers.
    answerNextModal<TFrmFilter>([](TFrmFilter& dialog) {
        EditorWindow::type(dialog.EdtIncludeFilter, QStringLiteral("*.txt"));
        EditorWindow::type(dialog.EdtExcludeFilter, QStringLiteral("skip*"));
        EditorWindow::click(dialog.BtnOK);
    });
    EditorWindow::click(frm.BtnFilterSetup);
    answerNextModal<TFrmPassword>([](TFrmPassword& dialog) {
        EditorWindow::type(dialog.EdtNewPwd1, QStringLiteral("correct horse"));
        EditorWindow::type(dialog.EdtNewPwd2, QStringLiteral("correct horse"));
        EditorWindow::click(dialog.BtnOK);
    });
    EditorWindow::click(frm.BtnPassword);
    QVERIFY(w.saveEnabled());
    w.save();
    QCOMPARE(shownBoxes(), QStringList());
    QCOMPARE(w.stored(QStringLiteral("Papers"), QStringLiteral("IncludeFilter")), QStringLiteral("*.txt"));
    QCOMPARE(w.stored(QStringLiteral("Papers"), QStringLiteral("CompressPassword")), QStringLiteral("correct horse"));
    QCOMPARE(w.stored(QStringLiteral("Music"), QStringLiteral("SourceFolder")), QStringLiteral("<missing>"));
    QCOMPARE(w.stored(QStringLiteral("Documents"), QStringLiteral("SourceFolder")), QStringLiteral("<missing>"));

    // The next tick: Papers (every 3 hours) runs at once; Photos (23:30 today) is placed.
    w.tick(Tick);
    QCOMPARE(shownBoxes(), QStringList());
    QCOMPARE(w.stored(QStringLiteral("Papers"), QStringLiteral("LastRun")), QStringLiteral("2026/12/09 08:00"));
    QCOMPARE(w.stored(QStringLiteral("Papers"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 11:00"));
    QCOMPARE(w.stored(QStringLiteral("Photos"), QStringLiteral("LastRun")), QString());
    QCOMPARE(w.stored(QStringLiteral("Photos"), QStringLiteral("NextRun")), QStringLiteral("2026/12/09 23:30"));
    QCOMPARE(frm.LvwProfiles->topLevelItem(0)->text(2), QStringLiteral("2026/12/09 23:30"));
    QCOMPARE(frm.LvwProfiles->topLevelItem(1)->text(1), QStringLiteral("2026/12/09 08:00"));

    // One encrypted backup of Papers, holding exactly the filtered files.
    const QStringList backups = QDir(root + u"/backups").entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(backups.size(), 1);
    QVERIFY(backups[0].startsWith(QStringLiteral("Papers_")));
    if (QStandardPaths::findExecutable(QStringLiteral("7z")).isEmpty())
        QSKIP("7z is not installed");
    const QString inner = root + u"/inner";
    sevenZip({"x", "-y", "-pcorrect horse", "-o" + inner, root + u"/backups/" + backups[0]});
    QString unlocked = backups[0];
    unlocked.replace(QStringLiteral(".zip"), QStringLiteral("-contents.zip"));
    const QString listing = sevenZip({"l", "-slt", inner + u'/' + unlocked});
    QVERIFY2(listing.contains(QStringLiteral("Path = letter.txt")), qPrintable(listing));
    QVERIFY(listing.contains(QStringLiteral("Path = notes/todo.txt")));
    QVERIFY(!listing.contains(QStringLiteral("skip-me.txt")));
    QVERIFY(!listing.contains(QStringLiteral("photo.jpg")));
}

QTEST_MAIN(TestFirstUse)
#include "tst_firstuse.moc"
