// What a restore writes, and from where: the paths asked for in the run's state, every
// name checked, and each file matched to its entry in the archive that holds its version.

#include "restore/Restorer.h"

#include "run/RunSupport.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

namespace {

// "./docs//a.txt/" -> "docs/a.txt"; "" or "." -> "" (everything). An absolute path stays
// one: no path of a run matches it.
std::string normalizeAsked(const std::string& path)
{
    std::string out;
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string_view part(path.data() + start, end - start);
        if (!part.empty() && part != ".")
            out.append(out.empty() ? "" : "/").append(part);
        start = end + 1;
    }
    return !path.empty() && path.front() == '/' ? "/" + out : out;
}

// Calls f with each folder above a path, the nearest last: "a/b/c" -> "a", "a/b".
template <typename F> void forEachAncestor(std::string_view path, F&& f)
{
    for (size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1))
        f(path.substr(0, slash));
}

const char* kindWord(ManifestKind kind)
{
    return kind == ManifestKind::Symlink ? "link" : kind == ManifestKind::File ? "file" : "folder";
}

} // namespace

void Restorer::select(SetHistory::State&& state)
{
    std::vector<std::string> asked;
    bool everything = m_job.paths().empty();
    for (const auto& p : m_job.paths()) {
        std::string n = normalizeAsked(p);
        if (n.empty())
            everything = true;
        else
            asked.push_back(std::move(n));
    }
    if (everything)
        asked.clear();
    const std::unordered_set<std::string_view> askedSet(asked.begin(), asked.end());
    std::unordered_set<std::string_view> matched;
    auto isAsked = [&](std::string_view path) {
        if (everything)
            return true;
        bool found = false;
        if (askedSet.count(path)) {
            matched.insert(path);
            found = true;
        }
        forEachAncestor(path, [&](std::string_view up) {
            if (askedSet.count(up)) {
                matched.insert(up);
                found = true;
            }
        });
        return found;
    };

    auto& rows = state.rows; // moved into the items at the end
    std::unordered_map<std::string_view, ManifestKind> kinds;
    kinds.reserve(rows.size());
    for (const auto& row : rows)
        kinds.emplace(row.path, row.kind);
    // What was asked for, and the folders that hold it: they are made as the run had them.
    // Asked for everything, every row is wanted.
    std::unordered_set<std::string_view> wanted;
    if (!everything) {
        for (const auto& row : rows) {
            if (!isAsked(row.path))
                continue;
            wanted.insert(row.path);
            forEachAncestor(row.path, [&](std::string_view up) { wanted.insert(up); });
        }
    }
    // Hundreds of bytes an item: grown by doubling, the list would take twice the room.
    m_items.reserve((everything ? rows.size() : wanted.size()) + state.unsafe.size());
    std::vector<size_t> rowOf; // of each item taken from the rows
    rowOf.reserve(m_items.capacity());
    const ManifestRow* previous = nullptr;
    for (size_t r = 0; r < rows.size(); ++r) {
        const ManifestRow& row = rows[r];
        if (!everything && !wanted.count(row.path))
            continue;
        Item item;
        if (std::string why = unsafePathReason(row.path); !why.empty()) {
            item.fate = Fate::Refused;
            item.detail = why;
        } else if (row.kind == ManifestKind::Symlink && row.linkTarget.find('\0') != std::string::npos) {
            item.fate = Fate::Refused;
            item.detail = "a link whose target holds a NUL character";
        } else if (previous && previous->path == row.path) {
            item.fate = Fate::Refused;
            item.detail = "listed twice in the backup";
        } else {
            // A run made by a backup holds nothing below a link or a file: such a name is
            // made up to reach through the link.
            forEachAncestor(row.path, [&](std::string_view up) {
                const auto it = kinds.find(up);
                if (item.fate == Fate::Pending && it != kinds.end() && it->second != ManifestKind::Directory) {
                    item.fate = Fate::Refused;
                    item.detail = std::string("it lies below the ") + kindWord(it->second) + " " + std::string(up) +
                                  " of the backup";
                }
            });
        }
        m_items.push_back(std::move(item));
        rowOf.push_back(r);
        previous = &row;
    }
    for (const auto& path : state.unsafe) {
        if (!everything && !isAsked(path))
            continue;
        Item item;
        item.row.path = path;
        item.fate = Fate::Refused;
        item.detail = unsafePathReason(path);
        m_items.push_back(std::move(item));
    }
    for (const auto& a : asked)
        if (!matched.count(a))
            m_report.notInRun.push_back(a);
    // Last, as `kinds`, `wanted` and `matched` look into the rows' paths: the items take
    // their rows instead of a copy of hundreds of thousands of paths.
    for (size_t k = 0; k < rowOf.size(); ++k)
        m_items[k].row = std::move(rows[rowOf[k]]);
    // The rows come in path order: only refused paths of the manifest need a sort, which
    // would take a copy of the whole list.
    const auto byPath = [](const Item& a, const Item& b) { return a.row.path < b.row.path; };
    if (!std::is_sorted(m_items.begin(), m_items.end(), byPath))
        std::stable_sort(m_items.begin(), m_items.end(), byPath);
}

