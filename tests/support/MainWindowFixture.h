#pragma once

#include "app/TFrmMain.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A throwaway data folder (XDG_DATA_HOME points into a temporary folder for the life of
// the fixture) and helpers to write and read its Profiles.ini.
class DataFolderFixture
{
public:
    DataFolderFixture();
    ~DataFolderFixture();

    QString dataFolder() const;      // .../Stowkeep
    QString storePath() const;       // .../Stowkeep/Profiles.ini
    QString root() const { return m_dir.path(); }
    void writeStore(const QByteArray& contents) const;
    QByteArray readStore() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// Deletes a main window once a job still running on it has been cancelled and has ended.
struct MainWindowDeleter
{
    void operator()(TFrmMain* window) const;
};
using MainWindowPtr = std::unique_ptr<TFrmMain, MainWindowDeleter>;

// Builds the real main window on the fixture's data folder with the given engine, and
// stops its timer so that a test drives the ticks itself. Its job runner reports every
// progress step.
MainWindowPtr makeMainWindow(std::unique_ptr<IBackupEngine> engine);

// Lets the event loop run until the window's job runner has nothing to run (a minute at
// most); false if it still has.
bool waitUntilIdle(TFrmMain& window);

// Sets the window's clock to a fixed local time.
void setClock(TFrmMain& window, const QDateTime& now);
