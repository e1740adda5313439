#pragma once

// Independent readers for the archives the engine writes: libzip and the 7-Zip command.
// Engine tests use them as oracles, next to the engine's own ZipReader.

#include "zip/ZipWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace stowkeep::test {

struct CommandResult
{
    int exitCode = -1; // -1: did not run or was killed
    std::string output; // stdout and stderr together
};

// Runs a program (no shell), stdin from /dev/null, and collects its output.
CommandResult runCommand(const std::vector<std::string>& argv);

// ---- libzip ----

struct LibzipEntry
{
    std::string name;
    std::string data;
    uint16_t method = 0;
    uint64_t size = 0;
    uint32_t crc = 0;          // as recorded
    bool encrypted = false;
    uint64_t readSize = 0;     // what reading it gave
    uint32_t readCrc = 0;
};

// Opens the archive with libzip (consistency checks on) and reads every entry, with the
// password set as default. Returns false with a reason on the first failure.
// Without keepData the entries' data stays empty (for entries of several gigabytes).
bool libzipReadAll(const std::filesystem::path& archive, const std::string& password,
                   std::vector<LibzipEntry>& entries, std::string& failure, bool keepData = true);
// The libzip error code met when opening the archive and reading its first entry with this
// password: 0 when the read succeeds (ZIP_ER_WRONGPASSWD for a refused password).
int libzipReadError(const std::filesystem::path& archive, const std::string& password);
// Number of entries libzip sees; -1 when it cannot open the archive.
int64_t libzipEntryCount(const std::filesystem::path& archive);

// ---- 7-Zip ----

CommandResult sevenZipTest(const std::filesystem::path& archive, const std::string& password = {});
CommandResult sevenZipExtract(const std::filesystem::path& archive, const std::filesystem::path& folder,
                              const std::string& password = {});

// ---- trees ----

// Every item below the folder by relative path: a file maps to its bytes, a folder
// ("name/") to "", a symbolic link to "-> target".
std::map<std::string, std::string> readTree(const std::filesystem::path& folder);

// Compares two such maps, naming the items that differ (with their sizes) rather than
// printing whole files.
::testing::AssertionResult sameTree(const std::map<std::string, std::string>& actual,
                                    const std::map<std::string, std::string>& expected);

// Entries for everything below the folder, named relative to it, in a stable order
// (lstat data, links not followed), as the engine's selection would hand them over.
std::vector<engine::zip::EntrySource> entriesFromTree(const std::filesystem::path& folder);

// The same map as readTree(), for what an archive holds, through the engine's ZipReader.
std::map<std::string, std::string> readArchive(const std::filesystem::path& archive,
                                               const std::string& password = {});

// Writes an archive of the entries with the engine's ZipWriter and closes it. Returns
// finish()'s results and the names that onEntryDone reported, in the order reported.
struct WriteOutcome
{
    std::vector<engine::zip::EntryResult> results;
    std::vector<std::string> reported;
};
WriteOutcome writeArchive(const std::filesystem::path& archive,
                          const std::vector<engine::zip::EntrySource>& entries,
                          engine::zip::ZipWriter::Options options);

} // namespace stowkeep::test
