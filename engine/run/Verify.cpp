#include "Run.h"

#include "RunSupport.h"
#include "zip/ZipReader.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>

namespace stowkeep::engine::detail {

void Run::verify()
{
    if (m_impl.hooks.beforeVerify)
        m_impl.hooks.beforeVerify(m_archivePath);
    // Passed only once every entry was read: a cancelled verification is not done.
    m_verified.reset();
    auto bad = [this](const std::string& name, const std::string& why) {
        m_verified = false;
        m_badEntries.push_back(name);
        m_log->error("Verification: " + name + ": " + why);
    };
    // The entries this run wrote (indexes into the selection), sorted by their names in
    // the archive, and whether the archive has listed each yet.
    const auto& entries = m_selection.entries;
    auto isDir = [&entries](size_t i) { return entries[i].kind == SelectedKind::Directory; };
    std::vector<size_t> expected;
    expected.reserve(m_writtenCount);
    for (size_t i = 0; i < m_outcomes.size(); ++i)
        if (m_outcomes[i].fate == Fate::Written)
            expected.push_back(i);
    std::sort(expected.begin(), expected.end(), [&](size_t a, size_t b) {
        return compareWithSlash(entries[a].name, isDir(a), entries[b].name, isDir(b)) < 0;
    });
    // Verification reads what the writing read: its share of the progress is that size.
    {
        std::lock_guard lock(m_progressMutex);
        m_progress.bytesToCheck = 0;
        for (size_t i : expected)
            m_progress.bytesToCheck += m_outcomes[i].size;
    }
    auto checked = [this](uint64_t n) {
        std::lock_guard lock(m_progressMutex);
        m_progress.checkedBytes += n;
    };
    std::vector<bool> seen(expected.size());
    bool manifestSeen = false;
    try {
        zip::ZipReader reader(m_archivePath, m_job.encryptionPassword(), zip::ZipReader::Authentication::OnRequest);
        if (m_impl.readFault)
            reader.setReadFault(m_impl.readFault);
        reader.setCancel([this] { return cancelled(); });
        // The authentication code of an encrypted archive covers all of it: it is checked on
        // a thread of its own while the entries are read.
        std::string unauthentic, readError;
        std::atomic<bool> stopChecking = false;
        std::thread authentication;
        if (reader.encrypted())
            authentication = std::thread([&] {
                try {
                    reader.authenticate([&] { return stopChecking.load(); });
                } catch (const zip::Cancelled&) {
                } catch (const zip::ReadError& e) {
                    readError = e.what();
                } catch (const std::exception& e) {
                    unauthentic = e.what();
                }
            });
        struct Join
        {
            std::thread& thread;
            std::atomic<bool>& stop;
            ~Join()
            {
                if (thread.joinable()) {
                    stop = true;
                    thread.join();
                }
            }
        } join{authentication, stopChecking};
        // Names and kinds first; then the entries' data, read on every core, in order.
        std::vector<size_t> toRead;
        std::vector<size_t> writtenOf(reader.entries().size());
        size_t manifestIndex = SIZE_MAX;
        for (size_t n = 0; n < reader.entries().size(); ++n) {
            const auto& entry = reader.entries()[n];
            if (entry.name == m_manifestName) {
                if (manifestSeen) {
                    bad(entry.name, "listed twice in the archive");
                    continue;
                }
                manifestSeen = true;
                if (entry.kind != zip::EntryKind::File) {
                    bad(entry.name, "the run's manifest differs from what was written");
                    continue;
                }
                manifestIndex = n;
                toRead.push_back(n);
                continue;
            }
            const auto it = std::lower_bound(expected.begin(), expected.end(), entry.name,
                                             [&](size_t i, const std::string& name) {
                                                 return compareWithSlash(entries[i].name, isDir(i), name, false) < 0;
                                             });
            if (it == expected.end() || compareWithSlash(entries[*it].name, isDir(*it), entry.name, false) != 0) {
                bad(entry.name, "in the archive but not written by this run");
                continue;
            }
            const size_t slot = static_cast<size_t>(it - expected.begin());
            if (seen[slot]) {
                bad(entry.name, "listed twice in the archive");
                continue;
            }
            seen[slot] = true;
            if (entry.kind != zipKind(entries[*it].kind)) {
                bad(entry.name, "stored as the wrong kind of entry");
            } else if (entry.kind != zip::EntryKind::Directory) {
                writtenOf[n] = *it;
                toRead.push_back(n);
            }
        }
        reader.checkAll(toRead, [&](size_t n, const zip::ZipReader::Check& check) {
            checkCancel();
            const auto& entry = reader.entries()[n];
            if (n == manifestIndex) {
                if (!check.error.empty())
                    bad(entry.name, check.error);
                else if (check.crc != m_manifestCrc || check.size != m_manifestSize)
                    bad(entry.name, "the run's manifest differs from what was written");
                return;
            }
            const SelectedEntry& written = entries[writtenOf[n]];
            const Outcome& o = m_outcomes[writtenOf[n]];
            if (entry.kind == zip::EntryKind::File) {
                checked(std::min(check.size, o.size));
                reportProgress(entry.name);
            }
            if (!check.error.empty())
                bad(entry.name, check.error);
            else if (entry.kind == zip::EntryKind::Symlink ? check.linkTarget != written.linkTarget
                                                           : check.crc != o.crc || entry.crc != o.crc || check.size != o.size)
                bad(entry.name, entry.kind == zip::EntryKind::Symlink ? "the link target differs"
                                                                      : "the content differs from the file that was read");
        });
        if (authentication.joinable())
            authentication.join();
        if (!readError.empty())
            throw zip::ReadError(readError);
        if (!unauthentic.empty())
            bad(m_archiveName, "the archive cannot be read: " + unauthentic);
        for (size_t slot = 0; slot < expected.size(); ++slot)
            if (!seen[slot])
                bad(zipName(entries[expected[slot]]), "missing from the archive");
        if (!manifestSeen)
            bad(m_manifestName, "the run's manifest is missing from the archive");
    } catch (const zip::ReadError& e) {
        // The drive, not necessarily the archive: said so, yet the run is not verified.
        m_readBackError = e.what();
        bad(m_archiveName, std::string("the archive cannot be read back: ") + e.what());
    } catch (const zip::ZipError& e) {
        bad(m_archiveName, std::string("the archive cannot be read: ") + e.what());
    }
    if (!m_verified)
        m_verified = true;
}

} // namespace stowkeep::engine::detail
