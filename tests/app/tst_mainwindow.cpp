// The application shell: data folder paths, the main window's start state, the tray
// icon's menu, hiding on close, "Exit", the end of the session, balloons, help and About.

#include "MainWindowFixture.h"
#include "RecordingEngine.h"
#include "app/DataFolder.h"
#include "restore/RestoreWindow.h"
#include "ui/NotificationArea.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <sys/stat.h>

// Receives the URLs the program asks the desktop to open.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls << url; }
};

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    // Where a notification area exists, unless a test says otherwise.
    void init()
    {
        MessageBox::takeShown();
        setNotificationAreaForTests(true);
    }
    void cleanup() { setNotificationAreaForTests(std::nullopt); }
    void dataFolderPaths_data();
    void dataFolderPaths();
    void relativeXdgDataHomeIsIgnored();
    void dataFolderIsCreatedPrivateWithParents();
    void startsHiddenWithConfiguredEngineAndEmptyList();
    void unreadableProfilesAreToldAtStart();
    void trayMenuShowsHidesAndExits();
    void closeRequestOnlyHides();
    void restoreButtonAndMenuOpenRestoreWindow();
    void restoreWindowFollowsTheProfiles();
    void reachableWithoutNotificationAreaAndShownAtFirstStart_data();
    void reachableWithoutNotificationAreaAndShownAtFirstStart();
    void centredOnTheDesktopWhenFirstShown();
    void endOfSessionCancelsRunningBackupAndClosesBoxes();
    void exitDuringBackupCancelsIt();
    void exitWithABackupThatDoesNotReturnEndsAnyway();
    void configureFailureEndsCreation();
    void helpOpensHelpPageBesideProgram();
    void aboutWindowShowsProgramAndLinks();
    void messageBoxRecordsNothingUnlessAsked();
    void messageBoxRestingStateAndEscape();
};

void TestMainWindow::dataFolderPaths_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("store");
    QTest::newRow("plain") << "/home/ann/.local/share" << "/home/ann/.local/share/Stowkeep"
                           << "/home/ann/.local/share/Stowkeep/Profiles.ini";
    QTest::newRow("root") << "/" << "/Stowkeep" << "/Stowkeep/Profiles.ini";
    QTest::newRow("trailing separator") << "/data/" << "/data/Stowkeep" << "/data/Stowkeep/Profiles.ini";
    QTest::newRow("unknown location") << "" << "" << "";
}

void TestMainWindow::dataFolderPaths()
{
    QFETCH(QString, base);
    QFETCH(QString, folder);
    QFETCH(QString, store);
    QCOMPARE(appendToFolder(base, QString()), folder);
    QCOMPARE(appendToFolder(base, QStringLiteral("/Profiles.ini")), store);
    QCOMPARE(helpFilePath(QStringLiteral("/opt/stowkeep")), QStringLiteral("/opt/stowkeep/help.html"));
    QCOMPARE(helpFilePath(QStringLiteral("/opt/stowkeep/")), QStringLiteral("/opt/stowkeep/help.html"));
}

void TestMainWindow::relativeXdgDataHomeIsIgnored()
{
    DataFolderFixture data; // puts XDG_DATA_HOME back afterwards
    qputenv("XDG_DATA_HOME", "relative/data");
    const QString expected = QDir::homePath() + u"/.local/share/Stowkeep";
    QCOMPARE(GetDataFolder(), expected);
    QCOMPARE(GetProfileStorePath(), QString(expected + u"/Profiles.ini"));
}

void TestMainWindow::dataFolderIsCreatedPrivateWithParents()
{
    QTemporaryDir root;
    const QString folder = root.path() + u"/a/b/Stowkeep";
    QVERIFY(ensureDataFolder(folder));
    QVERIFY(QFileInfo(folder).isDir());
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(folder).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0700u);

    // An existing folder is left as it is.
    const QString existing = root.path() + u"/open";
    QVERIFY(QDir().mkpath(existing));
    QVERIFY(QFile::setPermissions(existing, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                | QFile::ReadOther | QFile::ExeOther));
    QVERIFY(ensureDataFolder(existing));
    QVERIFY(QFileInfo(existing).permission(QFile::ReadOther));

    // A file in the way cannot become a folder.
    QFile blocker(root.path() + u"/file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    QVERIFY(!ensureDataFolder(root.path() + u"/file/Stowkeep"));
    QVERIFY(!ensureDataFolder(QString()));
}

