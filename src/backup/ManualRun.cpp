#include "app/DataFolder.h"
#include "app/TFrmMain.h"
#include "profiles/ProfileStore.h"

#include <QTreeWidget>

#include <exception>

namespace {

const QString ErrorCaption = QStringLiteral("Error");

} // namespace

void TFrmMain::BtnRunProfileClick()
{
    const int index = selectedRow();
    if (index < 0)
        return;
    if (m_jobRunning) {
        // One engine runs one backup at a time.
        dlg.setCaption(ErrorCaption);
        dlg.setText(QStringLiteral("Another backup is running. Please try again when it has finished."));
        dlg.exec();
        return;
    }
    const QString startText = FormatTimestamp(naiveLocal(m_clock()), m_separators);
    ProfileRecord& record = m_profileTable[static_cast<size_t>(index)];
    const QString name = record.Name;
    const QString lastRunBefore = record.LastRun;
    record.LastRun = startText;
    if (!record.Job)
        throw EngineFailure("The backup job of profile \"" + name.toStdString() + "\" could not be set up");

    const qint32 code = runJob(*record.Job, name);

    // The profiles may have been saved or deleted while the backup ran.
    const int row = rowOfProfile(name);
    if (endedByClosing(code)) {
        // Cut short by the end of the program: not a run.
        if (row >= 0 && !m_runningProfileSaved)
            m_profileTable[static_cast<size_t>(row)].LastRun = lastRunBefore;
        return;
    }
    // Recorded before the error box: a scheduled run may start and end while it is open.
    std::exception_ptr writeFailure;
    if (row >= 0) {
        m_profileTable[static_cast<size_t>(row)].LastRun = startText;
        LvwProfiles->topLevelItem(row)->setText(1, startText);
        try {
            ProfileStore(GetProfileStorePath()).writeString(name, QStringLiteral("LastRun"), startText);
        } catch (const StoreError&) {
            writeFailure = std::current_exception();
        }
    }
    if (code != 0) {
        dlg.setCaption(ErrorCaption);
        dlg.setText(u"Error backing up files. Error description: " + Xmain->GetErrorText(0, code));
        dlg.exec();
    }
    if (writeFailure)
        std::rethrow_exception(writeFailure);
}

bool TFrmMain::XmainInsertMedia(const QString& mediaLabel, qint32 /*diskNumber*/)
{
    dlg.setCaption(QStringLiteral("Insert Media"));
    dlg.setText(u"Please insert " + mediaLabel);
    dlg.setButton(0, QStringLiteral("OK"), 1);
    dlg.setButton(1, QStringLiteral("Cancel"), 2);
    dlg.setButtonCount(2);
    const int result = dlg.exec();
    dlg.setButtonCount(1);
    return result == 1;
}
