// "Save Profile" and "Delete Profile": the panel's profile is checked and written to its
// section of Profiles.ini, or the selected profile's section is erased; either way the
// whole store is loaded again, which also sets up every engine job anew.

#include "app/DataFolder.h"
#include "app/TFrmMain.h"
#include "profiles/FieldChecks.h"
#include "profiles/ProfileStore.h"
#include "ui/SpinEdit.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>

#include <algorithm>

namespace {

const QString PropertiesCaption = QStringLiteral("Profile Properties");

// The store trims section names and ends them at "]"; "[" and control characters would
// make a header that reads back as another name, or as no header at all.
bool storeCanHoldName(const QString& name)
{
    if (name != name.trimmed())
        return false;
    return std::none_of(name.cbegin(), name.cend(), [](QChar c) {
        return c == u'[' || c == u']' || c.category() == QChar::Other_Control;
    });
}

// The unit of the interval field for a frequency option that shows it.
QString intervalUnit(int option)
{
    return option == 1 ? QStringLiteral("minutes") : option == 2 ? QStringLiteral("hours")
                                                                 : QStringLiteral("days");
}

QString outOfRange(const QString& field, const QString& unit, int minimum, int maximum)
{
    return QStringLiteral("%1 must be a whole number%2 from %3 to %4.")
        .arg(field, unit.isEmpty() ? QString() : u" of " + unit)
        .arg(minimum)
        .arg(maximum);
}

// Line breaks and other control characters cannot be stored as they are (Profiles.ini
// writes a line break as a blank), so the profile would name another folder or filter.
QString controlCharacters(const QString& what, const QString& remedy)
{
    return QStringLiteral("%1 contains a line break or another control character, which cannot "
                          "be stored. %2")
        .arg(what, remedy);
}

} // namespace

QString TFrmMain::saveCheckFailure() const
{
    using namespace FieldLimits;

    const QString name = EdtProfileName->text();
    if (name.isEmpty())
        return QStringLiteral("Profile name can not be blank.");
    if (EdtSrcFolder->text().isEmpty())
        return QStringLiteral("Please select a source folder.");
    const QString chooseAnother = QStringLiteral("Please choose another folder.");
    if (hasControlCharacters(EdtSrcFolder->text()))
        return controlCharacters(QStringLiteral("The source folder's path"), chooseAnother);
    if (EdtDstFolder->text().isEmpty())
        return QStringLiteral("Please select a destination folder.");
    if (hasControlCharacters(EdtDstFolder->text()))
        return controlCharacters(QStringLiteral("The destination folder's path"), chooseAnother);
    if (hasControlCharacters(EdtIncludeFilter->text()) || hasControlCharacters(EdtExcludeFilter->text())) {
        return controlCharacters(QStringLiteral("The file filter"),
                                 QStringLiteral("Please set up the filter again without it."));
    }

    // A control counts as shown by its own flag: the window itself may be hidden. A number
    // out of range would be stored as typed but read back as another value (or a default).
    if (!EdtFrequency->isHidden()) {
        if (EdtFrequency->text().isEmpty())
            return QStringLiteral("Please enter a backup frequency time.");
        if (!wholeNumberIn(EdtFrequency->text(), IntervalMinimum, IntervalMaximum)) {
            return outOfRange(QStringLiteral("The backup frequency"), intervalUnit(frequencyOption()),
                              IntervalMinimum, IntervalMaximum);
        }
    }
    if (!CboWeekday->isHidden() && CboWeekday->currentIndex() < 0)
        return QStringLiteral("Please select a weekday.");
    if (!SpinHour->isHidden()) {
        if (SpinHour->text().isEmpty())
            return QStringLiteral("Please enter a starting hour.");
        if (!wholeNumberIn(SpinHour->text(), 0, HourMaximum))
            return outOfRange(QStringLiteral("The starting hour"), {}, 0, HourMaximum);
    }
    if (!SpinMinute->isHidden()) {
        if (SpinMinute->text().isEmpty())
            return QStringLiteral("Please enter a starting minute.");
        if (!wholeNumberIn(SpinMinute->text(), 0, MinuteMaximum))
            return outOfRange(QStringLiteral("The starting minute"), {}, 0, MinuteMaximum);
    }
    if (ChkDeleteBackup->isChecked()) {
        if (SpinRetension->text().isEmpty())
            return QStringLiteral("Please enter a retension time.");
        if (!wholeNumberIn(SpinRetension->text(), 0, RetentionMaximum)) {
            return outOfRange(QStringLiteral("The age in \"Delete backups older than\""),
                              LblRetension->text(), 0, RetentionMaximum);
        }
    }

    const QString alreadyExists =
        QStringLiteral("The profile name already exists, please enter another name.");
    const int selected = selectedRow();
    const int rows = LvwProfiles->topLevelItemCount();
    if (selected < 0) {
        for (int row = 0; row < rows; ++row) {
            if (LvwProfiles->topLevelItem(row)->text(0) == name)
                return alreadyExists;
        }
    }

    if (!storeCanHoldName(name)) {
        return QStringLiteral("Profile name can not contain \"[\", \"]\" or control characters, "
                              "nor begin or end with a blank.");
    }
    if (!nameFitsFileName(name)) {
        return QStringLiteral("Profile name is too long, please enter a shorter name. Backup files "
                              "are named after the profile, which leaves room for %1 letters, digits "
                              "or blanks; an accented letter, a letter of another alphabet or a "
                              "symbol takes the room of two to four.")
            .arg(NameBytesMaximum);
    }
    // The store matches section names without regard to letter case: two profiles whose
    // names differ only in case would share one section, and a rename onto another
    // profile's name would overwrite it.
    for (int row = 0; row < rows; ++row) {
        if (row == selected)
            continue;
        const QString other = LvwProfiles->topLevelItem(row)->text(0);
        if (other == name)
            return alreadyExists;
        if (other.compare(name, Qt::CaseInsensitive) == 0) {
            return QStringLiteral("A profile with this name already exists (names are compared "
                                  "without regard to letter case), please enter another name.");
        }
    }
    return {};
}