void TestMainWindow::startsHiddenWithConfiguredEngineAndEmptyList()
{
    DataFolderFixture data;
    auto engine = std::make_unique<RecordingEngine>();
    RecordingEngine* recording = engine.get();
    auto frm = makeMainWindow(std::move(engine));

    QVERIFY(!frm->isVisible());
    QCOMPARE(frm->windowType(), Qt::Tool); // off the task bar
    QVERIFY(!frm->windowIcon().pixmap(32, 32).isNull());
    QCOMPARE(frm->windowTitle(), QStringLiteral("Stowkeep"));
    QCOMPARE(frm->size(), QSize(594, 550));
    QCOMPARE(frm->LvwProfiles->topLevelItemCount(), 0);
    QCOMPARE(frm->LvwProfiles->headerItem()->text(0), QStringLiteral("Profile Name"));
    QCOMPARE(frm->LvwProfiles->headerItem()->text(1), QStringLiteral("Last Run"));
    QCOMPARE(frm->LvwProfiles->headerItem()->text(2), QStringLiteral("Next Run"));
    QVERIFY(!frm->GboProperties->isEnabled());
    QVERIFY(!frm->BtnSaveProfile->isEnabled());
    QVERIFY(!QFileInfo::exists(data.storePath()));

    QCOMPARE(recording->calls().mid(0, 3),
             (QStringList{u"engine.CatalogFolder=" + data.dataFolder() + u"/Catalogs",
                          u"engine.LogFolder=" + data.dataFolder() + u"/Logs",
                          QStringLiteral("engine.LogDetailLevel=3")}));
    QVERIFY(recording->hasInsertMediaHandler());

    QCOMPARE(frm->trayIcon()->toolTip(), QStringLiteral("Stowkeep"));
    QStringList menu;
    for (QAction* action : frm->popupMenu()->actions())
        menu << action->text();
    QCOMPARE(menu, (QStringList{"Show Main Window", "Restore Files...", "Help", "Exit"}));
    QCOMPARE(frm->trayIcon()->contextMenu(), frm->popupMenu());
}

void TestMainWindow::unreadableProfilesAreToldAtStart()
{
    DataFolderFixture data;
    QVERIFY(QDir().mkpath(data.storePath()));
    MessageBox::setNextAnswer(1);
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    QList<MessageBox::Shown> shown;
    QTRY_VERIFY((shown += MessageBox::takeShown(), !shown.isEmpty()));
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown[0].text.contains(data.storePath() + u" cannot be read (it is a folder)"), qPrintable(shown[0].text));
    QVERIFY(QFileInfo(data.storePath()).isDir());
}

void TestMainWindow::trayMenuShowsHidesAndExits()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=0\n");
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    QCOMPARE(frm->LvwProfiles->topLevelItemCount(), 1);

    // A single click does nothing; a double click shows the window.
    frm->WMTrayIcon(QSystemTrayIcon::Trigger);
    QVERIFY(!frm->isVisible());
    frm->WMTrayIcon(QSystemTrayIcon::DoubleClick);
    QVERIFY(frm->isVisible());

    frm->hide();
    frm->popupMenu()->findChild<QAction*>("MnuShowMainWindow")->trigger();
    QVERIFY(frm->isVisible());

    QSignalSpy closed(frm.get(), &TFrmMain::closedForGood);
    frm->hide();
    frm->popupMenu()->findChild<QAction*>("MnuExit")->trigger();
    QCOMPARE(closed.size(), 1);
    QVERIFY(frm->closeAllowed());
    QVERIFY(!frm->isVisible());
    QVERIFY(!frm->trayIcon()->isVisible());
    QVERIFY(MessageBox::takeShown().isEmpty()); // no question on the way out
}

void TestMainWindow::restoreButtonAndMenuOpenRestoreWindow()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=0\n[Photos]\nFrequencyOption=0\n");
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    // In the free place between "Run Profile" and "Help"; nothing else moved.
    QCOMPARE(frm->BtnRestore->text(), QStringLiteral("Restore..."));
    QCOMPARE(frm->BtnRestore->geometry(), QRect(272, 38, 80, 27));
    QCOMPARE(frm->BtnRunProfile->geometry(), QRect(184, 38, 80, 27));
    QCOMPARE(frm->BtnHelp->geometry(), QRect(416, 38, 80, 27));
    QVERIFY(!frm->restoreWindow());

    // The button opens it for the selected profile.
    frm->showMainWindow();
    frm->LvwProfiles->setCurrentItem(frm->LvwProfiles->topLevelItem(1));
    QTest::mouseClick(frm->BtnRestore, Qt::LeftButton);
    RestoreWindow* restore = frm->restoreWindow();
    QVERIFY(restore && restore->isVisible());
    QCOMPARE(restore->CboProfile->count(), 2);
    QCOMPARE(restore->CboProfile->currentText(), QStringLiteral("Photos"));

    // The icon menu opens it with no profile chosen: the user picks one.
    restore->close();
    QVERIFY(!restore->isVisible());
    frm->popupMenu()->findChild<QAction*>("MnuRestoreFiles")->trigger();
    QCOMPARE(frm->restoreWindow(), restore);
    QVERIFY(restore->isVisible());
    QCOMPARE(restore->CboProfile->currentIndex(), -1);
    QVERIFY(!restore->BtnRestore->isEnabled());
    QTRY_VERIFY(!restore->reading());
}

