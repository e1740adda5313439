// The restore window's restore: started through the job runner, its progress, the
// password question, "Cancel" and the summary at its end.

#include "FileTreeModel.h"
#include "RestoreWindow.h"
#include "RunPasswordDialog.h"
#include "backup/JobRunner.h"
#include "backup/RunStatus.h"
#include "ui/FolderPicker.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>

void RestoreWindow::BtnBrowseClick()
{
    const QString folder = FolderPicker::chooseFolder(this, QStringLiteral("Restore to"), EdtTarget->text());
    if (folder.isEmpty())
        return;
    EdtTarget->setText(folder);
    RbOther->setChecked(true);
}

void RestoreWindow::BtnRestoreClick()
{
    const RestoreSource* s = source();
    const RestoreRun* run = chosenRun();
    if (!s || !run || m_restoring)
        return;
    const auto existing = static_cast<ExistingFiles>(CboExisting->currentData().toInt());
    QString target = RbOriginal->isChecked() ? s->sourceBase : EdtTarget->text().trimmed();
    m_box.restoreRestingState();
    if (target.isEmpty() || !QDir::isAbsolutePath(target)) {
        m_box.setCaption(QStringLiteral("Error"));
        m_box.setText(QStringLiteral("Please choose the folder to restore to (a full path)."));
        m_box.exec();
        return;
    }
    target = QDir::cleanPath(target);
    if (existing == ExistingFiles::Replace) {
        // Replacing overwrites the user's newer work: asked once, every time.
        m_box.setCaption(QStringLiteral("Replace Files"));
        m_box.setText(u"Files in " + target + u" that have the same names as backed-up ones will be replaced by "
                      u"the versions of " + runTimeText(run->start) + u". Do you want to go on?");
        m_box.setButton(0, QStringLiteral("Yes"), 1);
        m_box.setButton(1, QStringLiteral("No"), 2);
        m_box.setButtonCount(2);
        const int answer = m_box.exec();
        m_box.restoreRestingState();
        if (answer != 1)
            return;
    }

    RestoreRequest request;
    request.set = s->set;
    request.password = m_runPassword.isNull() ? s->password : m_runPassword;
    request.run = *run;
    request.paths = m_model->tickedPaths();
    request.target = target;
    request.existing = existing;
    m_target = target;
    m_cancelAsked = false;
    auto result = std::make_shared<RestoreResult>();
    result->target = target;

    JobRunner::Job job;
    job.kind = JobRunner::Kind::Restore;
    job.profile = s->profile;
    IBackupEngine* engine = &m_engine;
    job.prepare = [this, engine, request, result]() -> JobRunner::Work {
        m_jobNumber = m_runner.jobNumber();
        if (m_cancelAsked)
            return [result] { return result->code = CancelledCode; };
        LblProgress->setText(u"Restoring " + source()->profile + u"...");
        return engine->prepareRestore(request, result);
    };
    job.askPassword = [this](const QString& archive, bool again) { return askRunPassword(archive, again); };
    setRestoring(true);
    LblProgress->setText(m_runner.busy() ? u"Waiting for the backup of " + m_runner.runningProfile()
                                               + u" to finish..."
                                         : QStringLiteral("Starting..."));
    m_runner.submit(std::move(job), [this, result](const JobOutcome& outcome) { restoreDone(outcome, *result); });
}

std::optional<QString> RestoreWindow::askRunPassword(const QString& archive, bool again)
{
    const std::optional<QString> answer = RunPasswordDialog::ask(this, archive, again);
    if (answer && !m_givenPasswords.contains(*answer))
        m_givenPasswords.prepend(*answer);
    return answer;
}

void RestoreWindow::restoreProgressed()
{
    if (!m_restoring || !m_runner.running() || m_runner.jobNumber() != m_jobNumber
        || m_runner.runningKind() != JobRunner::Kind::Restore)
        return;
    const QString text =
        progressText(JobRunner::Kind::Restore, m_runner.runningProfile(), m_runner.progress(), m_runner.percent());
    LblProgress->setText(text[0].toUpper() + text.mid(1));
    PrgRestore->setValue(m_runner.percent());
}

bool RestoreWindow::confirmCancel()
{
    m_box.setCaption(QStringLiteral("Cancel Restore"));
    m_box.setText(QStringLiteral("Do you want to cancel the restore? The files restored so far stay; no file is "
                                 "left half-written."));
    m_box.setButton(0, QStringLiteral("Yes"), 1);
    m_box.setButton(1, QStringLiteral("No"), 2);
    m_box.setButtonCount(2);
    const int answer = m_box.exec();
    m_box.restoreRestingState();
    return answer == 1;
}

void RestoreWindow::BtnCancelClick()
{
    // The restore may have ended while the question was open.
    if (m_restoring && !m_cancelAsked && confirmCancel() && m_restoring)
        cancelRestore();
}

void RestoreWindow::cancelRestore()
{
    m_cancelAsked = true;
    LblProgress->setText(QStringLiteral("Cancelling..."));
    BtnCancel->setEnabled(false);
    // Only this restore; one still waiting for its turn ends as soon as it starts.
    if (m_runner.running() && m_runner.jobNumber() == m_jobNumber
        && m_runner.runningKind() == JobRunner::Kind::Restore)
        m_runner.cancel();
}

void RestoreWindow::restoreDone(const JobOutcome& outcome, const RestoreResult& result)
{
    setRestoring(false);
    if (outcome.failure) {
        QString text;
        try {
            std::rethrow_exception(outcome.failure);
        } catch (const std::exception& error) {
            text = QString::fromUtf8(error.what());
        }
        showSummary(u"The restore could not run: " + text, {});
        emit restoreFinished();
        return;
    }
    m_lastResult = result;
    QString headline = restoreHeadline(result);
    const QString cancelled = QStringLiteral("The restore was cancelled.");
    if ((outcome.cancelled || result.code == CancelledCode) && !headline.startsWith(cancelled))
        headline = cancelled + u' ' + headline;
    showSummary(headline, restoreDetailLines(result));
    emit restoreFinished();
}

void RestoreWindow::showSummary(const QString& headline, const QStringList& lines)
{
    LblSummary->setText(headline);
    LblSummary->show();
    LstSummary->clear();
    LstSummary->addItems(lines);
    LstSummary->setVisible(!lines.isEmpty());
    BtnOpenTarget->setVisible(QFileInfo(m_target).isDir());
}

void RestoreWindow::BtnOpenTargetClick()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_target));
}

void RestoreWindow::setRestoring(bool restoring)
{
    m_restoring = restoring;
    LblProgress->setVisible(restoring);
    PrgRestore->setVisible(restoring);
    PrgRestore->setValue(0);
    BtnCancel->setVisible(restoring);
    BtnCancel->setEnabled(restoring);
    TvwFiles->setEnabled(!restoring && !LblReading->isVisible());
    if (restoring) {
        LblSummary->hide();
        LstSummary->hide();
        BtnOpenTarget->hide();
    }
    updateButtons();
    if (restoring)
        return;
    const bool runsLater = std::exchange(m_runsLater, false);
    const RestoreSource* shown = source();
    const QString profile = shown ? shown->profile : QString();
    if (m_sourcesLater) {
        const QList<RestoreSource> sources = std::move(*m_sourcesLater);
        m_sourcesLater.reset();
        updateSources(sources);
    }
    // A new list of profiles that changed this one has listed its runs afresh already.
    if (runsLater && source() && source()->profile == profile && !m_reader)
        refreshRuns();
}