void Restorer::openArchives(PasswordBook& passwords)
{
    std::map<std::string, std::vector<size_t>> byName;
    for (size_t i = 0; i < m_items.size(); ++i) {
        Item& item = m_items[i];
        const bool needsArchive = item.fate == Fate::Pending &&
                                  ((item.row.kind == ManifestKind::File && item.row.size > 0) ||
                                   (item.row.kind == ManifestKind::Symlink && item.row.mode == 0));
        if (!needsArchive)
            continue;
        const std::string& name = item.row.archive;
        if (name.empty()) {
            item.fate = Fate::Failed;
            item.detail = "the archive that holds it is not known";
        } else if (name == "." || name == ".." || name.find('/') != std::string::npos) {
            item.fate = Fate::Failed;
            item.detail = "the backup names an invalid archive for it";
        } else {
            byName[name].push_back(i);
        }
    }
    for (auto& [name, items] : byName) {
        Archive archive;
        archive.name = name;
        archive.items = std::move(items);
        m_archives.push_back(std::move(archive));
    }
    for (size_t a = 0; a < m_archives.size(); ++a) {
        checkCancel();
        Archive& archive = m_archives[a];
        auto failAll = [&](const std::string& why) {
            for (size_t i : archive.items) {
                m_items[i].fate = Fate::Failed;
                m_items[i].detail = why;
            }
            archive.items.clear();
        };
        const std::string path = (fs::path(m_history->folder()) / archive.name).string();
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            m_missingArchives.push_back(archive.name);
            failAll("its archive " + archive.name + " is missing");
            continue;
        }
        try {
            const auto reader = passwords.open(path, archive.name);
            if (!reader->damage().empty()) {
                m_damagedArchives.push_back({archive.name, reader->damage()});
                m_log->warning("The directory of " + archive.name + " cannot be read (" + reader->damage() +
                               "); its files are looked for from their own headers.");
            }
            archive.opened = true;
            archive.encrypted = reader->encrypted();
            archive.authenticate = archive.encrypted && m_job.paths().empty();
            for (size_t i : archive.items)
                m_items[i].archive = static_cast<uint32_t>(a);
            matchEntries(archive, *reader);
        } catch (const zip::WrongPassword&) {
            m_lockedArchives.push_back(archive.name);
            failAll("no password given opens its archive " + archive.name);
        } catch (const zip::ZipError& e) {
            failAll("its archive " + archive.name + " cannot be read (" + e.what() + ")");
        }
    }
}

void Restorer::matchEntries(Archive& archive, const zip::ZipReader& reader)
{
    const auto& entries = reader.entries();
    std::unordered_map<std::string_view, size_t> byName;
    byName.reserve(entries.size());
    for (size_t n = 0; n < entries.size(); ++n)
        byName.emplace(entries[n].name, n);
    std::vector<size_t> kept;
    for (size_t i : archive.items) {
        Item& item = m_items[i];
        const auto it = byName.find(item.row.path);
        const zip::ZipEntry* entry = it == byName.end() ? nullptr : &entries[it->second];
        const auto kind = item.row.kind == ManifestKind::Symlink ? zip::EntryKind::Symlink : zip::EntryKind::File;
        if (!entry) {
            item.detail = "it is missing from its archive " + archive.name;
        } else if (entry->kind != kind && !(entry->kind == zip::EntryKind::File && !reader.damage().empty())) {
            // (found without the directory, a link reads as a file)
            item.detail = "its archive " + archive.name + " holds another kind of item under its name";
        } else if (entry->size != item.row.size || entry->crc != item.row.crc) {
            item.detail = "its archive " + archive.name + " holds another version of it";
        } else {
            item.entry = *entry;
            kept.push_back(i);
            continue;
        }
        item.fate = Fate::Failed;
        item.archive = UINT32_MAX;
    }
    archive.items = std::move(kept);
}

} // namespace stowkeep::engine::detail