// An open restore window lists the profiles as they are after each change; the backups
// of the profile shown are not read again unless that profile changed or went.
void TestMainWindow::restoreWindowFollowsTheProfiles()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=0\n[Photos]\nFrequencyOption=0\n");
    auto engine = std::make_unique<RecordingEngine>();
    RecordingEngine* recording = engine.get();
    auto frm = makeMainWindow(std::move(engine));
    frm->showMainWindow();
    frm->LvwProfiles->setCurrentItem(frm->LvwProfiles->topLevelItem(1));
    QTest::mouseClick(frm->BtnRestore, Qt::LeftButton);
    RestoreWindow* restore = frm->restoreWindow();
    QTRY_VERIFY(!restore->reading());
    auto profiles = [&] {
        QStringList names;
        for (int i = 0; i < restore->CboProfile->count(); ++i)
            names << restore->CboProfile->itemText(i);
        return names;
    };
    auto listings = [&] { return recording->calls().filter(QStringLiteral("engine.ListRuns")).size(); };
    const qsizetype before = listings();

    data.writeStore("[Docs]\nFrequencyOption=0\n[Music]\nFrequencyOption=0\n[Photos]\nFrequencyOption=0\n");
    frm->LoadProfiles();
    QCOMPARE(profiles(), QStringList({"Docs", "Music", "Photos"}));
    QCOMPARE(restore->CboProfile->currentText(), QStringLiteral("Photos"));
    QTRY_VERIFY(!restore->reading());
    QCOMPARE(listings(), before);

    data.writeStore("[Docs]\nFrequencyOption=0\n[Music]\nFrequencyOption=0\n");
    frm->LoadProfiles();
    QCOMPARE(profiles(), QStringList({"Docs", "Music"}));
    QCOMPARE(restore->CboProfile->currentIndex(), -1);
    QVERIFY(!restore->BtnRestore->isEnabled());
}

void TestMainWindow::closeRequestOnlyHides()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=0\n");
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    frm->showMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
    frm->LvwProfiles->setCurrentItem(frm->LvwProfiles->topLevelItem(0));

    QVERIFY(!frm->close());
    QVERIFY(!frm->isVisible());
    QVERIFY(!frm->closeAllowed());

    frm->MnuShowMainWindowClick();
    QVERIFY(frm->isVisible());
    QCOMPARE(frm->LvwProfiles->selectedItems().size(), 1); // unchanged
}

void TestMainWindow::reachableWithoutNotificationAreaAndShownAtFirstStart_data()
{
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("profiles");
    QTest::addColumn<bool>("shown");
    QTest::newRow("notification area, profiles") << true << true << false;
    QTest::newRow("notification area, very first start") << true << false << true;
    QTest::newRow("no notification area") << false << true << true;
}

void TestMainWindow::reachableWithoutNotificationAreaAndShownAtFirstStart()
{
    QFETCH(bool, tray);
    QFETCH(bool, profiles);
    QFETCH(bool, shown);
    setNotificationAreaForTests(tray);
    DataFolderFixture data;
    if (profiles)
        data.writeStore("[Docs]\nFrequencyOption=0\n");
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    QCOMPARE(frm->showAtStart(), shown);
    // Off the task bar only where the icon leads back to the window.
    QCOMPARE(frm->windowType() == Qt::Tool, tray);

    // Without a notification area a close request minimizes the window instead of hiding it.
    frm->showMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
    QVERIFY(!frm->close());
    QCOMPARE(frm->isVisible(), !tray);
    QCOMPARE(frm->isMinimized(), !tray);
    frm->showMainWindow();
    QVERIFY(frm->isVisible());
    QVERIFY(!frm->isMinimized());
    // Ctrl+Q ends the program as "Exit" does: without the icon there is no menu.
    QVERIFY(QTest::qWaitForWindowActive(frm.get()));
    QSignalSpy closed(frm.get(), &TFrmMain::closedForGood);
    QTest::keyClick(frm.get(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(closed.size(), 1);
}

void TestMainWindow::centredOnTheDesktopWhenFirstShown()
{
    DataFolderFixture data;
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    frm->showMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
    const QPoint offset = frm->frameGeometry().center() - frm->screen()->availableGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QStringLiteral("off by %1,%2").arg(offset.x()).arg(offset.y())));
}

