#pragma once

// Small pieces shared by the steps of a run: the failure a step throws, names and texts.

#include "Catalog.h"
#include "Selection.h"
#include "zip/ZipWriter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace stowkeep::engine::detail {

// A run ends early with this: the code and what the engine knows about the failure.
struct RunFailure
{
    int32_t code;
    std::string detail;
};

// The set name as part of a file name: also the characters that FAT, exFAT and NTFS
// drives refuse, since backups so often go to such a drive.
std::string sanitizeSetName(const std::string& name);
// An archive name's "YYYYMMDD-HHMMSS" as a local time (0 when it is not one).
int64_t stampTime(const std::string& stamp);
// ".<set>_YYYYMMDD-HHMMSS_<kind>[-N].zip.part": a temporary archive of this set.
bool isTemporaryOfSet(std::string_view file, const std::string& set);
// fsync of a folder; throws zip::WriteError.
void syncFolder(const std::string& folder);
// The first few names, then "and N more".
std::string listNames(const std::vector<std::string>& names);
std::string listAll(const std::vector<std::string>& names);
std::string plural(uint64_t n, const char* one, const char* many);
// A catalog error's text ("the catalog ... is of another version") as a sentence of its own.
std::string catalogSentence(const CatalogError& e);
std::string normalizeFolder(const std::string& folder);

zip::EntryKind zipKind(SelectedKind kind);
ManifestKind manifestKind(SelectedKind kind);
// The entry's name in the archive: a folder's ends in "/".
std::string zipName(const SelectedEntry& e);
// Compares a + (aSlash ? "/" : "") with b + (bSlash ? "/" : "") byte by byte, without
// building either.
int compareWithSlash(std::string_view a, bool aSlash, std::string_view b, bool bSlash);
int64_t floorSeconds(int64_t ns);

} // namespace stowkeep::engine::detail
