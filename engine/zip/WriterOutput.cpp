#include "WriterImpl.h"

#include <stdexcept>

namespace stowkeep::engine::zip {

using namespace detail;

namespace {

uint16_t entryFlags(const Entry& e)
{
    return static_cast<uint16_t>((e.utf8Name ? kFlagUtf8 : 0) | (e.dataDescriptor ? kFlagDataDescriptor : 0));
}

} // namespace

void ZipWriter::Impl::writerLoop()
{
    for (;;) {
        std::unique_ptr<Unit> u;
        {
            std::unique_lock lock(mutex);
            doneChanged.wait(lock, [&] { return stop || (!order.empty() && order.front()->done); });
            if (stop)
                return;
            u = std::move(order.front());
            order.pop_front();
        }
        if (u->end) {
            finishArchive();
            return;
        }
        size_t entriesDone = 0;
        const bool released = u->inputReleased;
        std::vector<EntryResult> done;
        for (const Piece& p : u->pieces)
            if (writePiece(*u, p))
                done.push_back(std::move(p.entry->result));
        u.reset();
        {
            std::lock_guard lock(mutex);
            --unitsInFlight;
            if (!released)
                --unitsWithInput;
            entriesDone = done.size();
            for (EntryResult& r : done)
                results.push_back(std::move(r));
        }
        budgetChanged.notify_all();
        if (entriesDone > 0)
            resultsChanged.notify_all();
    }
}

void ZipWriter::Impl::finishArchive()
{
    central.write([this](const std::string& s) { sink.write(s); }, sink.position());
    sink.flush();
    if (outputThread.joinable()) {
        {
            std::unique_lock lock(mutex);
            chunksClosed = true;
            chunksChanged.notify_all();
            chunksChanged.wait(lock, [&] { return stop || chunksDrained; });
            if (stop)
                return;
        }
    }
    sink.finish();
    {
        std::lock_guard lock(mutex);
        writerFinished = true;
    }
    resultsChanged.notify_all();
}

void ZipWriter::Impl::handOff(std::unique_ptr<Chunk> chunk)
{
    std::unique_lock lock(mutex);
    chunksChanged.wait(lock, [&] { return stop || chunkOrder.size() < kMaxChunksInFlight; });
    if (stop)
        return; // the pipeline is stopping; its cause is reported elsewhere
    chunkWork.push_back(chunk.get());
    macOrder.push_back(chunk.get());
    chunkOrder.push_back(std::move(chunk));
    lock.unlock();
    workChanged.notify_one();
}

// HMAC-SHA1 is one stream over all the chunks: it runs on a thread of its own, so that
// the file is written at the same time.
void ZipWriter::Impl::macLoop()
{
    for (;;) {
        Chunk* chunk = nullptr;
        {
            std::unique_lock lock(mutex);
            chunksChanged.wait(lock, [&] {
                return stop || (!macOrder.empty() && macOrder.front()->done) || (chunksClosed && macOrder.empty());
            });
            if (stop || macOrder.empty())
                return;
            chunk = macOrder.front();
            macOrder.pop_front();
        }
        // The output thread frees a chunk only once it is authenticated.
        sink.authenticate(*chunk);
        {
            std::lock_guard lock(mutex);
            chunk->authenticated = true;
        }
        chunksChanged.notify_all();
    }
}

void ZipWriter::Impl::outputLoop()
{
    for (;;) {
        std::unique_ptr<Chunk> chunk;
        {
            std::unique_lock lock(mutex);
            chunksChanged.wait(lock, [&] {
                return stop || (!chunkOrder.empty() && chunkOrder.front()->authenticated)
                       || (chunksClosed && chunkOrder.empty());
            });
            if (stop)
                return;
            if (chunkOrder.empty()) {
                chunksDrained = true;
                chunksChanged.notify_all();
                return;
            }
            chunk = std::move(chunkOrder.front());
            chunkOrder.pop_front();
        }
        chunksChanged.notify_all(); // room for the writer
        sink.writeOut(std::move(chunk));
    }
}

void ZipWriter::Impl::writeLocalHeader(Entry& e, const Piece& p, size_t dataSize)
{
    e.dataDescriptor = !p.last;
    e.zip64Local = e.dataDescriptor && e.src.size >= kZip64Threshold;
    Bytes h;
    h.u32(kLocalHeaderSig)
        .u16(e.zip64Local ? kNeedZip64 : kNeedDefault)
        .u16(entryFlags(e))
        .u16(e.method)
        .u16(e.dos.time)
        .u16(e.dos.date);
    if (e.dataDescriptor) {
        const uint32_t sizes = e.zip64Local ? kMax32 : 0;
        h.u32(0).u32(sizes).u32(sizes);
    } else {
        h.u32(p.crc).u32(static_cast<uint32_t>(dataSize)).u32(static_cast<uint32_t>(p.inSize));
    }
    Bytes extra;
    if (e.zip64Local)
        extra.u16(kZip64ExtraId).u16(16).u64(0).u64(0);
    extra.str(timeExtras(e.src.mtime));
    h.u16(static_cast<uint16_t>(e.src.name.size()))
        .u16(static_cast<uint16_t>(extra.data.size()))
        .str(e.src.name)
        .str(extra.data);
    e.localOffset = sink.position();
    sink.write(h.data);
}

bool ZipWriter::Impl::writePiece(const Unit& u, const Piece& p)
{
    Entry& e = *p.entry;
    if (p.abort) {
        // Bytes already written for the entry stay in the file, unlisted: readers go
        // by the central directory.
        e.result.size = 0;
        e.result.compressedSize = 0;
        e.result.crc = 0;
        return true;
    }
    if (p.first)
        e.method = p.deflated ? kMethodDeflate : kMethodStored;
    if ((e.method == kMethodDeflate) != p.deflated)
        throw std::logic_error("zip writer: the blocks of an entry disagree on its method");
    // A unit whose data is all deflated has released its input (only empty pieces remain).
    const unsigned char* data = p.deflated ? u.output.data() + p.outOffset
                                : p.inSize > 0 ? u.input.data() + p.inOffset
                                               : nullptr;
    const size_t size = p.deflated ? p.outSize : p.inSize;
    if (p.first)
        writeLocalHeader(e, p, size);
    sink.write(data, size, p.deflated ? std::nullopt : std::optional<uint32_t>(p.crc));
    stored += p.inSize;
    e.crc = p.first ? p.crc : crc32Combine(e.crc, p.crc, p.inSize);
    e.size += p.inSize;
    e.compressedSize += size;
    if (!p.last)
        return false;

    if (e.dataDescriptor) {
        Bytes d;
        d.u32(kDataDescriptorSig).u32(e.crc);
        if (e.zip64Local)
            d.u64(e.compressedSize).u64(e.size);
        else
            d.u32(static_cast<uint32_t>(e.compressedSize)).u32(static_cast<uint32_t>(e.size));
        sink.write(d.data);
    }
    CentralRecord r;
    r.name = e.src.name;
    r.versionNeeded = e.zip64Local ? kNeedZip64 : kNeedDefault;
    r.flags = entryFlags(e);
    r.method = e.method;
    r.dos = e.dos;
    r.crc = e.crc;
    r.compressedSize = e.compressedSize;
    r.size = e.size;
    r.offset = e.localOffset;
    r.externalAttributes = (e.src.mode << 16) | (e.src.kind == EntryKind::Directory ? 0x10 : 0);
    r.extraTail = timeExtras(e.src.mtime);
    central.add(r);
    e.result.size = e.size;
    e.result.compressedSize = e.compressedSize;
    e.result.crc = e.crc;
    return true;
}

} // namespace stowkeep::engine::zip
