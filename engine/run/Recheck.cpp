// An incremental run trusts the archives it builds on only after looking at them: each
// must be there with its recorded size and a readable list of entries that holds what
// the run keeps from it. With verification on, runs also read a share of the set's older
// archives again whole, so that damage that comes later (a failing drive) is found while
// newer runs can still make up for it.

#include "Run.h"

#include "RunSupport.h"
#include "zip/ZipReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <unordered_map>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

namespace {

// Every archive the set needs is read again within this much time, whatever the
// schedule: a run reads the share of them that the time since the last such run stands
// for. So an hourly run reads a little each time, and a 100 GB full backup is read again
// about once in three weeks, in the one run whose saved-up share covers it.
constexpr int64_t kRecheckCycle = 21 * 24 * 3600;

uint64_t archiveSize(const RunRecord& run, const std::string& path)
{
    if (run.bytesWritten > 0)
        return run.bytesWritten;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

} // namespace

std::string Run::baseProblem()
{
    const auto runs = withCatalog([this] { return m_catalog->runs(m_job.backupSetName(), m_folder); });
    // Per archive, the selected entries whose content this run would take from it.
    std::vector<std::vector<size_t>> kept(m_archives.size());
    for (size_t i = 0; i < m_outcomes.size(); ++i)
        if (m_outcomes[i].same && m_outcomes[i].archive > 0)
            kept[m_outcomes[i].archive].push_back(i);
    for (size_t k = 1; k < m_archives.size(); ++k) {
        if (kept[k].empty())
            continue;
        const std::string& name = m_archives[k];
        const std::string path = (fs::path(m_folder) / name).string();
        const std::string label = "the earlier backup " + path;
        const auto run = std::find_if(runs.begin(), runs.end(), [&](const RunRecord& r) { return r.archive == name; });
        if (run == runs.end())
            return label + " is not in the catalog";
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return label + " is missing";
        if (run->bytesWritten > 0 && static_cast<uint64_t>(st.st_size) != run->bytesWritten)
            return label + " has changed size (" + std::to_string(run->bytesWritten) + " bytes recorded, " +
                   std::to_string(st.st_size) + " now)";
        if (run->verified == false)
            return label + " failed its last verification";
        try {
            const zip::ZipReader reader(path, m_job.encryptionPassword(), zip::ZipReader::Authentication::OnRequest);
            // A password set since: what this run writes is not to rest on an archive anyone can read.
            if (!reader.encrypted() && !m_job.encryptionPassword().empty())
                return label + " is not encrypted, and this job has a password now";
            std::unordered_map<std::string_view, const zip::ZipEntry*> byName;
            byName.reserve(reader.entries().size());
            for (const auto& entry : reader.entries())
                byName.emplace(entry.name, &entry);
            for (const size_t i : kept[k]) {
                const SelectedEntry& e = m_selection.entries[i];
                const Outcome& o = m_outcomes[i];
                const auto it = byName.find(zipName(e));
                if (it == byName.end())
                    return label + " does not hold " + e.name + " any more";
                if (e.kind != SelectedKind::Directory && (it->second->crc != o.crc || it->second->size != o.size))
                    return label + " holds another version of " + e.name + " than the catalog records";
            }
        } catch (const zip::WrongPassword&) {
            return label + " cannot be opened with this job's password";
        } catch (const zip::ZipError& e) {
            return label + " cannot be read (" + e.what() + ")";
        }
    }
    return {};
}

// The archives read again: those this run builds on, and those of the set that were never
// verified (made while verification was off, or taken in from the folder), oldest
// verification first.
std::string Run::recheck()
{
    std::string damage;
    std::vector<std::string> notices;
    withCatalog([&] {
        damage.clear();
        notices.clear();
        m_rechecked.clear();
        const auto runs = m_catalog->runs(m_job.backupSetName(), m_folder);
        std::set<std::string> building;
        if (m_archives.size() > 1)
            building.insert(m_archives.begin() + 1, m_archives.end());
        struct Candidate
        {
            const RunRecord* run;
            std::string path;
            uint64_t size;
        };
        std::vector<Candidate> queue;
        uint64_t total = 0;
        for (const auto& r : runs) {
            if (r.archive.empty() || r.verified == false || (r.verified && !building.count(r.archive)))
                continue;
            const std::string path = (fs::path(m_folder) / r.archive).string();
            if (::access(path.c_str(), F_OK) != 0)
                continue;
            queue.push_back({&r, path, archiveSize(r, path)});
            total += queue.back().size;
        }
        std::stable_sort(queue.begin(), queue.end(), [](const Candidate& a, const Candidate& b) {
            return a.run->checked.value_or(INT64_MIN) < b.run->checked.value_or(INT64_MIN);
        });

        auto budget = m_catalog->recheckBudget(m_job.backupSetName(), m_folder);
        if (budget.time) {
            const int64_t elapsed = std::clamp<int64_t>(m_startTime - *budget.time, 0, kRecheckCycle);
            budget.bytes += static_cast<uint64_t>(static_cast<long double>(total) * elapsed / kRecheckCycle);
        }
        budget.bytes = std::min(budget.bytes, total);
        budget.time = m_startTime;
        for (const auto& c : queue) {
            if (c.size > budget.bytes)
                break;
            checkCancel();
            std::optional<std::string> why;
            try {
                why = recheckArchive(*c.run);
            } catch (const zip::ReadError& e) {
                // Its drive failed, not the archive: nothing is recorded of it, and this run
                // does not build on it.
                m_log->warning("Could not read " + c.path + " again: " + e.what() + ".");
                if (!building.count(c.run->archive))
                    notices.push_back("Checking the earlier backup " + c.path + " again, it could not be read (" +
                                      e.what() + ").");
                else if (damage.empty())
                    damage = "the earlier backup " + c.path + " could not be read (" + e.what() + ")";
                continue;
            }
            if (!why) {
                m_log->warning("Could not check " + c.path + " again: this job's password does not open it.");
                continue;
            }
            budget.bytes -= c.size;
            m_catalog->noteVerification(c.run->id, why->empty(), m_startTime);
            if (why->empty()) {
                m_rechecked.push_back(c.run->archive);
                m_log->file("Checked " + c.path + " again: it is whole.");
                continue;
            }
            m_log->error("Checked " + c.path + " again: it is damaged (" + *why + ").");
            if (building.count(c.run->archive)) {
                if (damage.empty())
                    damage = "the earlier backup " + c.path + " is damaged (" + *why + ")";
            } else {
                notices.push_back("Checking the earlier backup " + c.path + " again found it damaged (" + *why + ").");
            }
        }
        m_catalog->setRecheckBudget(m_job.backupSetName(), m_folder, budget);
    });
    m_notices.insert(m_notices.end(), notices.begin(), notices.end());
    return damage;
}

std::optional<std::string> Run::recheckArchive(const RunRecord& run)
{
    const std::string path = (fs::path(m_folder) / run.archive).string();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::string("it is missing");
    if (run.bytesWritten > 0 && static_cast<uint64_t>(st.st_size) != run.bytesWritten)
        return "its size changed from " + std::to_string(run.bytesWritten) + " to " + std::to_string(st.st_size) +
               " bytes";
    try {
        zip::ZipReader reader(path, m_job.encryptionPassword());
        if (m_impl.readFault)
            reader.setReadFault(m_impl.readFault);
        reader.setCancel([this] { return cancelled(); });
        std::vector<size_t> which;
        for (size_t i = 0; i < reader.entries().size(); ++i)
            if (reader.entries()[i].kind != zip::EntryKind::Directory)
                which.push_back(i);
        std::string damage;
        reader.checkAll(which, [&](size_t n, const zip::ZipReader::Check& check) {
            checkCancel();
            if (damage.empty() && !check.error.empty())
                damage = reader.entries()[n].name + ": " + check.error;
        });
        if (!damage.empty())
            return damage;
        // Archives of the version before manifests have none; a damaged one throws.
        readManifest(reader, run.archive);
    } catch (const zip::WrongPassword&) {
        return std::nullopt;
    } catch (const zip::ReadError&) {
        throw;
    } catch (const zip::ZipError& e) {
        return std::string(e.what());
    } catch (const ManifestError& e) {
        return std::string("its list of files is damaged: ") + e.what();
    }
    return std::string();
}

} // namespace stowkeep::engine::detail
