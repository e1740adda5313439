#include "WriterImpl.h"

#include <zlib.h>

#include <stdexcept>

namespace stowkeep::engine::zip {

using namespace detail;

namespace {

class Deflater
{
public:
    explicit Deflater(int level)
    {
        if (deflateInit2(&m_zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("zlib: cannot set up deflate");
    }
    ~Deflater() { deflateEnd(&m_zs); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Deflates one block so that the blocks of a file, concatenated, make one raw deflate
    // stream: earlier blocks end on a byte boundary (sync flush), the last one finishes it.
    void compress(Block& b)
    {
        if (deflateReset(&m_zs) != Z_OK)
            throw std::runtime_error("zlib: deflateReset failed");
        if (!b.dict.empty()
            && deflateSetDictionary(&m_zs, b.dict.data(), static_cast<uInt>(b.dict.size())) != Z_OK)
            throw std::runtime_error("zlib: deflateSetDictionary failed");
        size_t capacity = deflateBound(&m_zs, static_cast<uLong>(b.input.size())) + 64;
        b.output.resize(capacity);
        m_zs.next_in = b.input.data();
        m_zs.avail_in = static_cast<uInt>(b.input.size());
        m_zs.next_out = b.output.data();
        m_zs.avail_out = static_cast<uInt>(capacity);
        const int flush = b.last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            const int rc = deflate(&m_zs, flush);
            if (rc == Z_STREAM_ERROR)
                throw std::runtime_error("zlib: deflate failed");
            if (b.last ? rc == Z_STREAM_END : (m_zs.avail_in == 0 && m_zs.avail_out > 0))
                break;
            if (m_zs.avail_out == 0) {
                const size_t used = b.output.size();
                b.output.resize(used * 2);
                m_zs.next_out = b.output.data() + used;
                m_zs.avail_out = static_cast<uInt>(used);
            }
        }
        b.output.resize(m_zs.total_out);
        b.compressed = true;
    }

private:
    z_stream m_zs{};
};

} // namespace

void ZipWriter::Impl::workerLoop()
{
    std::unique_ptr<Deflater> deflater;
    if (level > 0)
        deflater = std::make_unique<Deflater>(level);
    for (;;) {
        Block* b;
        {
            std::unique_lock lock(mutex);
            workChanged.wait(lock, [&] { return stop || !work.empty(); });
            if (stop)
                return;
            b = work.front();
            work.pop_front();
        }
        b->crc = static_cast<uint32_t>(crc32(0, b->input.data(), static_cast<uInt>(b->input.size())));
        if (deflater && b->entry->store.load() != 1)
            deflater->compress(*b);
        bool front;
        {
            std::lock_guard lock(mutex);
            b->done = true;
            front = order.front().get() == b;
        }
        if (front)
            doneChanged.notify_all();
    }
}

} // namespace stowkeep::engine::zip
