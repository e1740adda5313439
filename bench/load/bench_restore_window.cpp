// stowkeep_bench_restore_window [files]
//
// Backs up a throwaway folder of the given number of small files (100,000 unless told, 100
// to a folder) with the real engine, opens the restore window on it, and measures: the
// time from choosing the run to the tree shown (the catalog's listing on the window's
// reading thread, the model, the view), each the best of three; and the find box, as a
// user types a name letter by letter and then clears it. Run by hand; the figures go to
// stdout.

#include "BackupEngine.h"
#include "app/DataFolder.h"
#include "backup/EngineAdapter.h"
#include "backup/JobRunner.h"
#include "restore/FileTreeModel.h"
#include "restore/RestoreWindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

double msSince(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Lets the window handle what is queued (a view lays itself out and paints on events).
void settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

bool makeFiles(const QString& source, int files)
{
    for (int i = 0; i < files; ++i) {
        const QString folder = source + QStringLiteral("/folder %1").arg(i / 100, 4, 10, QLatin1Char('0'));
        if (i % 100 == 0 && !QDir().mkpath(folder))
            return false;
        QFile file(folder + QStringLiteral("/file %1.txt").arg(i, 6, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::number(i)) <= 0)
            return false;
    }
    return true;
}

int backUp(const QString& dataFolder, const QString& source, const QString& destination)
{
    namespace engine = stowkeep::engine;
    engine::BackupEngine backup;
    backup.setCatalogFolder(QString(dataFolder + u"/Catalogs").toStdString());
    backup.setLogFolder(QString(dataFolder + u"/Logs").toStdString());
    engine::FileSelection selection;
    selection.IncludeItem(QString(source + u"/*").toStdString(), -1);
    engine::BackupJob job;
    job.setBackupFolder(destination.toStdString());
    job.setBackupSetName("Bench");
    job.setBackupType(engine::FullBackup);
    job.setSelection(&selection);
    return backup.RunJob(job);
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, atoi(argv[1])) : 100000;

    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    ensureDataFolder(GetDataFolder());
    const QString source = home.path() + u"/source";
    const QString destination = home.path() + u"/backups";
    QElapsedTimer timer;
    timer.start();
    if (!makeFiles(source, files) || !QDir().mkpath(destination))
        return 1;
    std::printf("%d files made in %.1f s\n", files, msSince(timer) / 1000);
    timer.start();
    if (backUp(GetDataFolder(), source, destination) != 0)
        return 1;
    std::printf("backed up in %.1f s\n", msSince(timer) / 1000);

    EngineAdapter engine;
    engine.putCatalogFolder(GetDataFolder() + u"/Catalogs");
    engine.putLogFolder(GetDataFolder() + u"/Logs");
    JobRunner runner(engine);
    RestoreWindow window(runner, engine);
    const auto waitForReading = [&window] {
        QEventLoop loop;
        QObject::connect(&window, &RestoreWindow::readingDone, &loop, &QEventLoop::quit);
        if (window.reading())
            loop.exec();
        settle();
    };
    window.setSources({{QStringLiteral("Bench"), {QStringLiteral("Bench"), destination}, source, QString()}},
                      QStringLiteral("Bench"));
    window.showWindow();
    waitForReading();
    if (window.LvwRuns->topLevelItemCount() != 1)
        return 1;

    double best = 1e300;
    for (int i = 0; i < 3; ++i) {
        window.LvwRuns->setCurrentItem(nullptr);
        settle();
        timer.start();
        window.LvwRuns->setCurrentItem(window.LvwRuns->topLevelItem(0));
        waitForReading();
        best = std::min(best, msSince(timer));
    }
    std::printf("run chosen to tree shown:   %8.1f ms (%lld files in the tree)\n", best,
                static_cast<long long>(window.fileModel()->fileCount()));
    if (window.fileModel()->fileCount() != files)
        return 1;

    // Typed letter by letter: the slowest keystroke, and the whole word.
    const QString word = QStringLiteral("file 04711");
    double slowest = 0;
    timer.start();
    for (qsizetype n = 1; n <= word.size(); ++n) {
        QElapsedTimer key;
        key.start();
        window.EdtFind->setText(word.left(n));
        settle();
        slowest = std::max(slowest, msSince(key));
    }
    window.EdtFind->setText(word);
    settle();
    std::printf("find \"%s\" typed:       %8.1f ms in all, slowest keystroke %.1f ms (%d rows shown at the top)\n",
                qPrintable(word), msSince(timer), slowest, window.TvwFiles->model()->rowCount());
    timer.start();
    window.EdtFind->clear();
    settle();
    std::printf("find box cleared:           %8.1f ms\n", msSince(timer));
    return 0;
}
