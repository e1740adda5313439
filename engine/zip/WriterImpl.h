#pragma once

// The zip writer's pipeline, shared by its stages: the reader thread (WriterInput.cpp) turns
// entries into blocks, the workers (WriterWorkers.cpp) checksum and deflate them in any
// order, and the writer thread (WriterOutput.cpp) puts them into the archive in order.

#include "ArchiveSink.h"
#include "CentralDirectory.h"
#include "ZipWriter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace stowkeep::engine::zip {

namespace detail {

constexpr size_t kBlockSize = size_t{1} << 20;   // a file is read and deflated in blocks of 1 MiB
constexpr size_t kDictSize = 32768;              // deflate window carried from block to block
constexpr size_t kMaxQueuedEntries = 1024;
// Entries that may come near 4 GiB get zip64 fields in their local header from the
// start: their sizes are only known once their data is written.
constexpr uint64_t kZip64Threshold = 0xf0000000ull;
constexpr auto kPollInterval = std::chrono::milliseconds(20);

struct Entry
{
    EntrySource src;
    EntryResult result;
    std::atomic<int> store{-1}; // -1 undecided, 0 deflate, 1 store (set by the writer)
    // Writer state.
    uint16_t method = kMethodStored;
    bool dataDescriptor = false;
    bool zip64Local = false;
    uint64_t localOffset = 0;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    DosTime dos;
};

// A vector of bytes that resize() leaves uninitialised: a block's buffers are sized for
// the worst case, and only the pages actually written to then take memory.
template <typename T> struct UninitialisedAllocator : std::allocator<T>
{
    template <typename U> struct rebind
    {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <typename U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Buffer = std::vector<unsigned char, UninitialisedAllocator<unsigned char>>;

struct Block
{
    std::shared_ptr<Entry> entry; // null for the end-of-input marker
    bool first = false;
    bool last = false;
    bool abort = false; // the entry failed: no data, it is left out of the archive
    bool compressed = false;
    bool done = false;
    Buffer input;
    Buffer dict;
    Buffer output;
    uint32_t crc = 0;
    size_t budget = 0;
};

} // namespace detail

struct ZipWriter::Impl
{
    using Block = detail::Block;
    using Entry = detail::Entry;
    using Buffer = detail::Buffer;

    OutputFile& out;
    Options options;
    int level;
    detail::ArchiveSink sink;
    unsigned workerCount;
    size_t maxBlocks;
    size_t maxBytes;

    std::mutex mutex;
    std::condition_variable entriesChanged; // the reader waits for entries, add() for space
    std::condition_variable workChanged;    // workers wait for blocks
    std::condition_variable doneChanged;    // the writer waits for the next block in order
    std::condition_variable budgetChanged;  // the reader waits for room in the pipeline
    std::condition_variable resultsChanged; // the caller waits for results
    std::deque<EntrySource> entryQueue;
    bool inputClosed = false;
    std::deque<std::unique_ptr<Block>> order;
    std::deque<Block*> work;
    size_t blocksInFlight = 0;
    size_t bytesInFlight = 0;
    std::vector<EntryResult> results;
    size_t delivered = 0;
    bool writerFinished = false;
    std::exception_ptr error;
    std::atomic<bool> stop{false};
    bool finished = false;

    detail::CentralDirectory central; // writer thread only

    std::thread readerThread;
    std::vector<std::thread> workerThreads;
    std::thread writerThread;

    Impl(OutputFile& o, Options opts);
    ~Impl() { shutDown(); }

    void shutDown();
    void notifyAll();
    template <typename F> void guarded(F&& body)
    {
        try {
            body();
        } catch (...) {
            {
                std::lock_guard lock(mutex);
                if (!error)
                    error = std::current_exception();
                stop = true;
            }
            notifyAll();
        }
    }

    // ---- the reader thread: entries in, blocks out, in archive order (WriterInput.cpp) ----
    void readerLoop();
    std::unique_ptr<Block> acquireBlock(size_t bytes);
    void push(std::unique_ptr<Block> b, bool needsWork);
    void pushFailure(const std::shared_ptr<Entry>& e, EntryStatus status, const std::string& why);
    static void markChanged(Entry& e, const char* why);
    void readEntry(EntrySource src);

    // ---- worker threads: CRC and deflate, any block in any order (WriterWorkers.cpp) ----
    void workerLoop();

    // ---- the writer thread: blocks in archive order into the sink (WriterOutput.cpp) ----
    void writerLoop();
    void writeLocalHeader(Entry& e, const Block& b, const Buffer& data);
    // Returns true when the block completes its entry.
    bool writeBlock(Block& b);

    // ---- the caller's side (ZipWriter.cpp) ----
    void rethrowIfFailed();
    // Calls onEntryDone for finished entries, on the caller's thread, without the lock.
    void deliver();
    void checkCancelled();
};

} // namespace stowkeep::engine::zip