void TestMainWindow::endOfSessionCancelsRunningBackupAndClosesBoxes()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=2\nFrequencyInterval=1\n");
    auto engine = std::make_unique<RecordingEngine>();
    RecordingEngine* recording = engine.get();
    auto frm = makeMainWindow(std::move(engine));

    // The session ends while the backup runs and a box of the program is open.
    QSignalSpy closed(frm.get(), &TFrmMain::closedForGood);
    bool boxWasOpen = false;
    int closedDuringRun = -1;
    recording->setDuringRun([&](IBackupJob&) {
        QTimer::singleShot(0, frm.get(), [&] {
            boxWasOpen = QApplication::activeModalWidget() != nullptr;
            frm->WMQueryEndSession();
        });
        QDialog box(frm.get());
        box.exec(); // closed by the end of the session
        closedDuringRun = static_cast<int>(closed.size());
    });
    setClock(*frm, QDateTime(QDate(2026, 12, 9), QTime(8, 0)));
    frm->TimerScheduleTimer();
    QVERIFY(waitUntilIdle(*frm));

    QCOMPARE(closedDuringRun, 0);
    QCOMPARE(closed.size(), 1); // only once the cancelled backup has returned
    QVERIFY(boxWasOpen);
    QVERIFY(recording->calls().contains(QStringLiteral("engine.cancelRunningJob")));
    QCOMPARE(recording->runResults(), QList<qint32>{recording->cancelledResult()});
    QVERIFY(frm->closeAllowed());
    QVERIFY(!frm->isVisible());
    // Boxes asked for on the way out close at once.
    MessageBox::takeShown();
    MessageBox box(nullptr);
    QCOMPARE(box.exec(), 1);
    MessageBox::setClosingDown(false);
}

void TestMainWindow::exitDuringBackupCancelsIt()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=2\nFrequencyInterval=1\n");
    auto engine = std::make_unique<RecordingEngine>();
    RecordingEngine* recording = engine.get();
    auto frm = makeMainWindow(std::move(engine));
    QSignalSpy closed(frm.get(), &TFrmMain::closedForGood);
    recording->setDuringRun([&](IBackupJob&) { frm->popupMenu()->findChild<QAction*>("MnuExit")->trigger(); });
    setClock(*frm, QDateTime(QDate(2026, 12, 9), QTime(8, 0)));
    frm->TimerScheduleTimer();
    QVERIFY(waitUntilIdle(*frm));

    QCOMPARE(recording->runResults(), QList<qint32>{recording->cancelledResult()});
    QCOMPARE(closed.size(), 1);
    QVERIFY(MessageBox::takeShown().isEmpty());
}

// A backup stuck in the system (a share that stopped answering) cannot be cancelled: the
// program ends anyway, and meanwhile shows nothing more.
void TestMainWindow::exitWithABackupThatDoesNotReturnEndsAnyway()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=2\nFrequencyInterval=1\n");
    auto engine = std::make_unique<RecordingEngine>();
    RecordingEngine* recording = engine.get();
    auto frm = makeMainWindow(std::move(engine));
    frm->setQuitGrace(0);
    QSignalSpy closing(frm.get(), &TFrmMain::closingDown);
    QSignalSpy abandoned(frm.get(), &TFrmMain::runAbandoned);
    QSignalSpy closed(frm.get(), &TFrmMain::closedForGood);
    qsizetype closedWhenAbandoned = -1;
    recording->setDuringRun([&](IBackupJob&) {
        frm->popupMenu()->findChild<QAction*>("MnuExit")->trigger();
        for (int i = 0; i < 100 && abandoned.isEmpty(); ++i)
            QCoreApplication::processEvents(); // the run goes on: it does not see the cancel
        closedWhenAbandoned = closed.size();
        frm->showMainWindow(); // a second start asks for the window
    });
    setClock(*frm, QDateTime(QDate(2026, 12, 9), QTime(8, 0)));
    frm->TimerScheduleTimer();
    QVERIFY(waitUntilIdle(*frm));

    QCOMPARE(closing.size(), 1);
    QCOMPARE(abandoned.size(), 1);
    QCOMPARE(closedWhenAbandoned, 0);
    QVERIFY(!frm->isVisible());
}

