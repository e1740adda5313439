#pragma once

// What a restore needs to know of a profile, and the texts that tell how a restore went:
// shared by the restore window and the command line.

#include "backup/EngineInterface.h"
#include "profiles/ProfileRecord.h"

#include <QString>
#include <QStringList>

struct RestoreSource
{
    QString profile;
    BackupSet set;      // the profile's name and destination folder
    QString sourceBase; // the folder its backups' paths are relative to; empty when not known
    QString password;
    bool operator==(const RestoreSource&) const = default;
};

// The folder the engine takes the paths of the profile's backups relative to: the deepest
// folder common to its include items, as they are on the disk now (an item that names a
// folder counts as that folder, any other as the folder it is in).
QString selectionBaseOf(const ProfileRecord& record);
RestoreSource restoreSourceOf(const ProfileRecord& record);
// The sets with backups that no profile writes any more (a profile renamed or deleted, a
// destination changed), as sources of their own: "Docs (earlier backups in /media/usb)",
// with no original folder, tried first with the password of the profile of the set's name
// (its destination changed), or else of one that writes to the same folder (renamed).
QList<RestoreSource> earlierSources(const QList<BackupSet>& sets, const QList<RestoreSource>& profiles);

// "2026-12-09 08:00:13".
QString runTimeText(const QDateTime& time);
// The "Result" column of a run: "Success", "Some files unreadable", "Failed (code 6)"...,
// with the reason a run cannot be restored for now.
QString runResultText(const RestoreRun& run);
// Why a run that cannot be restored cannot: "it failed (Cannot write)", the note, ...
QString whyNotRestorable(const RestoreRun& run);
QString verifiedText(const RestoreRun& run);

// One sentence on how the restore went: "Restored 12 files (4.1 MB) to /home/ann/Documents."
// and what was not restored.
QString restoreHeadline(const RestoreResult& result);
// One line per item that was not restored as it was asked, and per copy kept beside an
// existing file: "Failed: docs/a.txt – damaged (CRC mismatch)".
QStringList restoreDetailLines(const RestoreResult& result);
