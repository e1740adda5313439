#pragma once

// The zip writer's pipeline, shared by its stages. The reader thread (WriterInput.cpp)
// packs entries into units of about 1 MiB: many small files whole, or one block of a large
// file. One worker is woken per unit (WriterWorkers.cpp) to checksum and deflate it; the
// writer thread (WriterOutput.cpp) puts the units into the archive in order. With a
// password the archive's bytes are encrypted by the workers too, at their known offsets,
// and the output thread authenticates and writes them in order.

#include "ArchiveSink.h"
#include "CentralDirectory.h"
#include "Deflate.h"
#include "ZipWriter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#include <sys/stat.h>

namespace stowkeep::engine::zip {

namespace detail {

constexpr size_t kBlockSize = size_t{1} << 20; // a large file is read and deflated in blocks of 1 MiB
constexpr size_t kUnitSize = size_t{1} << 20;  // small files are packed into units of about as much
constexpr size_t kMaxPiecesPerUnit = 2048;     // and so are empty files, folders and links
constexpr size_t kMaxQueuedEntries = 4096;
constexpr size_t kMaxChunksInFlight = 6;      // encrypted output buffers between writer and output
// Entries that may come near 4 GiB get zip64 fields in their local header from the
// start: their sizes are only known once their data is written.
constexpr uint64_t kZip64Threshold = 0xf0000000ull;
constexpr auto kPollInterval = std::chrono::milliseconds(20);

struct Entry
{
    EntrySource src;
    EntryResult result;
    bool utf8Name = true;
    // Writer state.
    uint16_t method = kMethodStored;
    bool dataDescriptor = false;
    bool zip64Local = false;
    uint64_t localOffset = 0;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    DosTime dos;
    BlockCodecChoice blockCodec; // the workers'
};

// Where an entry's bytes come from: its open file, or memory (EntrySource::content).
struct EntryBytes
{
    int fd = -1;
    const std::string* memory = nullptr;
    size_t offset = 0; // in memory
    // Reads until the buffer is full or the bytes end; returns 0 or an errno. Once
    // `expected` bytes are in, a short read of the file is taken for its end, without
    // asking again: a file that grew meanwhile shows in its size after the reading.
    int read(unsigned char* data, size_t size, size_t& got, size_t expected = SIZE_MAX);
};

// One entry's share of a unit: a whole small entry, or one block of a large one.
struct Piece
{
    std::shared_ptr<Entry> entry;
    size_t inOffset = 0; // in the unit's input
    size_t inSize = 0;
    size_t outOffset = 0; // in the unit's output, when deflated
    size_t outSize = 0;
    uint32_t crc = 0;
    bool first = false;
    bool last = false;
    bool abort = false;    // the entry failed: no data, it is left out of the archive
    bool deflated = false; // the output holds the piece as deflate data
};

struct Unit
{
    std::vector<Piece> pieces;
    Buffer input;
    Buffer output;
    Buffer dict;      // the 32 KiB before a block of a large file
    bool end = false; // the end-of-input marker
    bool done = false;
    bool inputReleased = false; // every byte of it is deflated: the input is not needed
};

} // namespace detail

struct ZipWriter::Impl
{
    using Unit = detail::Unit;
    using Piece = detail::Piece;
    using Entry = detail::Entry;
    using Chunk = detail::ArchiveSink::Chunk;

    OutputFile& out;
    Options options;
    int level;
    detail::ArchiveSink sink;
    unsigned workerCount;
    size_t maxUnits;      // units in flight that hold their input
    size_t maxUnitsInAll; // with those that hold only their deflated data

    std::mutex mutex;
    std::condition_variable entriesAdded;   // the reader waits for entries
    std::condition_variable queueSpace;     // add() waits for room in the queue
    std::condition_variable workChanged;    // workers wait for units or chunks to encrypt
    std::condition_variable doneChanged;    // the writer waits for the next unit in order
    std::condition_variable budgetChanged;  // the reader waits for room in the pipeline
    std::condition_variable resultsChanged; // the caller waits for results
    std::condition_variable chunksChanged;  // the output and MAC threads wait for encrypted chunks, the writer for room
    std::deque<EntrySource> entryQueue;
    bool inputClosed = false;
    std::deque<std::unique_ptr<Unit>> order;
    std::deque<Unit*> work;
    size_t unitsInFlight = 0;
    size_t unitsWithInput = 0; // of which have not released their input
    std::deque<std::unique_ptr<Chunk>> chunkOrder; // encrypted output, in stream order
    std::deque<Chunk*> chunkWork;
    std::deque<Chunk*> macOrder; // chunks still to authenticate, in stream order
    bool chunksClosed = false;
    bool chunksDrained = false;
    std::vector<EntryResult> results;
    size_t delivered = 0;
    size_t added = 0;    // entries add() queued
    size_t reported = 0; // of which onEntryDone has seen the result
    bool writerFinished = false;
    std::exception_ptr error;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> stored{0}; // source bytes written, for progress within large files
    bool finished = false;

    detail::CentralDirectory central; // writer thread only
    detail::RecentWholeEntries recentWhole; // the workers'

    std::thread readerThread;
    std::vector<std::thread> workerThreads;
    std::thread writerThread;
    // With a password: one thread authenticates the encrypted chunks, one writes them.
    std::thread macThread;
    std::thread outputThread;

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

    // ---- the reader thread: entries in, units out, in archive order (WriterInput.cpp) ----
    void readerLoop();
    std::unique_ptr<Unit> acquireUnit();
    void push(std::unique_ptr<Unit> u);
    static void markChanged(Entry& e, const char* why);
    std::shared_ptr<Entry> makeEntry(EntrySource src);
    // Adds a small entry whole to the unit; false when the pipeline stopped.
    bool readSmall(const std::shared_ptr<Entry>& e, Unit& unit);
    // Reads a large entry block by block, a unit each; false when the pipeline stopped.
    bool readLarge(const std::shared_ptr<Entry>& e, detail::EntryBytes& bytes);
    // Marks the entry changed when the open file's size or time differ from the recorded ones.
    static void checkUnchanged(Entry& e, int fd);
    static int openSource(Entry& e, struct stat& st);

    // ---- worker threads: CRC and deflate, any unit in any order (WriterWorkers.cpp) ----
    void workerLoop();
    void processUnit(Unit& u, detail::Compressor* compressor);

    // ---- the writer thread: units in archive order into the sink (WriterOutput.cpp) ----
    void writerLoop();
    void writeLocalHeader(Entry& e, const Piece& p, size_t dataSize);
    // Returns true when the piece completes its entry.
    bool writePiece(const Unit& u, const Piece& p);
    // With a password: hands a full buffer of the inner stream to the workers.
    void handOff(std::unique_ptr<Chunk> chunk);
    void finishArchive();

    // ---- the MAC and output threads, with a password (WriterOutput.cpp) ----
    void macLoop();
    void outputLoop();

    // ---- the caller's side (ZipWriter.cpp) ----
    void rethrowIfFailed();
    // Calls onEntryDone for finished entries, on the caller's thread, without the lock.
    void deliver();
    void checkCancelled();
};

} // namespace stowkeep::engine::zip