void TFrmMain::writeProfile(const QString& name)
{
    // A rename erases the old section. All of it is one replacement of the file: a save cut
    // short (a full disk) leaves the profile as it was, never half written.
    QString erasing;
    const int selected = selectedRow();
    if (selected >= 0) {
        const QString oldName = LvwProfiles->topLevelItem(selected)->text(0);
        if (oldName != name)
            erasing = oldName;
    }

    QList<std::pair<QString, QString>> values;
    auto put = [&values](const QString& key, const QString& value) { values.append({key, value}); };
    put(QStringLiteral("SourceFolder"), EdtSrcFolder->text());
    put(QStringLiteral("DestinationFolder"), EdtDstFolder->text());
    put(QStringLiteral("IncludeFilter"), EdtIncludeFilter->text());
    put(QStringLiteral("ExcludeFilter"), EdtExcludeFilter->text());

    const int option = frequencyOption();
    put(QStringLiteral("FrequencyOption"), QString::number(option));
    const QString startingTime = SpinHour->text() + u':' + SpinMinute->text();
    switch (option) {
    case 1:
    case 2:
        put(QStringLiteral("FrequencyInterval"), EdtFrequency->text());
        break;
    case 3:
        put(QStringLiteral("StartingTime"), startingTime);
        break;
    case 4:
        put(QStringLiteral("WeekDay"), CboWeekday->currentText());
        put(QStringLiteral("StartingTime"), startingTime);
        break;
    case 5:
        put(QStringLiteral("FrequencyInterval"), EdtFrequency->text());
        put(QStringLiteral("StartingTime"), startingTime);
        break;
    default:
        break;
    }

    put(QStringLiteral("BackupType"), QString::number(CboBackupType->currentIndex()));
    put(QStringLiteral("CompressLevel"), QString::number(CboCompressLevel->currentIndex()));
    put(QStringLiteral("CompressPassword"), EdtPassword->text());
    put(QStringLiteral("BoolVerifyBackup"), ChkVerifyAfterBackup->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    put(QStringLiteral("BoolDeleteBackup"), ChkDeleteBackup->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    put(QStringLiteral("DeleteInterval"), SpinRetension->text());
    // Empty run times hand the profile to the schedule timer, which places it afresh.
    put(QStringLiteral("LastRun"), QString());
    put(QStringLiteral("NextRun"), QString());
    ProfileStore(GetProfileStorePath()).writeValues(name, values, erasing);
}

void TFrmMain::BtnSaveProfileClick()
{
    if (const QString failure = saveCheckFailure(); !failure.isEmpty()) {
        dlg.setCaption(QStringLiteral("Error"));
        dlg.setText(failure);
        dlg.exec();
        return;
    }

    const QString name = EdtProfileName->text();
    // A failed write ends the handler here with "Save Profile" still enabled.
    writeProfile(name);
    profileSaved(name);

    BtnSaveProfile->setEnabled(false);
    LoadProfiles();

    // The panel keeps the values just saved: selecting the row does not fill it again.
    LvwProfiles->setFocus();
    for (int row = 0; row < LvwProfiles->topLevelItemCount(); ++row) {
        if (LvwProfiles->topLevelItem(row)->text(0) == name)
            selectRowQuietly(row);
    }
    GboProperties->setTitle(PropertiesCaption);
}

void TFrmMain::BtnDeleteProfileClick()
{
    if (LvwProfiles->topLevelItemCount() == 0 || selectedRow() < 0)
        return;
    const QString name = LvwProfiles->topLevelItem(selectedRow())->text(0);

    dlg.setCaption(QStringLiteral("Delete Profile"));
    dlg.setText(QStringLiteral("Do you really want to delete the selected profile?"));
    dlg.setButton(0, QStringLiteral("Yes"), 1);
    dlg.setButton(1, QStringLiteral("No"), 2);
    dlg.setButtonCount(2);
    const int answer = dlg.exec();
    dlg.restoreRestingState();
    if (answer != 1)
        return;

    // Only the profile the user was asked about is deleted, whatever happened meanwhile.
    const int row = selectedRow();
    if (row < 0 || LvwProfiles->topLevelItem(row)->text(0) != name)
        return;
    {
        ProfileStore store(GetProfileStorePath());
        // A failed erase ends the handler here, leaving the row and the store as they were.
        store.eraseSection(name);
    }
    {
        const QSignalBlocker blocker(LvwProfiles);
        delete LvwProfiles->takeTopLevelItem(row);
    }

    LoadProfiles();

    const int rows = LvwProfiles->topLevelItemCount();
    if (rows == 0) {
        newProfileReset();
        return;
    }
    // The row that took the deleted one's place, or the new last row.
    selectRowQuietly(std::min(row, rows - 1));
    LvwProfiles->setFocus();
    LvwProfilesClick();
}
