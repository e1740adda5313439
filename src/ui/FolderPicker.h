#pragma once

#include <QString>

class QWidget;

// The folder browser, behind a seam: tests queue the folder the next call returns
// (an empty text stands for a cancelled browser).
namespace FolderPicker {

// The chosen folder, or empty text when the user cancelled. The browser opens at `current`
// when that folder exists, else at the user's home folder.
QString chooseFolder(QWidget* owner, const QString& title, const QString& current);

void setNextFolder(const QString& folder);
// The title and start folder of the last browser opened (tests).
QString lastTitle();
QString lastStartFolder();

} // namespace FolderPicker
