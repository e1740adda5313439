#include "FolderPicker.h"

#include "ModalScope.h"

#include <QFileDialog>
#include <QList>

namespace {

QList<QString> s_nextFolders;
QString s_lastTitle;

} // namespace

QString FolderPicker::chooseFolder(QWidget* owner, const QString& title)
{
    s_lastTitle = title;
    if (!s_nextFolders.isEmpty())
        return s_nextFolders.takeFirst();
    const ModalScope modal;
    return QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
}

void FolderPicker::setNextFolder(const QString& folder)
{
    s_nextFolders << folder;
}

QString FolderPicker::lastTitle()
{
    return s_lastTitle;
}