void TestMainWindow::configureFailureEndsCreation()
{
    DataFolderFixture data;
    data.writeStore("[Docs]\nFrequencyOption=0\n");
    auto engine = std::make_unique<RecordingEngine>();
    engine->failOn(QStringLiteral("engine.LogFolder"));
    engine->setFailureMessage(QStringLiteral("The log folder is not valid"));
    RecordingEngine* recording = engine.get();
    MessageBox::setNextAnswer(1);
    auto frm = makeMainWindow(std::move(engine));

    const QList<MessageBox::Shown> shown = MessageBox::takeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].text, QStringLiteral("The log folder is not valid."));
    QVERIFY(!recording->calls().contains(QStringLiteral("engine.LogDetailLevel=3")));
    QCOMPARE(frm->trayIcon(), nullptr);
    QCOMPARE(frm->LvwProfiles->topLevelItemCount(), 0);
}

void TestMainWindow::helpOpensHelpPageBesideProgram()
{
    DataFolderFixture data;
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
    QTest::mouseClick(frm->BtnHelp, Qt::LeftButton);
    frm->popupMenu()->findChild<QAction*>("MnuHelp")->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

    const QUrl expected = QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + u"/help.html");
    QCOMPARE(recorder.urls, (QList<QUrl>{expected, expected}));
    QVERIFY(MessageBox::takeShown().isEmpty()); // a missing page is not the program's message
}

void TestMainWindow::aboutWindowShowsProgramAndLinks()
{
    DataFolderFixture data;
    auto frm = makeMainWindow(std::make_unique<RecordingEngine>());
    UrlRecorder web;
    UrlRecorder mail;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &web, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &mail, "open");

    QString title;
    QStringList texts;
    QTimer::singleShot(0, frm.get(), [&] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(about);
        title = about->windowTitle();
        for (const char* name : {"LblName", "LblWebsite", "LblEmail"})
            texts << about->findChild<QLabel*>(QLatin1String(name))->text();
        QTest::mouseClick(about->findChild<QLabel*>(QStringLiteral("LblWebsite")), Qt::LeftButton);
        QTest::mouseClick(about->findChild<QLabel*>(QStringLiteral("LblEmail")), Qt::LeftButton);
        QTest::mouseClick(about->findChild<QPushButton*>(QStringLiteral("BtnOk")), Qt::LeftButton);
    });
    QTest::mouseClick(frm->BtnAbout, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));

    QCOMPARE(title, QStringLiteral("About Stowkeep"));
    QCOMPARE(texts, (QStringList{"Stowkeep v2.1", "Website: https://stowkeep.example.org",
                                 "Support Email: support@stowkeep.example.org"}));
    QCOMPARE(web.urls, QList<QUrl>{QUrl(QStringLiteral("https://stowkeep.example.org"))});
    QCOMPARE(mail.urls, QList<QUrl>{QUrl(QStringLiteral("mailto:support@stowkeep.example.org"))});
    QVERIFY(!QApplication::activeModalWidget());
}

void TestMainWindow::messageBoxRecordsNothingUnlessAsked()
{
    // The running program never turns recording on: its boxes leave nothing behind.
    MessageBox::setRecording(false);
    MessageBox box(nullptr);
    MessageBox::setNextAnswer(1);
    box.exec();
    MessageBox::setRecording(true);
    MessageBox::setNextAnswer(1);
    box.exec();
    QCOMPARE(MessageBox::takeShown().size(), 1);
}

void TestMainWindow::messageBoxRestingStateAndEscape()
{
    // A real box: Escape with two buttons gives the second button's result; with one, the first's.
    MessageBox box(nullptr);
    QCOMPARE(box.buttonCount(), 1);
    QCOMPARE(box.buttonCaption(0), QStringLiteral("OK"));
    box.setButton(0, QStringLiteral("Yes"), 1);
    box.setButton(1, QStringLiteral("No"), 2);
    box.setButtonCount(2);
    for (int count : {2, 1}) {
        box.setButtonCount(count);
        QTimer::singleShot(0, [] {
            QWidget* modal = QApplication::activeModalWidget();
            QVERIFY(modal);
            QTest::keyClick(modal, Qt::Key_Escape);
        });
        QCOMPARE(box.exec(), count == 2 ? 2 : 1);
    }
    box.restoreRestingState();
    QCOMPARE(box.buttonCount(), 1);
    QCOMPARE(box.buttonCaption(0), QStringLiteral("OK"));
    QCOMPARE(box.buttonCaption(1), QStringLiteral("Cancel"));
    MessageBox::takeShown();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
