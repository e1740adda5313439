#include "WriterImpl.h"

#include <pthread.h>

#include <algorithm>

namespace stowkeep::engine::zip {

using namespace detail;

namespace {

// Named threads show as such in top -H and in profiles.
template <typename Body> std::thread namedThread(const char* name, Body body)
{
    return std::thread([name, body = std::move(body)] {
        ::pthread_setname_np(::pthread_self(), name);
        body();
    });
}

} // namespace

ZipWriter::Impl::Impl(OutputFile& o, Options opts)
    : out(o), options(std::move(opts)), level(std::clamp(options.level, 0, 9)),
      sink(o, options.password, options.innerName)
{
    workerCount = options.threads ? options.threads : std::thread::hardware_concurrency();
    workerCount = std::clamp(workerCount, 1u, 64u);
    // Enough units holding read data for every worker to have one and the next one waiting,
    // and for the reader and the writer to have one each. A few more may wait with only
    // their deflated data behind a slow one (a block of text while the next ones went
    // quickly), so that the workers go on meanwhile: one per worker and one more took most
    // of the waiting away on a mixed tree; more only took memory.
    maxUnits = 2 * size_t{workerCount} + 2;
    maxUnitsInAll = maxUnits + workerCount + 1;
    try {
        if (sink.encrypted()) {
            sink.setHandOff([this](std::unique_ptr<Chunk> chunk) { handOff(std::move(chunk)); });
            macThread = namedThread("zip-mac", [this] { guarded([this] { macLoop(); }); });
            outputThread = namedThread("zip-output", [this] { guarded([this] { outputLoop(); }); });
        }
        readerThread = namedThread("zip-reader", [this] { guarded([this] { readerLoop(); }); });
        for (unsigned i = 0; i < workerCount; ++i)
            workerThreads.push_back(namedThread("zip-worker", [this] { guarded([this] { workerLoop(); }); }));
        writerThread = namedThread("zip-writer", [this] { guarded([this] { writerLoop(); }); });
    } catch (...) {
        shutDown();
        throw;
    }
}

void ZipWriter::Impl::shutDown()
{
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    notifyAll();
    if (readerThread.joinable())
        readerThread.join();
    for (auto& t : workerThreads)
        if (t.joinable())
            t.join();
    if (writerThread.joinable())
        writerThread.join();
    if (macThread.joinable())
        macThread.join();
    if (outputThread.joinable())
        outputThread.join();
}

void ZipWriter::Impl::notifyAll()
{
    entriesAdded.notify_all();
    queueSpace.notify_all();
    chunksChanged.notify_all();
    workChanged.notify_all();
    doneChanged.notify_all();
    budgetChanged.notify_all();
    resultsChanged.notify_all();
}

void ZipWriter::Impl::rethrowIfFailed()
{
    std::exception_ptr failure;
    {
        std::lock_guard lock(mutex);
        failure = error;
    }
    if (failure)
        std::rethrow_exception(failure);
}

void ZipWriter::Impl::deliver()
{
    std::vector<EntryResult> pending;
    {
        std::lock_guard lock(mutex);
        if (!options.collectResults) {
            pending.swap(results); // none was delivered yet: all of them are new
            reported += pending.size();
        } else {
            if (options.onEntryDone)
                pending.assign(results.begin() + static_cast<std::ptrdiff_t>(delivered), results.end());
            delivered = results.size();
            reported = delivered;
        }
    }
    if (!options.onEntryDone)
        return;
    for (const EntryResult& r : pending)
        options.onEntryDone(r);
}

void ZipWriter::Impl::checkCancelled()
{
    if (options.cancelled && options.cancelled()) {
        shutDown();
        throw Cancelled();
    }
}

ZipWriter::ZipWriter(OutputFile& out, Options options) : m(std::make_unique<Impl>(out, std::move(options))) {}

ZipWriter::~ZipWriter() = default;

uint64_t ZipWriter::bytesStored() const
{
    return m->stored;
}

void ZipWriter::add(EntrySource entry)
{
    if (m->finished)
        throw std::logic_error("ZipWriter::add after finish");
    for (;;) {
        m->rethrowIfFailed();
        m->deliver();
        m->checkCancelled();
        std::unique_lock lock(m->mutex);
        if (m->stop) {
            // A failed write stops the pipeline too: report the failure, not a cancel.
            lock.unlock();
            m->rethrowIfFailed();
            throw Cancelled();
        }
        if (m->entryQueue.size() < kMaxQueuedEntries) {
            // The reader waits only for an empty queue: one wake-up per batch it takes.
            const bool wasEmpty = m->entryQueue.empty();
            m->entryQueue.push_back(std::move(entry));
            ++m->added;
            lock.unlock();
            if (wasEmpty)
                m->entriesAdded.notify_one();
            return;
        }
        m->queueSpace.wait_for(lock, kPollInterval);
    }
}

void ZipWriter::waitForEntries()
{
    for (;;) {
        m->rethrowIfFailed();
        m->deliver();
        m->checkCancelled();
        std::unique_lock lock(m->mutex);
        if (m->reported == m->added)
            return;
        if (m->stop) {
            lock.unlock();
            m->rethrowIfFailed();
            throw Cancelled();
        }
        m->resultsChanged.wait_for(lock, kPollInterval);
    }
}

std::vector<EntryResult> ZipWriter::finish()
{
    if (m->finished)
        throw std::logic_error("ZipWriter::finish called twice");
    {
        std::lock_guard lock(m->mutex);
        m->inputClosed = true;
    }
    m->entriesAdded.notify_all();
    for (;;) {
        m->rethrowIfFailed();
        m->deliver();
        m->checkCancelled();
        std::unique_lock lock(m->mutex);
        if (m->writerFinished)
            break;
        if (m->stop) {
            // A failed write stops the pipeline too: report the failure, not a cancel.
            lock.unlock();
            m->rethrowIfFailed();
            throw Cancelled();
        }
        m->resultsChanged.wait_for(lock, kPollInterval);
    }
    m->shutDown();
    m->rethrowIfFailed();
    m->deliver();
    m->finished = true;
    return std::move(m->results);
}

} // namespace stowkeep::engine::zip
