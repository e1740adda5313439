#include "MainWindowFixture.h"

#include "app/DataFolder.h"
#include "ui/MessageBox.h"

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

std::unique_ptr<TFrmMain> makeMainWindow(std::unique_ptr<IBackupEngine> engine)
{
    // A new window is a new program: boxes open again, and the tests see every box.
    MessageBox::setClosingDown(false);
    MessageBox::setRecording(true);
    auto window = std::make_unique<TFrmMain>(std::move(engine));
    if (auto* timer = window->findChild<QTimer*>(QStringLiteral("TimerSchedule")))
        timer->stop();
    return window;
}

void setClock(TFrmMain& window, const QDateTime& now)
{
    window.setClock([now] { return now; });
}
