#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

// A new file, opened exclusively (never overwrites), written sequentially, with
// patching of earlier bytes, fsync and an optional fault hook for tests. What is written
// is handed to the disk every few megabytes, so that the final fsync has little left to do.
class OutputFile
{
public:
    using FaultHook = std::function<int(uint64_t bytes)>; // non-zero errno fails the write

    OutputFile(const std::string& path, FaultHook hook = {}); // throws WriteError
    ~OutputFile();                                            // closes; does not remove
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, size_t size);                  // throws WriteError
    void patch(uint64_t offset, const void* data, size_t size); // pwrite; throws WriteError
    uint64_t position() const { return m_position; }
    void sync();  // fsync; throws WriteError
    void close(); // throws WriteError
    const std::string& path() const { return m_path; }
    // A second descriptor of the file: it keeps the file's lock after close() (-1 on failure).
    int duplicateHandle() const;

private:
    void writeAt(const void* data, size_t size, std::optional<uint64_t> offset);

    std::string m_path;
    int m_fd = -1;
    uint64_t m_position = 0;
    uint64_t m_writebackFrom = 0; // where the bytes not yet handed to the disk begin
    FaultHook m_hook;
};

} // namespace stowkeep::engine::zip
