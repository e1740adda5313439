#include "DataFolder.h"
#include "NoCoreDumps.h"
#include "SessionSignals.h"
#include "SingleInstance.h"
#include "TFrmMain.h"
#include "backup/EngineAdapter.h"
#include "backup/SleepInhibitor.h"
#include "cli/CommandLine.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QDebug>
#include <QMessageBox>
#include <QSessionManager>

#include <cstdlib>

int main(int argc, char* argv[])
{
    disableCoreDumps();
    // Decided before any QApplication: the commands need no display and no tray.
    if (isCommandLine(argc, argv))
        return runCommandLine(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Stowkeep"));
    // From here on the session's signals wait for the event loop instead of killing us.
    SessionSignals sessionSignals;

    const QString dataFolder = GetDataFolder();
    if (dataFolder.isEmpty()) {
        QMessageBox::critical(nullptr, QStringLiteral("Stowkeep"), QStringLiteral("Unable to create directory"));
        return 1;
    }
    // When the folder cannot be made, the first write to the store says so.
    ensureDataFolder(dataFolder);

    SingleInstance instance(dataFolder);
    switch (instance.acquire()) {
    case SingleInstance::Start::First:
        break;
    case SingleInstance::Start::HandedOver:
        return 0;
    case SingleInstance::Start::Refused:
        qWarning().noquote() << instance.refusal();
        QObject::connect(&sessionSignals, &SessionSignals::endRequested, &app, &MessageBox::closeDown);
        MessageBox::showError(nullptr, instance.refusal());
        return 1;
    }

    QApplication::setQuitOnLastWindowClosed(false);

    TFrmMain FrmMain(std::make_unique<EngineAdapter>());
    QObject::connect(&sessionSignals, &SessionSignals::endRequested, &FrmMain, &TFrmMain::WMQueryEndSession);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &FrmMain,
                     [&FrmMain](QSessionManager&) { FrmMain.WMQueryEndSession(); });
    QObject::connect(&FrmMain, &TFrmMain::closedForGood, &app, &QCoreApplication::quit);
    QObject::connect(&instance, &SingleInstance::showRequested, &FrmMain, &TFrmMain::showMainWindow);
    QObject::connect(&FrmMain, &TFrmMain::closingDown, &instance, &SingleInstance::stopListening);
    // What the stuck job holds is safe to leave: the catalog rolls back its unfinished
    // transaction, and the next backup removes the temporary archive.
    QObject::connect(&FrmMain, &TFrmMain::runAbandoned, [] {
        qWarning().noquote() << QStringLiteral("The cancelled backup or restore did not return (its drive or share "
                                               "does not answer); Stowkeep ends without waiting for it.");
        std::_Exit(0);
    });
    // No sleep in the middle of a backup; a shutdown that begins ends the program as the
    // end of the session does, cancelling the backup cleanly.
    SleepInhibitor inhibitor;
    holdWhileJobsRun(inhibitor, FrmMain.runner());
    QObject::connect(&inhibitor, &SleepInhibitor::shutdownRequested, &FrmMain, &TFrmMain::WMQueryEndSession);
    if (sessionSignals.endWasRequested())
        QMetaObject::invokeMethod(&FrmMain, &TFrmMain::WMQueryEndSession, Qt::QueuedConnection);
    else if (FrmMain.showAtStart())
        FrmMain.showMainWindow();
    return QApplication::exec();
}
