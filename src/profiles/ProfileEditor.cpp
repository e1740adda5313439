// The profile editor: the property panel of the main window. The panel's controls are the
// working copy of one profile, the profile table is the saved state, and the enabled state
// of "Save Profile" is the only record of unsaved changes. With a row selected the panel
// edits that row's profile (edit mode); with none it creates a new profile.

#include "app/TFrmMain.h"
#include "dialogs/TFrmFilter.h"
#include "dialogs/TFrmPassword.h"
#include "profiles/FilterSummary.h"
#include "ui/FolderPicker.h"
#include "ui/SpinEdit.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTreeWidget>

#include <algorithm>

namespace {

const QString PropertiesCaption = QStringLiteral("Profile Properties");
const QString NewProfileCaption =
    QStringLiteral("Add new profile here, then click \"Save Profile\" button");
const QString DefaultHour = QStringLiteral("6");
const QString DefaultMinute = QStringLiteral("30");

// How each frequency option shows its controls.
struct FrequencyLayout
{
    const char* intervalLabel; // nullptr: the label is hidden
    bool interval;
    bool weekday;
    bool startingTime;
    const char* retentionUnit;
    const char* defaultInterval; // put into an empty interval field on choosing the option
};

constexpr FrequencyLayout FrequencyLayouts[6] = {
    {nullptr, false, false, false, "days", nullptr},       // Manual
    {"Minutes:", true, false, false, "hours", "10"},       // Every few minutes
    {"Hours:", true, false, false, "hours", "2"},          // Every few hours
    {nullptr, false, false, true, "days", nullptr},        // Once a day
    {"Weekday:", false, true, true, "weeks", nullptr},     // Once a week
    {"Days:", true, false, true, "days", "3"},             // Every few days
};

void fillIfEmpty(SpinEdit* field, const QString& value)
{
    if (field->text().isEmpty())
        field->setText(value);
}

// Clears the list's selection when a press lands on no row; the row-click handler then
// finds no selection and leaves the panel as it is.
class EmptySpaceClicks : public QObject
{
public:
    explicit EmptySpaceClicks(QTreeWidget* list) : QObject(list), m_list(list) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress) {
            const auto* press = static_cast<QMouseEvent*>(event);
            if (!m_list->itemAt(press->position().toPoint())) {
                m_list->clearSelection();
                m_list->setCurrentItem(nullptr);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTreeWidget* m_list;
};

} // namespace

// ---- Selection and saved state ------------------------------------------------------

int TFrmMain::selectedRow() const
{
    const QList<QTreeWidgetItem*> selected = LvwProfiles->selectedItems();
    return selected.isEmpty() ? -1 : LvwProfiles->indexOfTopLevelItem(selected.first());
}

const ProfileRecord* TFrmMain::selectedRecord() const
{
    const int row = selectedRow();
    if (row < 0)
        return nullptr;
    // The entry of the row's name among the entries that rows stand for; after a load
    // that an engine failure cut short, entry and row of one index may differ.
    const QString caption = LvwProfiles->topLevelItem(row)->text(0);
    const qsizetype count =
        std::min<qsizetype>(LvwProfiles->topLevelItemCount(), qsizetype(m_profileTable.size()));
    const ProfileRecord* found = nullptr;
    for (qsizetype i = 0; i < count; ++i) {
        if (m_profileTable[size_t(i)].Name == caption)
            found = &m_profileTable[size_t(i)];
    }
    return found;
}

void TFrmMain::selectRowQuietly(int row)
{
    {
        const QSignalBlocker blocker(LvwProfiles);
        if (row < 0) {
            LvwProfiles->clearSelection();
            LvwProfiles->setCurrentItem(nullptr);
        } else {
            LvwProfiles->setCurrentItem(LvwProfiles->topLevelItem(row));
        }
    }
    // The band follows the selection, quiet or not.
    showBand();
}

void TFrmMain::watchEmptyListClicks()
{
    LvwProfiles->viewport()->installEventFilter(new EmptySpaceClicks(LvwProfiles));
}

void TFrmMain::markChangedIf(bool changed)
{
    // In new-profile mode "Save Profile" is already enabled.
    if (changed && editMode())
        BtnSaveProfile->setEnabled(true);
}

// ---- Frequency option ----------------------------------------------------------------

int TFrmMain::frequencyOption() const
{
    return m_frequencyButtons->checkedId();
}

void TFrmMain::setFrequencyOption(int option)
{
    // Checking the item that is checked already runs no handler.
    RbFrequency[std::clamp(option, 0, 5)]->setChecked(true);
}

void TFrmMain::applyFrequencyOption(bool fillDefaults)
{
    const FrequencyLayout& layout = FrequencyLayouts[std::clamp(m_frequencyOption, 0, 5)];

    LblFrequency->setVisible(layout.intervalLabel != nullptr);
    if (layout.intervalLabel) {
        LblFrequency->setText(QLatin1String(layout.intervalLabel));
        LblFrequency->adjustSize();
    }
    EdtFrequency->setVisible(layout.interval);
    CboWeekday->setVisible(layout.weekday);
    for (QWidget* control : {static_cast<QWidget*>(LblStartingTime), static_cast<QWidget*>(SpinHour),
                             static_cast<QWidget*>(Label7), static_cast<QWidget*>(SpinMinute)})
        control->setVisible(layout.startingTime);
    LblRetension->setText(QLatin1String(layout.retentionUnit));
    LblRetension->adjustSize();

    if (!fillDefaults)
        return;
    if (layout.defaultInterval)
        fillIfEmpty(EdtFrequency, QLatin1String(layout.defaultInterval));
    if (layout.weekday && CboWeekday->currentIndex() < 0)
        CboWeekday->setCurrentIndex(0);
    if (layout.startingTime) {
        fillIfEmpty(SpinHour, DefaultHour);
        fillIfEmpty(SpinMinute, DefaultMinute);
    }
}

void TFrmMain::RgpFrequencyClick()
{
    m_frequencyOption = frequencyOption();
    applyFrequencyOption(true);
    const ProfileRecord* saved = selectedRecord();
    markChangedIf(!saved || m_frequencyOption != saved->FrequencyOption);
}

// ---- Row click and new-profile reset --------------------------------------------------

void TFrmMain::LvwProfilesClick()
{
    if (LvwProfiles->topLevelItemCount() == 0 || selectedRow() < 0)
        return;
    GboProperties->setEnabled(true);
    GboProperties->setTitle(PropertiesCaption);
    if (const ProfileRecord* record = selectedRecord())
        fillPanel(*record);
    // The field handlers that ran while filling may have enabled it.
    BtnSaveProfile->setEnabled(false);
}

void TFrmMain::fillPanel(const ProfileRecord& saved)
{
    ++m_panelFills;
    EdtProfileName->setText(saved.Name);
    EdtSrcFolder->setText(saved.SourceFolder);
    EdtDstFolder->setText(saved.DestinationFolder);
    EdtIncludeFilter->setText(saved.IncludeFilter);
    EdtExcludeFilter->setText(saved.ExcludeFilter);
    EdtFilter->setText(filterSummary(saved.IncludeFilter, saved.ExcludeFilter));

    setFrequencyOption(saved.FrequencyOption);
    const int option = frequencyOption();
    if (option == 1 || option == 2 || option == 5)
        EdtFrequency->setText(QString::number(saved.FrequencyInterval));
    if (option == 4) {
        const int day = CboWeekday->findText(saved.WeekDay, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (day >= 0)
            CboWeekday->setCurrentIndex(day);
    }
    if (option >= 3) {
        const qsizetype colon = saved.StartingTime.indexOf(QLatin1Char(':'));
        SpinHour->setText(colon < 0 ? QString() : saved.StartingTime.left(colon));
        SpinMinute->setText(colon < 0 ? saved.StartingTime : saved.StartingTime.mid(colon + 1));
    }

    CboBackupType->setCurrentIndex(saved.BackupType);
    CboCompressLevel->setCurrentIndex(saved.CompressLevel);
    EdtPassword->setText(saved.CompressPassword);
    ChkVerifyAfterBackup->setChecked(saved.BoolVerifyBackup);
    setDeleteBackupChecked(saved.BoolDeleteBackup);
    // An age that cannot be read shows as none rather than as 0, so that a save with the
    // box ticked asks for one instead of writing 0 (delete all but the newest backup).
    const bool ageUnknown = saved.BoolDeleteBackup && !saved.DeleteIntervalReadable;
    SpinRetension->setText(ageUnknown ? QString() : QString::number(saved.DeleteInterval));
}

void TFrmMain::BtnAddProfileClick()
{
    newProfileReset();
}

void TFrmMain::newProfileReset()
{
    ++m_panelFills;
    GboProperties->setEnabled(true);
    BtnSaveProfile->setEnabled(true);
    GboProperties->setTitle(NewProfileCaption);

    EdtProfileName->clear();
    EdtSrcFolder->clear();
    EdtDstFolder->clear();
    EdtIncludeFilter->clear();
    EdtExcludeFilter->clear();
    EdtFilter->clear();

    setFrequencyOption(2);
    EdtFrequency->setText(QStringLiteral("2"));
    // Empty, so that a later choice of a daily, weekly or every-few-days option fills in 6:30.
    SpinHour->setText(QString());
    SpinMinute->setText(QString());

    CboBackupType->setCurrentIndex(1);
    CboCompressLevel->setCurrentIndex(2);

    ChkVerifyAfterBackup->setChecked(true);
    EdtPassword->clear();
    setDeleteBackupChecked(false);
    SpinRetension->setEnabled(false);
    SpinRetension->setText(QStringLiteral("10"));

    selectRowQuietly(-1);
}

// ---- Check boxes ----------------------------------------------------------------------

void TFrmMain::setDeleteBackupChecked(bool checked)
{
    // QCheckBox reports only real changes, so an unchanged value runs no handler.
    ChkDeleteBackup->setChecked(checked);
}

void TFrmMain::ChkDeleteBackupClick()
{
    SpinRetension->setEnabled(ChkDeleteBackup->isChecked());
    markChangedIf(true);
}

void TFrmMain::ChkVerifyAfterBackupClick()
{
    markChangedIf(true);
}

// ---- Fields ---------------------------------------------------------------------------

void TFrmMain::EdtProfileNameChange()
{
    const ProfileRecord* saved = selectedRecord();
    markChangedIf(!saved || EdtProfileName->text() != saved->Name);
}

void TFrmMain::EdtFrequencyChange()
{
    const ProfileRecord* saved = selectedRecord();
    markChangedIf(!saved || EdtFrequency->text() != QString::number(saved->FrequencyInterval));
}

void TFrmMain::SpinHourChange()
{
    markChangedIf(true);
}

void TFrmMain::SpinMinuteChange()
{
    markChangedIf(true);
}

void TFrmMain::SpinRetensionChange()
{
    markChangedIf(true);
}

void TFrmMain::CboBackupTypeChange()
{
    markChangedIf(true);
}

void TFrmMain::CboCompressLevelChange()
{
    markChangedIf(true);
}

void TFrmMain::CboWeekdayChange()
{
    markChangedIf(true);
}

// ---- Folders and dialogs --------------------------------------------------------------

void TFrmMain::BtnSelectSrcClick()
{
    const int panel = m_panelFills;
    const QString folder = FolderPicker::chooseFolder(this, QStringLiteral("Please select source folder"),
                                                      EdtSrcFolder->text());
    // A backup may have run inside the browser while the user went on to another profile.
    if (folder.isEmpty() || panel != m_panelFills)
        return;
    EdtSrcFolder->setText(folder);
    const ProfileRecord* saved = selectedRecord();
    markChangedIf(!saved || folder != saved->SourceFolder);
}

void TFrmMain::BtnSelectDstClick()
{
    const int panel = m_panelFills;
    const QString folder =
        FolderPicker::chooseFolder(this, QStringLiteral("Please select destination folder"),
                                   EdtDstFolder->text());
    if (folder.isEmpty() || panel != m_panelFills)
        return;
    EdtDstFolder->setText(folder);
    const ProfileRecord* saved = selectedRecord();
    markChangedIf(!saved || folder != saved->DestinationFolder);
}

void TFrmMain::BtnFilterSetupClick()
{
    {
        TFrmFilter dialog(*this);
        dialog.exec();
    }
    const ProfileRecord* saved = selectedRecord();
    markChangedIf(!saved || EdtIncludeFilter->text() != saved->IncludeFilter
                  || EdtExcludeFilter->text() != saved->ExcludeFilter);
}

void TFrmMain::BtnPasswordClick()
{
    {
        TFrmPassword dialog(*this);
        dialog.exec();
    }
    const ProfileRecord* saved = selectedRecord();
    markChangedIf(!saved || EdtPassword->text() != saved->CompressPassword);
}
