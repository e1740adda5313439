#pragma once

#include "backup/EngineInterface.h"
#include "backup/JobSetUp.h"
#include "profiles/ProfileRecord.h"
#include "profiles/ProfileView.h"
#include "schedule/ScheduleRules.h"
#include "schedule/StaleBackups.h"
#include "schedule/Timestamp.h"
#include "ui/MessageBox.h"

#include <QDateTime>
#include <QHash>

#include <tuple>
#include <QList>
#include <QSystemTrayIcon>
#include <QWidget>

#include <functional>
#include <memory>
#include <span>

class DesktopNotifier;
class JobRunner;
class ManualRun;
class ProgressBand;
class RestoreWindow;
struct RestoreSource;
class Schedule;
class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimer;
class QTreeWidget;
class SpinEdit;

// The main window: profile list, property panel, tray icon and schedule timer. The editor's
// handlers live in src/profiles; the schedule, the manual run and the job runner are
// classes of their own that the window drives (src/app/MainWindowRuns.cpp).
class TFrmMain : public QWidget, private ProfileView
{
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    explicit TFrmMain(std::unique_ptr<IBackupEngine> engine, QWidget* parent = nullptr);
    ~TFrmMain() override;

    // Shell (src/app/TFrmMain.cpp)
    void ShowBalloon(const QString& text);
    void showMainWindow();
    void MnuShowMainWindowClick();
    void MnuHelpClick();
    void BtnHelpClick();
    void MnuExitClick();
    void BtnAboutClick();
    // The end of the session, or SIGTERM/SIGINT/SIGHUP: ends the program like "Exit".
    void WMQueryEndSession();
    void WMTrayIcon(QSystemTrayIcon::ActivationReason reason);
    bool closeAllowed() const { return CloseAllowed; }
    // The window shows itself at start: there is no notification area to reach it from, or
    // this is the very first start (no Profiles.ini yet).
    bool showAtStart() const;
    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    QMenu* popupMenu() const { return PopupMenu; }
    MessageBox& messageBox() { return dlg; }

    // Profiles (src/profiles/LoadProfiles.cpp)
    void LoadProfiles();
    const ProfileTable& profileTable() const { return m_profileTable; }

    // Editor (src/profiles/ProfileEditor.cpp, src/profiles/SaveDeleteProfile.cpp)
    void LvwProfilesClick();
    void BtnAddProfileClick();
    void BtnDeleteProfileClick();
    void BtnSaveProfileClick();
    void BtnSelectSrcClick();
    void BtnSelectDstClick();
    void BtnFilterSetupClick();
    void BtnPasswordClick();
    void RgpFrequencyClick();
    void ChkDeleteBackupClick();
    void EdtProfileNameChange();
    void EdtFrequencyChange();
    void SpinHourChange();
    void SpinMinuteChange();
    void SpinRetensionChange();
    void CboBackupTypeChange();
    void CboCompressLevelChange();
    void CboWeekdayChange();
    void ChkVerifyAfterBackupClick();
    // The panel's working copy, read and written by the filter and password dialogs.
    QLineEdit* includeFilterField() const { return EdtIncludeFilter; }
    QLineEdit* excludeFilterField() const { return EdtExcludeFilter; }
    QLineEdit* filterSummaryField() const { return EdtFilter; }
    QLineEdit* passwordField() const { return EdtPassword; }

