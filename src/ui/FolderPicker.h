#pragma once

#include <QString>

class QWidget;

// The folder browser, behind a seam: tests queue the folder the next call returns
// (an empty text stands for a cancelled browser).
namespace FolderPicker {

// The chosen folder, or empty text when the user cancelled.
QString chooseFolder(QWidget* owner, const QString& title);

void setNextFolder(const QString& folder);
// The title of the last browser opened (tests).
QString lastTitle();

} // namespace FolderPicker
