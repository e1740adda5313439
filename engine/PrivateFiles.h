#pragma once

// The catalog and the logs name the user's files: their folders are kept 0700 and their
// files 0600, whatever mode the folder around them has. POSIX.

#include <string>
#include <system_error>

namespace stowkeep::engine {

// Creates the folder (and missing parents) with mode 0700; a folder of ours that is
// already there loses what group and others could do in it.
void makePrivateFolder(const std::string& folder, std::error_code& ec);
// Opens (creating it with mode 0600) a file for appending or writing; a file of ours that
// is already there loses what group and others could do with it. -1 with errno on failure.
int openPrivateFile(const std::string& path, int flags);
// The same for a file that something else creates (SQLite): made 0600 if it exists.
void restrictFile(const std::string& path);

} // namespace stowkeep::engine
