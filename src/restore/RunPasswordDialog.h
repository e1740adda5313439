#pragma once

#include <QString>

#include <optional>

class QWidget;

// The small dialog that asks for the password a backup was made with, when the profile's
// password (changed since) does not open it. Tests queue the next answers (none: "Cancel").
namespace RunPasswordDialog {

// `archive` names the backup; `again` says that the last password given did not open it.
std::optional<QString> ask(QWidget* owner, const QString& archive, bool again);

void setNextAnswer(const std::optional<QString>& answer);
// The texts of the dialogs asked so far, taken (tests).
QStringList takeAsked();

} // namespace RunPasswordDialog