    // Schedule, manual run, media prompt, progress and status (src/app/MainWindowRuns.cpp)
    void TimerScheduleTimer();
    void setClock(Clock clock) { m_clock = std::move(clock); }
    void setQuitGrace(int milliseconds) { m_quitGraceMs = milliseconds; }
    const TimestampSeparators& separators() const { return m_separators; }
    void BtnRunProfileClick();
    bool XmainInsertMedia(const QString& mediaLabel, qint32 diskNumber);
    // "Cancel" in the band: asks once, then cancels the job that runs.
    void BtnCancelRunClick();
    JobRunner& runner() const { return *m_runner; }
    ProgressBand* band() const { return m_band; }
    bool jobRunning() const;
    // "Restore..." and the icon menu's "Restore Files...": the restore window, for the
    // selected profile (the button) or for the user to pick one (the menu, no selection).
    void BtnRestoreClick();
    void MnuRestoreFilesClick();
    RestoreWindow* restoreWindow() const { return m_restoreWindow; }

signals:
    // Every balloon shown at the tray icon (also when there is no notification area).
    void balloonShown(const QString& title, const QString& text);
    // The window has closed for good ("Exit", the end of the session): the program ends.
    // While a backup is being cancelled this comes once it has returned.
    void closedForGood();
    // Closed for good while a job runs: the program is on its way out and shows nothing more.
    void closingDown();
    // The cancelled job has not returned within the grace time after closing (it waits on a
    // network share or drive that stopped answering): the program ends without it.
    void runAbandoned();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildLayout();
    void buildPropertyPanel();
    void connectHandlers();
    void FormCreate();
    void FormClose();
    void createTrayIcon();
    void readSeparators();
    // "Exit" and the end of the session: cancels a running backup, closes every open box
    // and ends the program without a question.
    void closeForGood();

    // Runs a handler; an exception it throws ends it and is shown in the error box.
    void runHandler(void (TFrmMain::*handler)());
    template <typename Sender, typename Signal>
    void onSignal(Sender* sender, Signal signal, void (TFrmMain::*handler)());

    // Editor helpers (src/profiles/ProfileEditor.cpp)
    int selectedRow() const;
    bool editMode() const { return selectedRow() >= 0; }
    const ProfileRecord* selectedRecord() const;
    void fillPanel(const ProfileRecord& record);
    void newProfileReset();
    void setFrequencyOption(int option);
    int frequencyOption() const;
    void applyFrequencyOption(bool fillDefaults);
    void setDeleteBackupChecked(bool checked);
    // Enables "Save Profile" when, in edit mode, `changed` holds.
    void markChangedIf(bool changed);
    // Selects the row (none for -1) without running the row-click handler.
    void selectRowQuietly(int row);
    // A press on the list's empty space clears its selection.
    void watchEmptyListClicks();
    // The message of the first check of the panel that fails, or empty text.
    QString saveCheckFailure() const;
    void writeProfile(const QString& name);
    // Called by a save, before the reload: the profile of the running backup (under its old
    // or its new name) keeps the save's fresh schedule instead of the run's texts.
    void profileSaved(const QString& name);

    // Runs (src/app/MainWindowRuns.cpp)
    void createRunners();
    // ProfileView: what the schedule and the manual run see of the window.
    ProfileTable& profiles() override { return m_profileTable; }
    int profileRows() const override;
    void showLastRun(int row, const QString& text) override;
    void showNextRun(int row, const QString& text) override;
    bool closing() const override { return CloseAllowed; }
    void jobStarted();
    void jobProgressed();
    void jobFinished(const QString& profile);
    void jobsDone();
    // Shows every profile's status (after a load), reading from the catalog only those not
    // known yet; or one profile's, read again (after its run).
    void showProfileStatuses();
    void showProfileStatus(int row, bool readAgain);
    // The band shows the running job, or the selected profile's status.
    void showBand();
    QStringList statusOf(const ProfileRecord& record) const;
    void warnAboutStaleBackups(const QDateTime& now);
    void watchRunningJob(const QDateTime& now);
    void openRestoreWindow(const QString& profile);
    QList<RestoreSource> restoreSources() const;
    // The profiles of the list's rows. The table may hold more: deleting the last profile
    // leaves its entry in the table, for the next save to use again.
    std::span<const ProfileRecord> listedProfiles() const;
    // Gives an open restore window the profiles as they are now (after a load).
    void updateRestoreWindow();
    // Shows the error box for an error met outside a handler (a run's end).
    void showError(const QString& text);

public:
    // The window's widgets, named as the tests find them.
    QPushButton* BtnAddProfile = nullptr;
    QPushButton* BtnDeleteProfile = nullptr;
    QPushButton* BtnRunProfile = nullptr;
    QPushButton* BtnRestore = nullptr;
    QPushButton* BtnHelp = nullptr;
    QPushButton* BtnAbout = nullptr;
    QTreeWidget* LvwProfiles = nullptr;
    QGroupBox* GboProperties = nullptr;
    QPushButton* BtnSaveProfile = nullptr;

