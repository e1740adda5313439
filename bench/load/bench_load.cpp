// stowkeep_bench_load [profiles]
//
// Writes a Profiles.ini of the given number of profiles (10,000 unless told) into a
// throwaway data folder, then measures, each the best of three: one reading of the store
// with every field of every profile looked up (the store's part of a load); the creation of
// the main window, whose first load also sets up every engine job and fills the list; and a
// second load, as after "Save Profile". Run by hand; the figures go to stdout.

#include "app/DataFolder.h"
#include "app/TFrmMain.h"
#include "backup/EngineAdapter.h"
#include "profiles/ProfileRecord.h"
#include "profiles/ProfileStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

QByteArray makeStore(int profiles)
{
    QByteArray store;
    for (int i = 0; i < profiles; ++i) {
        const QByteArray n = QByteArray::number(i);
        store += "[Profile " + n + "]\n"
                 "SourceFolder=/home/user/documents/folder " + n + "\n"
                 "DestinationFolder=/media/backup/folder " + n + "\n"
                 "IncludeFilter=*.doc, *.odt\nExcludeFilter=*.tmp\n"
                 "FrequencyOption=3\nStartingTime=6:30\nBackupType=1\nCompressLevel=2\n"
                 "CompressPassword=\nBoolVerifyBackup=1\nBoolDeleteBackup=1\nDeleteInterval=30\n"
                 "LastRun=2026/12/08 06:30\nNextRun=2026/12/09 06:30\n\n";
    }
    return store;
}

// The best of three runs, in milliseconds.
double bestOfThree(const std::function<void()>& run)
{
    double best = 1e300;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = std::min(best, static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int profiles = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;

    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    ensureDataFolder(GetDataFolder());
    const QByteArray contents = makeStore(profiles);
    QFile file(GetProfileStorePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return 1;
    file.close();
    std::printf("%d profiles, %.1f MB store\n", profiles, static_cast<double>(contents.size()) / 1e6);

    const double read = bestOfThree([] {
        const ProfileStoreSnapshot store = ProfileStore(GetProfileStorePath()).snapshot();
        ProfileRecord record;
        for (const QString& name : store.sectionNames())
            readProfileFields(store, name, record);
    });
    std::printf("store read, every field of every profile: %8.1f ms\n", read);

    int rows = 0;
    const double create = bestOfThree([&rows] {
        TFrmMain window(std::make_unique<EngineAdapter>());
        window.findChild<QTimer*>(QStringLiteral("TimerSchedule"))->stop();
        rows = window.LvwProfiles->topLevelItemCount();
    });
    std::printf("main window with its first load:          %8.1f ms (%d rows)\n", create, rows);

    TFrmMain window(std::make_unique<EngineAdapter>());
    window.findChild<QTimer*>(QStringLiteral("TimerSchedule"))->stop();
    const double reload = bestOfThree([&window] { window.LoadProfiles(); });
    std::printf("load again, as after a save:              %8.1f ms\n", reload);
    return rows == profiles ? 0 : 1;
}
