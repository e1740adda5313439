#include "ZipReader.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace stowkeep::engine::zip {

namespace {

// Finished checks wait here for their turn; a reader does not run further ahead of the
// caller than this many entries, so that memory stays bounded (a check is a few dozen
// bytes). While one thread inflates a large entry, the others go on this far past it.
constexpr size_t kWindow = 16384;
// A reader takes the next entries together, up to this many or this many compressed
// bytes, and hands their checks over at once: small files do not cost a wake-up each.
constexpr size_t kBatch = 256;
constexpr uint64_t kBatchBytes = 1024 * 1024;
// Batches whose entries lie close together are read from the archive this many ahead, on a
// thread of their own, while the readers inflate: a reader then rarely waits for the disk.
constexpr size_t kAhead = 4;

} // namespace

void ZipReader::checkAll(const std::vector<size_t>& which, const std::function<void(size_t, const Check&)>& done,
                         unsigned threads) const
{
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(1, which.size())));
    struct Batch
    {
        size_t from;
        size_t to;
    };
    std::vector<Batch> batches;
    for (size_t from = 0; from < which.size();) {
        size_t to = from;
        uint64_t bytes = 0;
        while (to < which.size() && to - from < kBatch && (to == from || bytes < kBatchBytes))
            bytes += entries()[which[to++]].compressedSize;
        batches.push_back({from, to});
        from = to;
    }
    // The stretches read ahead: batch b's in ahead[b % kAhead], once `loadedFor` is b.
    struct Ahead
    {
        std::vector<unsigned char> buffer;
        Stretch stretch;
        size_t loadedFor = SIZE_MAX;
    };
    std::vector<Ahead> ahead(kAhead);
    std::vector<Check> slots(std::min(kWindow, which.size()));
    std::vector<bool> ready(slots.size());
    std::vector<std::exception_ptr> failures(slots.size()); // other than a damaged entry
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;     // the next batch to check
    size_t consumed = 0; // positions handed to done()
    bool stop = false;

    auto prefetch = [&] {
        for (size_t b = 0; b < batches.size(); ++b) {
            Ahead& a = ahead[b % kAhead];
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || a.loadedFor == SIZE_MAX; });
                if (stop)
                    return;
            }
            Stretch stretch = stretchOf(which.data() + batches[b].from, batches[b].to - batches[b].from);
            readStretch(stretch, a.buffer);
            {
                std::lock_guard lock(mutex);
                a.stretch = stretch;
                a.loadedFor = b;
            }
            changed.notify_all();
        }
    };

    auto work = [&] {
        std::vector<Check> checks;
        std::vector<std::exception_ptr> failed;
        for (;;) {
            size_t b;
            Stretch near;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] {
                    return stop || next >= batches.size() || batches[next].to <= consumed + slots.size();
                });
                if (stop || next >= batches.size())
                    return;
                b = next++;
                changed.wait(lock, [&] { return stop || ahead[b % kAhead].loadedFor == b; });
                if (stop)
                    return;
                near = ahead[b % kAhead].stretch;
                if (!near.bytes) // nothing read ahead: the slot is free at once
                    ahead[b % kAhead].loadedFor = SIZE_MAX;
            }
            if (!near.bytes)
                changed.notify_all();
            const auto [from, to] = batches[b];
            checks.assign(to - from, Check {});
            failed.assign(to - from, nullptr);
            checkEntries(which.data() + from, to - from, near, checks.data(), failed.data());
            {
                std::lock_guard lock(mutex);
                if (near.bytes)
                    ahead[b % kAhead].loadedFor = SIZE_MAX;
                for (size_t at = from; at < to; ++at) {
                    failures[at % slots.size()] = failed[at - from];
                    slots[at % slots.size()] = std::move(checks[at - from]);
                    ready[at % slots.size()] = true;
                }
            }
            changed.notify_all();
        }
    };

    std::vector<std::thread> pool;
    auto stopAll = [&] {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        changed.notify_all();
        for (auto& t : pool)
            t.join();
    };
    try {
        pool.emplace_back(prefetch);
        for (unsigned i = 0; i < threads; ++i)
            pool.emplace_back(work);
        while (consumed < which.size()) {
            Check check;
            std::exception_ptr failure;
            {
                std::unique_lock lock(mutex);
                const size_t slot = consumed % slots.size();
                changed.wait(lock, [&] { return ready[slot]; });
                check = std::move(slots[slot]);
                failure = std::move(failures[slot]);
                ready[slot] = false;
            }
            if (failure)
                std::rethrow_exception(failure);
            done(which[consumed], check);
            {
                std::lock_guard lock(mutex);
                ++consumed;
            }
            changed.notify_all();
        }
    } catch (...) {
        stopAll();
        throw;
    }
    stopAll();
}

} // namespace stowkeep::engine::zip
