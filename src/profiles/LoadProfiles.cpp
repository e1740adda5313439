#include "app/DataFolder.h"
#include "app/TFrmMain.h"
#include "profiles/ProfileStore.h"

#include <QTreeWidget>

void TFrmMain::LoadProfiles()
{
    // One reading of the file answers every lookup of the load.
    const ProfileStoreSnapshot store = ProfileStore(GetProfileStorePath()).snapshot();
    const QStringList names = store.sectionNames();
    // A store without sections leaves the table and the list exactly as they were; what
    // is shown of the profiles elsewhere follows the list.
    if (names.isEmpty()) {
        showProfileStatuses();
        updateRestoreWindow();
        return;
    }

    m_profileTable.resize(static_cast<size_t>(names.size()));
    for (qsizetype i = 0; i < names.size(); ++i) {
        ProfileRecord& record = m_profileTable[static_cast<size_t>(i)];
        readProfileFields(store, names[i], record);
        // An engine failure ends the load here: later entries keep what they held and
        // the list is not rebuilt.
        SetUpJob(record, *Xmain, m_engineObjects);
    }

    const QSignalBlocker blocker(LvwProfiles);
    LvwProfiles->clear();
    for (const ProfileRecord& record : m_profileTable)
        new QTreeWidgetItem(LvwProfiles, {record.Name, record.LastRun, record.NextRun});
    LvwProfiles->setCurrentItem(nullptr);
    LvwProfiles->clearSelection();
    showProfileStatuses();
    updateRestoreWindow();
}
