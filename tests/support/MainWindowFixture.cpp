#include "MainWindowFixture.h"

#include "app/DataFolder.h"
#include "backup/JobRunner.h"
#include "ui/MessageBox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTimer>

DataFolderFixture::DataFolderFixture()
    : m_previous(qgetenv("XDG_DATA_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_DATA_HOME"))
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path()));
    QDir().mkpath(dataFolder());
}

DataFolderFixture::~DataFolderFixture()
{
    if (m_hadPrevious)
        qputenv("XDG_DATA_HOME", m_previous);
    else
        qunsetenv("XDG_DATA_HOME");
}

QString DataFolderFixture::dataFolder() const
{
    return GetDataFolder();
}

QString DataFolderFixture::storePath() const
{
    return GetProfileStorePath();
}

void DataFolderFixture::writeStore(const QByteArray& contents) const
{
    QFile file(storePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write the test store");
    file.write(contents);
}

QByteArray DataFolderFixture::readStore() const
{
    QFile file(storePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void MainWindowDeleter::operator()(TFrmMain* window) const
{
    window->runner().cancelAll();
    if (!waitUntilIdle(*window))
        qWarning("a job of the window did not end");
    delete window;
}

MainWindowPtr makeMainWindow(std::unique_ptr<IBackupEngine> engine)
{
    // A new window is a new program: boxes open again, and the tests see every box.
    MessageBox::setClosingDown(false);
    MessageBox::setRecording(true);
    MainWindowPtr window(new TFrmMain(std::move(engine)));
    if (auto* timer = window->findChild<QTimer*>(QStringLiteral("TimerSchedule")))
        timer->stop();
    window->runner().setProgressInterval(0);
    return window;
}

bool waitUntilIdle(TFrmMain& window)
{
    const QDeadlineTimer deadline(60000);
    while (window.runner().busy() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return !window.runner().busy();
}

void setClock(TFrmMain& window, const QDateTime& now)
{
    window.setClock([now] { return now; });
}
