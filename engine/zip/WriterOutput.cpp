#include "WriterImpl.h"

#include <zlib.h>

#include <stdexcept>

namespace stowkeep::engine::zip {

using namespace detail;

void ZipWriter::Impl::writerLoop()
{
    for (;;) {
        std::unique_ptr<Block> b;
        {
            std::unique_lock lock(mutex);
            doneChanged.wait(lock, [&] { return stop || (!order.empty() && order.front()->done); });
            if (stop)
                return;
            b = std::move(order.front());
            order.pop_front();
        }
        if (!b->entry) {
            central.write([this](const std::string& s) { sink.write(s); }, sink.position());
            sink.finish();
            {
                std::lock_guard lock(mutex);
                writerFinished = true;
            }
            resultsChanged.notify_all();
            return;
        }
        bool entryDone = writeBlock(*b);
        {
            std::lock_guard lock(mutex);
            --blocksInFlight;
            bytesInFlight -= b->budget;
            if (entryDone)
                results.push_back(b->entry->result);
        }
        budgetChanged.notify_all();
        if (entryDone)
            resultsChanged.notify_all();
    }
}

void ZipWriter::Impl::writeLocalHeader(Entry& e, const Block& b, const Buffer& data)
{
    e.dataDescriptor = !b.last;
    e.zip64Local = e.dataDescriptor && e.src.size >= kZip64Threshold;
    Bytes h;
    h.u32(kLocalHeaderSig)
        .u16(e.zip64Local ? kNeedZip64 : kNeedDefault)
        .u16(static_cast<uint16_t>(kFlagUtf8 | (e.dataDescriptor ? kFlagDataDescriptor : 0)))
        .u16(e.method)
        .u16(e.dos.time)
        .u16(e.dos.date);
    if (e.dataDescriptor) {
        const uint32_t sizes = e.zip64Local ? kMax32 : 0;
        h.u32(0).u32(sizes).u32(sizes);
    } else {
        h.u32(b.crc).u32(static_cast<uint32_t>(data.size())).u32(static_cast<uint32_t>(b.input.size()));
    }
    Bytes extra;
    if (e.zip64Local)
        extra.u16(kZip64ExtraId).u16(16).u64(0).u64(0);
    extra.str(timestampExtra(e.src.mtime));
    h.u16(static_cast<uint16_t>(e.src.name.size()))
        .u16(static_cast<uint16_t>(extra.data.size()))
        .str(e.src.name)
        .str(extra.data);
    e.localOffset = sink.position();
    sink.write(h.data);
}

bool ZipWriter::Impl::writeBlock(Block& b)
{
    Entry& e = *b.entry;
    if (b.abort) {
        // Bytes already written for the entry stay in the file, unlisted: readers go
        // by the central directory.
        e.result.size = 0;
        e.result.compressedSize = 0;
        e.result.crc = 0;
        return true;
    }
    if (b.first) {
        bool store = level == 0 || e.src.kind != EntryKind::File || !b.compressed;
        // Data that deflate does not shrink by at least 3% is stored instead.
        if (!store)
            store = b.output.size() * 100 > b.input.size() * 97;
        e.store = store ? 1 : 0;
        e.method = store ? kMethodStored : kMethodDeflate;
    }
    if (e.method == kMethodDeflate && !b.compressed)
        throw std::logic_error("zip writer: block of a deflated entry was not compressed");
    const Buffer& data = e.method == kMethodDeflate ? b.output : b.input;
    if (b.first)
        writeLocalHeader(e, b, data);
    sink.write(data.data(), data.size());
    e.crc = b.first ? b.crc
                    : static_cast<uint32_t>(crc32_combine(e.crc, b.crc, static_cast<z_off_t>(b.input.size())));
    e.size += b.input.size();
    e.compressedSize += data.size();
    b.input = {};
    b.output = {};
    if (!b.last)
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
    r.flags = static_cast<uint16_t>(kFlagUtf8 | (e.dataDescriptor ? kFlagDataDescriptor : 0));
    r.method = e.method;
    r.dos = e.dos;
    r.crc = e.crc;
    r.compressedSize = e.compressedSize;
    r.size = e.size;
    r.offset = e.localOffset;
    r.externalAttributes = (e.src.mode << 16) | (e.src.kind == EntryKind::Directory ? 0x10 : 0);
    r.extraTail = timestampExtra(e.src.mtime);
    central.add(r);
    e.result.size = e.size;
    e.result.compressedSize = e.compressedSize;
    e.result.crc = e.crc;
    return true;
}

} // namespace stowkeep::engine::zip
