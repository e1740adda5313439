#pragma once

// Turns a FileSelection's include and exclude items into the list of entries one run
// backs up: names relative to the selection's base, folders before what they hold.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace stowkeep::engine {

// Whole-string match of a mask with "*" (any run of characters) and "?" (one character,
// UTF-8 aware); every other character matches itself, letter case included. With
// stopAtSlash, neither wildcard matches "/".
bool matchMask(std::string_view mask, std::string_view text, bool stopAtSlash = false);

enum class SelectedKind { File, Directory, Symlink };

struct SelectedEntry
{
    std::string name;       // relative to the base, "/" separators, no trailing "/"
    SelectedKind kind = SelectedKind::File;
    uint32_t mode = 0;      // st_mode
    int64_t mtimeNs = 0;    // modification time, nanoseconds since the epoch
    uint64_t size = 0;      // files: bytes; links: length of the target
    std::string linkTarget; // Symlink
    uint64_t device = 0;    // which file the listing found, so that the read can tell it
    uint64_t inode = 0;     // from another put in its place
};

// A folder the selection walked, as it was then: a run checks at its end that it is still
// the same folder.
struct SourceFolder
{
    std::string path;
    uint64_t device = 0;
    uint64_t inode = 0;
};

struct SelectionResult
{
    std::filesystem::path base;
    std::vector<SourceFolder> folders;        // the include items' folders
    std::vector<SelectedEntry> entries;       // sorted by name: a folder before its contents
    std::vector<std::string> missingSources;  // include folders that do not exist
    std::vector<std::string> skippedSpecial;  // sockets, devices, pipes (paths)
    std::vector<std::string> skippedOwn;      // the destination, catalog or log folder met in the source
    std::vector<std::string> unreadable;      // folders that could not be listed, items that could not be
                                              // examined ("path: why")
    std::vector<std::string> unlistedFolders; // the paths of the folders among them

    // The entry's full path on the disk. Made from the base when asked: kept for each of
    // hundreds of thousands of entries, it would be a fifth of a run's memory.
    std::string pathOf(const SelectedEntry& e) const;
};

struct SelectionOptions
{
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    std::vector<std::filesystem::path> ownFolders; // never backed up (they change during the run)
    std::function<bool()> cancelled;
};

// Throws std::invalid_argument for an item that is not an absolute path and
// stowkeep::engine::zip::Cancelled when cancelled.
SelectionResult resolveSelection(const SelectionOptions& options);

} // namespace stowkeep::engine
