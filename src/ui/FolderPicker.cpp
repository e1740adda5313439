#include "FolderPicker.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QList>

namespace {

QList<QString> s_nextFolders;
QString s_lastTitle;
QString s_lastStartFolder;

} // namespace

QString FolderPicker::chooseFolder(QWidget* owner, const QString& title, const QString& current)
{
    s_lastTitle = title;
    // Not the program's working folder, which means nothing to the user.
    s_lastStartFolder = !current.isEmpty() && QFileInfo(current).isDir() ? current : QDir::homePath();
    if (!s_nextFolders.isEmpty())
        return s_nextFolders.takeFirst();
    return QFileDialog::getExistingDirectory(owner, title, s_lastStartFolder, QFileDialog::ShowDirsOnly);
}

void FolderPicker::setNextFolder(const QString& folder)
{
    s_nextFolders << folder;
}

QString FolderPicker::lastTitle()
{
    return s_lastTitle;
}

QString FolderPicker::lastStartFolder()
{
    return s_lastStartFolder;
}
