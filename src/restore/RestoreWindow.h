#pragma once

#include "RestoreSource.h"
#include "ui/MessageBox.h"

#include <QList>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class FileTreeFilter;
class FileTreeModel;
class IBackupEngine;
class JobRunner;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QThread;
class QTreeView;
class QTreeWidget;
struct JobOutcome;

// The restore window: a profile's backups newest first, the files of the chosen one as they
// were, tick boxes to choose, where to restore to and what to do with existing files. The
// restore runs through the job runner (a backup due meanwhile waits for it, and it for a
// backup); the listings are read on a thread of their own, so the window never stalls on a
// set whose archives must be opened to know their files.
class RestoreWindow : public QWidget
{
    Q_OBJECT

public:
    RestoreWindow(JobRunner& runner, IBackupEngine& engine, QWidget* parent = nullptr);
    ~RestoreWindow() override;

    // The profiles to choose from, and the one chosen (none: the user picks one). Ignored
    // while a restore runs.
    void setSources(const QList<RestoreSource>& sources, const QString& chosen);
    // The profiles as they are now. The backups and files shown stay unless their profile
    // changed or went. During a restore, taken once it has ended.
    void updateSources(const QList<RestoreSource>& sources);
    void showWindow();

    bool restoring() const { return m_restoring; }
    // A listing is being read.
    bool reading() const { return m_reader != nullptr; }
    FileTreeModel* fileModel() const { return m_model; }
    const std::optional<RestoreResult>& lastResult() const { return m_lastResult; }

    QComboBox* CboProfile = nullptr;
    QTreeWidget* LvwRuns = nullptr;
    QLabel* LblReading = nullptr;
    QLineEdit* EdtFind = nullptr;
    QTreeView* TvwFiles = nullptr;
    QLabel* LblTicked = nullptr;
    QRadioButton* RbOriginal = nullptr;
    QLabel* LblOriginal = nullptr;
    QRadioButton* RbOther = nullptr;
    QLineEdit* EdtTarget = nullptr;
    QPushButton* BtnBrowse = nullptr;
    QComboBox* CboExisting = nullptr;
    QPushButton* BtnRestore = nullptr;
    QProgressBar* PrgRestore = nullptr;
    QLabel* LblProgress = nullptr;
    QPushButton* BtnCancel = nullptr;
    QLabel* LblSummary = nullptr;
    QListWidget* LstSummary = nullptr;
    QPushButton* BtnOpenTarget = nullptr;
    QPushButton* BtnClose = nullptr;

signals:
    void restoreFinished();
    void readingDone();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();
    void showSources(const QList<RestoreSource>& sources, const QString& chosen);
    // Listing (RestoreWindow.cpp)
    void profileChosen();
    void runChosen();
    void listRuns();
    // The runs again after a backup of the shown profile; the run chosen, its files and what
    // is ticked stay while that run is still there.
    void refreshRuns();
    void readRuns(bool keepChosen);
    void backupEnded(const QString& profile, const JobOutcome& outcome);
    // Tries the passwords in turn; asks the user when none opens the run.
    void listFiles(const QStringList& passwords, bool again);
    void showRuns(const QList<RestoreRun>& runs, bool keepChosen);
    // Runs `work` on a thread of its own and `then` here when it has ended; a reading asked
    // for while another runs replaces the one waiting.
    void read(std::function<void()> work, std::function<void()> then);
    void readEnded();
    void showReading(const QString& text);
    const RestoreSource* source() const;
    const RestoreRun* chosenRun() const;
    void updateTicked();
    void updateButtons();
    void findChanged(const QString& text);

    // The restore (RestoreWindowRun.cpp)
    void BtnRestoreClick();
    void BtnCancelClick();
    void BtnBrowseClick();
    void BtnOpenTargetClick();
    // The user's answer to "cancel the restore?" (which may have ended meanwhile).
    bool confirmCancel();
    void cancelRestore();
    void restoreProgressed();
    void restoreDone(const JobOutcome& outcome, const RestoreResult& result);
    std::optional<QString> askRunPassword(const QString& archive, bool again);
    void showSummary(const QString& headline, const QStringList& lines);
    void setRestoring(bool restoring);

    JobRunner& m_runner;
    IBackupEngine& m_engine;
    MessageBox m_box;
    FileTreeModel* m_model = nullptr;
    FileTreeFilter* m_filter = nullptr;
    QList<RestoreSource> m_sources;
    std::optional<QList<RestoreSource>> m_sourcesLater; // given during a restore
    bool m_runsLater = false;                           // a backup ended during a restore
    QList<RestoreRun> m_runs;
    // Passwords the user gave for this profile's backups, tried before asking again.
    QStringList m_givenPasswords;
    QString m_runPassword; // the one that opened the chosen run
    QThread* m_reader = nullptr;
    std::function<void()> m_readDone;
    std::function<void()> m_nextWork;
    std::function<void()> m_nextDone;
    bool m_restoring = false;
    bool m_cancelAsked = false;
    quint64 m_jobNumber = 0;
    QString m_target;
    std::optional<RestoreResult> m_lastResult;
};
