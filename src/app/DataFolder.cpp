#include "DataFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {

QString userDataLocation()
{
    // The XDG base-directory rules: a relative path in XDG_DATA_HOME is invalid and ignored.
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdg.isEmpty() && QDir::isRelativePath(xdg))
        return QDir::homePath() + u"/.local/share";
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

} // namespace

QString appendToFolder(const QString& base, const QString& suffix)
{
    if (base.isEmpty())
        return {};
    const QString separator = base.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    return base + separator + u"Stowkeep" + suffix;
}

QString GetDataFolder()
{
    return appendToFolder(userDataLocation(), QString());
}

QString GetProfileStorePath()
{
    return appendToFolder(userDataLocation(), QStringLiteral("/Profiles.ini"));
}

QString helpFilePath(const QString& programFolder)
{
    QString folder = programFolder;
    if (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder + u"/help.html";
}

bool ensureDataFolder(const QString& folder)
{
    if (folder.isEmpty())
        return false;
    if (QFileInfo(folder).isDir())
        return true;
    // Create one level at a time so every folder we make gets 0700: the store holds passwords.
    const QString absolute = QDir::cleanPath(QDir(folder).absolutePath());
    QString path;
    const QStringList parts = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        path += u'/' + part;
        if (QFileInfo(path).isDir())
            continue;
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && !QFileInfo(path).isDir())
            return false;
    }
    return QFileInfo(folder).isDir();
}
