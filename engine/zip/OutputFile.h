#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace stowkeep::engine::zip {

// A failed write to the destination (full disk, I/O error): carries errno.
class WriteError : public std::runtime_error
{
public:
    WriteError(const std::string& what, int error) : std::runtime_error(what), m_error(error) {}
    int error() const { return m_error; }

private:
    int m_error;
};

// Whether the file lies on a local disk file system, where reading and writing past the
// page cache (O_DIRECT) in pieces of a megabyte or more is as fast as the disk.
bool onLocalDisk(int fd);

// A new file, opened exclusively (never overwrites), written sequentially, with
// patching of earlier bytes, fsync and an optional fault hook for tests.
//
// On a local disk file system, what is written goes straight to the disk in aligned
// pieces of a few megabytes (O_DIRECT), past the page cache: a backup neither pushes the
// user's own files out of memory nor spends the CPU on copying into the cache and writing
// it back. The last piece, short of the alignment, and patches go through the cache once
// the file is finished (sync, close or the first patch); so does everything where direct
// writes are refused or would be slower. Cached bytes are handed to the disk every few
// megabytes, so that the final fsync has little left to do.
class OutputFile
{
public:
    using FaultHook = std::function<int(uint64_t bytes)>; // non-zero errno fails the write

    OutputFile(const std::string& path, FaultHook hook = {}); // throws WriteError
    ~OutputFile(); // writes what it holds (errors ignored) and closes; does not remove
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, size_t size);                  // throws WriteError
    void patch(uint64_t offset, const void* data, size_t size); // pwrite; throws WriteError
    uint64_t position() const { return m_position; }
    // Whether writes are gathered in the file's own buffer (direct writes): small writes
    // then cost no system call. Once false, it stays false.
    bool gathers() const { return m_buffer != nullptr; }
    void sync();  // fsync; throws WriteError
    void close(); // throws WriteError
    const std::string& path() const { return m_path; }
    // A second descriptor of the file: it keeps the file's lock after close() (-1 on failure).
    int duplicateHandle() const;

private:
    void checkWrite(size_t size);
    void writeAll(const char* bytes, size_t size, uint64_t offset);
    bool writeDirect(size_t size);
    // Writes what the buffer holds and goes on through the cache.
    void endDirect();

    struct FreeBuffer
    {
        void operator()(char* p) const;
    };

    std::string m_path;
    int m_fd = -1;
    uint64_t m_position = 0;
    uint64_t m_writebackFrom = 0; // where the bytes not yet handed to the disk begin
    FaultHook m_hook;
    // Direct writes: the bytes from m_bufferAt on, not yet written.
    std::unique_ptr<char, FreeBuffer> m_buffer;
    size_t m_buffered = 0;
    uint64_t m_bufferAt = 0;
};

} // namespace stowkeep::engine::zip
