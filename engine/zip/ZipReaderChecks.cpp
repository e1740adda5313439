#include "ZipReader.h"

#include <algorithm>
#include <atomic>
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
constexpr size_t kBatch = 64;
constexpr uint64_t kBatchBytes = 256 * 1024;

} // namespace

void ZipReader::checkAll(const std::vector<size_t>& which, const std::function<void(size_t, const Check&)>& done,
                         unsigned threads) const
{
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(1, which.size())));
    std::vector<Check> slots(std::min(kWindow, which.size()));
    std::vector<bool> ready(slots.size());
    std::vector<std::exception_ptr> failures(slots.size()); // other than a damaged entry
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;     // the next position of `which` to read
    size_t consumed = 0; // positions handed to done()
    bool stop = false;

    auto work = [&] {
        std::vector<Check> checks;
        std::vector<std::exception_ptr> failed;
        for (;;) {
            size_t from;
            size_t to;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || next >= which.size() || next < consumed + slots.size(); });
                if (stop || next >= which.size())
                    return;
                from = next;
                to = from;
                uint64_t bytes = 0;
                const size_t limit = std::min({which.size(), consumed + slots.size(), from + kBatch});
                while (to < limit && (to == from || bytes < kBatchBytes))
                    bytes += entries()[which[to++]].compressedSize;
                next = to;
            }
            checks.assign(to - from, Check {});
            failed.assign(to - from, nullptr);
            for (size_t at = from; at < to; ++at) {
                Check& check = checks[at - from];
                const ZipEntry& e = entries()[which[at]];
                try {
                    if (e.kind == EntryKind::Symlink) {
                        check.linkTarget = readLinkTarget(e);
                        check.size = check.linkTarget.size();
                    } else {
                        check.crc = read(e, [&](const char*, size_t n) { check.size += n; });
                    }
                } catch (const ZipError& x) {
                    check.error = x.what();
                } catch (...) {
                    failed[at - from] = std::current_exception();
                }
            }
            {
                std::lock_guard lock(mutex);
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
