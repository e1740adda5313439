#pragma once

// Streaming zip writer: entries are read and deflated in parallel on every core and
// written in order; zip64 where needed; with a password the whole archive becomes the
// one AES-256 (WinZip AE-2) entry of an outer zip, with one key derivation per archive.

#include "Deflate.h"
#include "OutputFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace stowkeep::engine::zip {

enum class EntryKind { File, Directory, Symlink };

struct EntrySource
{
    std::string name;       // archive name, "/" separators; a folder's name ends in "/"
    EntryKind kind = EntryKind::File;
    uint32_t mode = 0;      // st_mode, type bits included
    int64_t mtime = 0;      // seconds since the epoch
    std::string path;       // the file to read (File)
    std::string linkTarget; // Symlink
    uint64_t size = 0;      // from lstat; reading stops there
    // The file lstat found (0: not checked). Another in its place by the time it is read (a
    // file saved anew, or a folder on the way replaced by a link) is opened again without
    // following links below the first rootLength bytes of path, and read whole.
    uint64_t device = 0;
    uint64_t inode = 0;
    size_t rootLength = 0;
    // Set: the entry's bytes are held here instead of in a file (File only; path and size
    // are then unused). Shared, so that the caller can keep them to check the entry later.
    std::shared_ptr<const std::string> content;
};

enum class EntryStatus {
    Written,    // stored as read
    Changed,    // stored, but the file changed size or time while it was read
    Vanished,   // gone before it could be opened: not in the archive
    Unreadable, // could not be opened or read: not in the archive
};

struct EntryResult
{
    std::string name;
    EntryStatus status = EntryStatus::Written;
    uint64_t size = 0;           // bytes stored
    uint64_t compressedSize = 0;
    uint32_t crc = 0;            // CRC-32 of the bytes read from the source
    std::string error;           // why, for Changed, Vanished and Unreadable
};

class Cancelled : public std::exception
{
public:
    const char* what() const noexcept override { return "cancelled"; }
};

class ZipWriter
{
public:
    struct Options
    {
        int level = 6;               // 0 stores, 1..9 deflate
        std::string password;        // empty: no encryption
        std::string innerName;       // name of the inner entry when encrypted
        unsigned threads = 0;        // 0: every core
        // The deflate library for whole entries and for the blocks of large ones: Auto
        // takes the fastest that is no bigger than zlib at the level; the others are there
        // to measure.
        DeflateCodec wholeCodec = DeflateCodec::Auto;
        DeflateCodec blockCodec = DeflateCodec::Auto;
        // Both callbacks run on the caller's thread, inside add() and finish(): cancelled is
        // polled at least every 20 ms while they wait (the pipeline then stops between
        // blocks), onEntryDone once per added entry, in archive order.
        std::function<bool()> cancelled;
        std::function<void(const EntryResult&)> onEntryDone;
        // false: the writer keeps no result once onEntryDone has seen it and finish()
        // returns none, so that its memory does not grow with the number of entries.
        bool collectResults = true;
    };

    ZipWriter(OutputFile& out, Options options);
    ~ZipWriter(); // stops the workers; the caller removes the unfinished file
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Queues an entry; blocks while the pipeline is full. Throws WriteError or Cancelled.
    void add(EntrySource entry);
    // Waits until onEntryDone has seen every entry added so far: a caller that makes an
    // entry from the results of the others (a list of what was stored) adds it after this.
    // Throws WriteError or Cancelled.
    void waitForEntries();
    // Waits for every entry, writes the central directory (and the outer wrapper),
    // and returns one result per added entry, in order (none without collectResults).
    // Throws WriteError or Cancelled.
    // It does not fsync: the caller syncs and closes the OutputFile.
    std::vector<EntryResult> finish();
    // The entries' bytes written to the archive so far (as read, before compression), also
    // in the middle of a large file; any thread.
    uint64_t bytesStored() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace stowkeep::engine::zip
