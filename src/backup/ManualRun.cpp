#include "ManualRun.h"

#include "JobRunner.h"
#include "app/DataFolder.h"
#include "profiles/ProfileStore.h"
#include "profiles/ProfileView.h"

ManualRun::ManualRun(ProfileView& view, JobRunner& runner, IBackupEngine& engine, QObject* parent)
    : QObject(parent), m_view(view), m_runner(runner), m_engine(engine)
{
}

void ManualRun::start(int index, const QString& startText)
{
    if (m_runner.busy()) {
        // One engine runs one backup at a time.
        emit errorBox(QStringLiteral("Another backup is running. Please try again when it has finished."));
        return;
    }
    ProfileRecord& record = m_view.profiles()[static_cast<size_t>(index)];
    const QString name = record.Name;
    const QString lastRunBefore = record.LastRun;
    record.LastRun = startText;
    if (!record.Job)
        throw EngineFailure("The backup job of profile \"" + name.toStdString() + "\" could not be set up");
    m_runner.submitBackup(name, *record.Job, [this, name, startText, lastRunBefore](const JobOutcome& outcome) {
        finished(name, startText, lastRunBefore, outcome);
    });
}

void ManualRun::finished(const QString& name, const QString& startText, const QString& lastRunBefore,
                         const JobOutcome& outcome)
{
    if (outcome.failure) {
        // LastRun in memory holds the new text; the row and the store keep the old one.
        try {
            std::rethrow_exception(outcome.failure);
        } catch (const std::exception& error) {
            emit failed(QString::fromUtf8(error.what()));
        }
        return;
    }
    // The profiles may have been saved or deleted while the backup ran.
    const int row = m_view.rowOfProfile(name);
    if ((m_view.closing() || outcome.cancelled) && outcome.code != 0) {
        // Cut short by the end of the program, or cancelled by the user: not a run.
        if (row >= 0 && !outcome.profileSaved)
            m_view.profiles()[static_cast<size_t>(row)].LastRun = lastRunBefore;
        return;
    }
    // Recorded before the error box: a scheduled run may start and end while it is open.
    QString writeFailure;
    if (row >= 0) {
        m_view.profiles()[static_cast<size_t>(row)].LastRun = startText;
        m_view.showLastRun(row, startText);
        try {
            ProfileStore(GetProfileStorePath()).writeString(name, QStringLiteral("LastRun"), startText);
        } catch (const StoreError& error) {
            writeFailure = QString::fromUtf8(error.what());
        }
    }
    if (outcome.code != 0)
        emit errorBox(u"Error backing up files. Error description: " + m_engine.GetErrorText(0, outcome.code));
    else
        emit succeeded(name);
    if (!writeFailure.isEmpty())
        emit failed(writeFailure);
}
