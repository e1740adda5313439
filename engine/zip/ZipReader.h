#pragma once

// Reads archives made by ZipWriter (and plain zips in general) back from the disk,
// decrypting the AE-2 wrapper of an encrypted backup: used by verification and restore.

#include "ZipWriter.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace stowkeep::engine::zip {

class ZipError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The archive's file could not be read (its drive failed or went away): not damage in it.
class ReadError : public ZipError
{
public:
    using ZipError::ZipError;
};

class WrongPassword : public ZipError
{
public:
    WrongPassword() : ZipError("wrong password") {}
};

struct ZipEntry
{
    std::string name;
    EntryKind kind = EntryKind::File;
    uint32_t mode = 0;
    int64_t mtime = 0;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    uint32_t crc = 0;       // as the central directory records it
    uint16_t method = 0;
    uint64_t localHeaderOffset = 0;
    uint16_t flags = 0;     // general purpose bits
};

class ZipReader
{
public:
    // When the authentication code of an encrypted archive is checked: it covers the whole
    // encrypted stream, so checking it reads all of the archive.
    enum class Authentication {
        OnOpen,    // before the constructor returns
        OnRequest, // by authenticate(): reading a few entries then decrypts only those parts
    };
    // Opens the archive; with a password, checks the AE-2 wrapper (password verifier, and
    // the HMAC over the whole encrypted stream as `authentication` says) and reads the
    // inner archive's directory. Throws ZipError (WrongPassword for a refused password).
    // What to do when the directory of the archive cannot be read (cut off, damaged).
    enum class WhenDamaged {
        Fail,          // throw ZipError: a check of the archive
        ReadWhatIsLeft // find the entries from their own headers: a restore, as 7-Zip does
    };
    ZipReader(const std::string& path, const std::string& password,
              Authentication authentication = Authentication::OnOpen, WhenDamaged damaged = WhenDamaged::Fail);
    ~ZipReader();

    bool encrypted() const;
    // True for a plain archive, and for an encrypted one once its code has been checked.
    bool authenticated() const;
    // Reads the whole encrypted stream and checks its authentication code; throws ZipError
    // when it does not match, Cancelled when cancelled() says so. Thread-safe against
    // read(), not against itself.
    void authenticate(const std::function<bool()>& cancelled = {}) const;
    const std::vector<ZipEntry>& entries() const;
    // Why the directory could not be read, when the entries were found from their own
    // headers (WhenDamaged::ReadWhatIsLeft); empty otherwise. Their modes are then not
    // known (links read as files), and their data is still checked against their CRCs.
    const std::string& damage() const;

    // Streams one entry's data (inflated) to the sink and returns the CRC-32 of what it
    // read; throws ZipError when the data is damaged or does not match the recorded CRC.
    uint32_t read(const ZipEntry& entry, const std::function<void(const char*, size_t)>& sink) const;
    std::string readLinkTarget(const ZipEntry& entry) const;
    // Test seam: called before every read of the archive's file with its size; a non-zero
    // errno return makes that read fail with that error.
    void setReadFault(std::function<int(uint64_t bytes)> fault);
    // Asked from checkAll's threads as an entry's data is read: true ends the check with
    // Cancelled, inside an entry too (a disk image takes minutes to read).
    void setCancel(std::function<bool()> cancelled);

    // What reading one entry to its end found.
    struct Check
    {
        uint32_t crc = 0;
        uint64_t size = 0;
        std::string linkTarget; // of a link
        std::string error;      // empty when the entry reads back whole
    };
    // Reads the entries at these indexes (into entries()) to their ends, several at once
    // on `threads` threads (0: every core), and calls done() for each, in the order given,
    // on the caller's thread. An exception from done() stops the reading and is rethrown.
    void checkAll(const std::vector<size_t>& which, const std::function<void(size_t, const Check&)>& done,
                  unsigned threads = 0) const;

private:
    // Where entries read together lie in the archive, when that is close enough to read
    // at once (size 0 otherwise), and those bytes once read.
    struct Stretch
    {
        uint64_t start = 0;
        size_t size = 0;
        const unsigned char* bytes = nullptr; // null until read, or when reading failed
    };
    Stretch stretchOf(const size_t* which, size_t count) const;
    void readStretch(Stretch& stretch, std::vector<unsigned char>& buffer) const;
    // Reads these entries to their ends into checks, from `near` where it holds them;
    // failures other than damage go to `failed`.
    void checkEntries(const size_t* which, size_t count, const Stretch& near, Check* checks,
                      std::exception_ptr* failed) const;

    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace stowkeep::engine::zip
