#include "WriterImpl.h"

#include "WinZipAes.h"

#include <algorithm>

namespace stowkeep::engine::zip {

using namespace detail;

void ZipWriter::Impl::workerLoop()
{
    std::unique_ptr<Compressor> compressor;
    if (level > 0)
        compressor = std::make_unique<Compressor>(level, options.wholeCodec, options.blockCodec);
    std::unique_ptr<AesCtr> aes;
    for (;;) {
        Unit* u = nullptr;
        Chunk* chunk = nullptr;
        {
            std::unique_lock lock(mutex);
            workChanged.wait(lock, [&] { return stop || !work.empty() || !chunkWork.empty(); });
            if (stop)
                return;
            // Encryption first: the output waits for it, and it frees memory.
            if (!chunkWork.empty()) {
                chunk = chunkWork.front();
                chunkWork.pop_front();
            } else {
                u = work.front();
                work.pop_front();
            }
        }
        if (chunk) {
            if (!aes)
                aes = std::make_unique<AesCtr>(sink.cipherKey());
            ArchiveSink::encrypt(*chunk, *aes);
            {
                std::lock_guard lock(mutex);
                chunk->done = true;
            }
            chunksChanged.notify_all();
            continue;
        }
        processUnit(*u, compressor.get());
        bool front;
        const bool released = u->inputReleased;
        {
            std::lock_guard lock(mutex);
            u->done = true; // from here on the writer may take the unit
            front = order.front().get() == u;
            if (released)
                --unitsWithInput;
        }
        if (front)
            doneChanged.notify_all();
        if (released)
            budgetChanged.notify_all();
    }
}

void ZipWriter::Impl::processUnit(Unit& u, Compressor* compressor)
{
    if (compressor)
        u.output.reserve(u.input.size() + u.input.size() / 8 + 4096);
    for (Piece& p : u.pieces) {
        if (p.abort)
            continue;
        const unsigned char* data = u.input.data() + p.inOffset;
        p.crc = crc32Of(0, data, p.inSize);
        if (!compressor || p.entry->src.kind != EntryKind::File)
            continue;
        p.outOffset = u.output.size();
        if (p.first && p.last) {
            // A whole entry that does not shrink is stored as it is.
            p.deflated = p.inSize > 0 && recentWhole.compressWhole(*compressor, data, p.inSize, p.crc, u.output);
        } else {
            compressor->compressBlock(data, p.inSize, u.dict.data(), u.dict.size(), p.last, u.output,
                                      p.entry->blockCodec);
            p.deflated = true;
        }
        p.outSize = u.output.size() - p.outOffset;
    }
    u.dict = {};
    // The writer takes only deflated data from this unit: its input can go now, and the
    // reader may read ahead while the unit waits for its turn.
    if (compressor && std::all_of(u.pieces.begin(), u.pieces.end(),
                                  [](const Piece& p) { return p.abort || p.inSize == 0 || p.deflated; })) {
        Buffer().swap(u.input);
        u.inputReleased = true;
    }
}

} // namespace stowkeep::engine::zip
