#pragma once

#include <QString>

// Where the program keeps its per-user data: $XDG_DATA_HOME/Stowkeep (or
// ~/.local/share/Stowkeep), holding Profiles.ini, Catalogs/ and Logs/.

// The data folder's full path, or empty text when the user's data location is unknown.
QString GetDataFolder();
// The full path of Profiles.ini in the data folder, or empty text as above.
QString GetProfileStorePath();

// Appends "Stowkeep" + suffix to a base folder, with exactly one "/" between them.
QString appendToFolder(const QString& base, const QString& suffix);
// help.html of the program folder: one trailing "/" removed, then "/help.html".
QString helpFilePath(const QString& programFolder);
// Creates the folder with its missing parents, the new ones with mode 0700.
// Returns false when it cannot; an existing folder is left untouched.
bool ensureDataFolder(const QString& folder);