    QLabel* LblProfileName = nullptr;
    QLineEdit* EdtProfileName = nullptr;
    QLabel* LblSrcFolder = nullptr;
    QLineEdit* EdtSrcFolder = nullptr;
    QPushButton* BtnSelectSrc = nullptr;
    QLabel* LblDstFolder = nullptr;
    QLineEdit* EdtDstFolder = nullptr;
    QPushButton* BtnSelectDst = nullptr;
    QLabel* LblFilter = nullptr;
    QLineEdit* EdtFilter = nullptr;
    QPushButton* BtnFilterSetup = nullptr;
    QLineEdit* EdtIncludeFilter = nullptr;
    QLineEdit* EdtExcludeFilter = nullptr;
    QGroupBox* RgpFrequency = nullptr;
    QButtonGroup* m_frequencyButtons = nullptr;
    QRadioButton* RbFrequency[6] = {};
    QLabel* LblFrequency = nullptr;
    SpinEdit* EdtFrequency = nullptr;
    QComboBox* CboWeekday = nullptr;
    QLabel* LblStartingTime = nullptr;
    SpinEdit* SpinHour = nullptr;
    QLabel* Label7 = nullptr;
    SpinEdit* SpinMinute = nullptr;
    QGroupBox* GboAdvancedProfile = nullptr;
    QLabel* LblBackupType = nullptr;
    QComboBox* CboBackupType = nullptr;
    QLabel* LblCompressLevel = nullptr;
    QComboBox* CboCompressLevel = nullptr;
    QPushButton* BtnPassword = nullptr;
    QLineEdit* EdtPassword = nullptr;
    QCheckBox* ChkVerifyAfterBackup = nullptr;
    QCheckBox* ChkDeleteBackup = nullptr;
    SpinEdit* SpinRetension = nullptr;
    QLabel* LblRetension = nullptr;

private:
    std::unique_ptr<IBackupEngine> Xmain;
    // Declared after the engine: it is destroyed first, waiting for a job on the engine.
    std::unique_ptr<JobRunner> m_runner;
    Schedule* m_schedule = nullptr;
    ProgressBand* m_band = nullptr;
    ManualRun* m_manualRun = nullptr;
    RestoreWindow* m_restoreWindow = nullptr;
    // What the catalog says of each profile's set, by profile name.
    struct ProfileStatus
    {
        QString folder;
        RunHistory history;
    };
    QHash<QString, ProfileStatus> m_statuses;
    StaleBackups m_staleBackups;
    DesktopNotifier* m_successNotifier = nullptr;
    EngineObjects m_engineObjects;
    ProfileTable m_profileTable;
    MessageBox dlg;
    QTimer* TimerSchedule = nullptr;
    QMenu* PopupMenu = nullptr;
    QAction* MnuShowMainWindow = nullptr;
    QAction* MnuRestoreFiles = nullptr;
    QAction* MnuHelp = nullptr;
    QAction* MnuExit = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    DesktopNotifier* m_notifier = nullptr;
    Clock m_clock;
    TimestampSeparators m_separators;
    bool CloseAllowed = false;
    bool m_placed = false;         // centred on the desktop at its first showing
    bool m_firstStart = false;     // there was no Profiles.ini at start
    bool m_quitPending = false;    // closed for good while a backup was being cancelled
    int m_quitGraceMs = 15000;     // how long a cancelled job may take to return at the end
    // The running job's progress as last seen, since when it stands still, and whether the
    // user was told.
    std::tuple<quint64, quint64, quint64, quint64> m_stillMark;
    QDateTime m_stillSince;
    QDateTime m_lastWatched;
    bool m_stillTold = false;
    bool m_askingToCancel = false; // the question whether to cancel the running job is open
    bool m_askingForMedia = false; // the media prompt is open
    int m_frequencyOption = -1;    // the option whose controls are shown
    int m_panelFills = 0;          // counts the times the panel was filled or reset
};
