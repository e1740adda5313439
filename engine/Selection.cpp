#include "Selection.h"

#include "LongPath.h"
#include "zip/ZipWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace stowkeep::engine {

namespace fs = std::filesystem;

namespace {

size_t nextChar(std::string_view text, size_t i)
{
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        ++i;
    return i;
}

int64_t mtimeNs(const struct stat& st)
{
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

struct ExcludeMask
{
    std::string mask;
    bool pathMask = false; // contains "/": matched against the path relative to the base
    bool foldersOnly = false; // written with a trailing "/"
};

enum class ItemKind { Folder, Single, Mask };

struct IncludeItem
{
    ItemKind kind;
    fs::path root;     // Folder, Mask: the folder walked; Single: the file
    std::string mask;  // Mask
};

class Resolver
{
public:
    Resolver(const SelectionOptions& options, SelectionResult& result)
        : m_options(options), m_result(result)
    {
        for (const auto& e : options.exclude) {
            ExcludeMask m;
            m.mask = e;
            while (m.mask.size() > 1 && m.mask.back() == '/') {
                m.mask.pop_back();
                m.foldersOnly = true;
            }
            if (!m.mask.empty() && m.mask.front() == '/')
                m.mask.erase(0, 1);
            if (m.mask.empty())
                continue;
            m.pathMask = m.mask.find('/') != std::string::npos;
            m_excludes.push_back(std::move(m));
        }
        for (const auto& own : options.ownFolders) {
            struct stat st {};
            if (!own.empty() && ::stat(own.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                m_own.insert({st.st_dev, st.st_ino});
        }
    }

    void run()
    {
        std::vector<IncludeItem> items;
        for (const auto& text : m_options.include) {
            if (text.empty() || text.front() != '/')
                throw std::invalid_argument("The include item \"" + text + "\" is not an absolute path");
            const size_t slash = text.rfind('/');
            fs::path folder = fs::path(slash == 0 ? std::string("/") : text.substr(0, slash)).lexically_normal();
            const std::string last = text.substr(slash + 1);
            struct stat st {};
            if (last.empty()) {
                items.push_back({ItemKind::Folder, folder, {}});
            } else if (::stat((folder / last).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                items.push_back({ItemKind::Folder, (folder / last).lexically_normal(), {}});
            } else if (::lstat((folder / last).c_str(), &st) == 0) {
                items.push_back({ItemKind::Single, (folder / last).lexically_normal(), {}});
            } else {
                items.push_back({ItemKind::Mask, folder, last});
            }
        }

        for (const auto& item : items) {
            if (item.kind == ItemKind::Single)
                continue;
            struct stat st {};
            if (statLong(item.root.string(), &st) != 0 || !S_ISDIR(st.st_mode))
                m_result.missingSources.push_back(item.root.string());
            else
                m_result.folders.push_back({item.root.string(), static_cast<uint64_t>(st.st_dev),
                                            static_cast<uint64_t>(st.st_ino)});
        }
        if (!m_result.missingSources.empty() || items.empty())
            return;

        m_result.base = commonBase(items);
        for (const auto& item : items)
            resolveItem(item);

        sortByName();
        addMissingParents();
        // The list lives as long as the run: without the slack of its growth.
        m_result.entries.shrink_to_fit();
    }

private:
    static fs::path commonBase(const std::vector<IncludeItem>& items)
    {
        std::vector<fs::path> bases;
        for (const auto& item : items)
            bases.push_back(item.kind == ItemKind::Single ? item.root.parent_path() : item.root);
        fs::path base;
        std::vector<std::string> common(bases.front().begin(), bases.front().end());
        for (size_t i = 1; i < bases.size(); ++i) {
            std::vector<std::string> parts(bases[i].begin(), bases[i].end());
            size_t n = 0;
            while (n < common.size() && n < parts.size() && common[n] == parts[n])
                ++n;
            common.resize(n);
        }
        for (const auto& part : common)
            base /= part;
        return base.empty() ? fs::path("/") : base;
    }

    std::string relativeName(const fs::path& path) const
    {
        const std::string rel = path.lexically_relative(m_result.base).generic_string();
        return rel == "." ? std::string() : rel;
    }

    bool excluded(const std::string& rel, std::string_view name, bool isDir) const
    {
        for (const auto& e : m_excludes) {
            if (e.foldersOnly && !isDir)
                continue;
            if (e.pathMask ? matchMask(e.mask, rel, true) : matchMask(e.mask, name))
                return true;
        }
        return false;
    }

    void checkCancel()
    {
        if (++m_visited % 256 == 0 && m_options.cancelled && m_options.cancelled())
            throw zip::Cancelled();
    }

    // Adds a file, link or folder found at path to `out` (the result, or a walker's share
    // of it); false for the kinds that are never stored.
    bool addEntry(const std::string& rel, const std::string& path, const struct stat& st)
    {
        return addEntry(rel, path, st, m_result);
    }

    bool addEntry(const std::string& rel, const std::string& path, const struct stat& st, SelectionResult& out)
    {
        SelectedEntry e;
        e.name = rel;
        e.mode = st.st_mode;
        e.mtimeNs = mtimeNs(st);
        e.device = static_cast<uint64_t>(st.st_dev);
        e.inode = static_cast<uint64_t>(st.st_ino);
        if (S_ISREG(st.st_mode)) {
            e.kind = SelectedKind::File;
            e.size = static_cast<uint64_t>(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = SelectedKind::Directory;
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = SelectedKind::Symlink;
            std::string target(static_cast<size_t>(std::max<off_t>(st.st_size, 0)) + 256, '\0');
            const ssize_t n = readlinkLong(path, target.data(), target.size());
            if (n < 0) {
                out.unreadable.push_back(path + ": " + std::strerror(errno));
                return true;
            }
            target.resize(static_cast<size_t>(n));
            e.linkTarget = std::move(target);
            e.size = e.linkTarget.size();
        } else {
            out.skippedSpecial.push_back(path);
            return false;
        }
        if (!rel.empty())
            out.entries.push_back(std::move(e));
        return true;
    }

    void resolveItem(const IncludeItem& item)
    {
        if (item.kind == ItemKind::Single) {
            struct stat st {};
            if (lstatLong(item.root.string(), &st) != 0) {
                m_result.unreadable.push_back(item.root.string() + ": " + std::strerror(errno));
                return;
            }
            const std::string rel = relativeName(item.root);
            if (!excluded(rel, item.root.filename().string(), false))
                addEntry(rel, item.root.string(), st);
            return;
        }
        if (isOwn(item.root)) {
            m_result.skippedOwn.push_back(item.root.string());
            return;
        }
        const std::string rel = relativeName(item.root);
        if (item.kind == ItemKind::Folder && !rel.empty()) {
            struct stat st {};
            if (statLong(item.root.string(), &st) == 0)
                addEntry(rel, item.root.string(), st);
        }
        walkTree(item.root.string(), rel, item);
    }

    bool isOwn(const fs::path& dir) const
    {
        struct stat st {};
        return !m_own.empty() && statLong(dir.string(), &st) == 0 && m_own.count({st.st_dev, st.st_ino});
    }

    // A subfolder is never a link: one put in its place is not followed. The source folder
    // itself may be reached through one.
    static DIR* openFolder(const std::string& path, bool subfolder)
    {
        const int fd = openLong(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (subfolder ? O_NOFOLLOW : 0));
        if (fd < 0)
            return nullptr;
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            const int error = errno;
            ::close(fd);
            errno = error;
        }
        return dir;
    }

    struct Folder
    {
        std::string path;
        std::string rel;
        dev_t device = 0; // as it was listed in its parent (0: not known)
        ino_t inode = 0;
    };

    // Walks the tree below root on two threads, this one and a helper: each lists and
    // examines whole folders, taking the next from a shared stack, and keeps what it finds
    // apart; the helper's share joins the result at the end (the entries are sorted later).
    void walkTree(const std::string& root, const std::string& rel, const IncludeItem& item)
    {
        std::vector<Folder> todo {{root, rel, 0, 0}};
        std::mutex mutex;
        std::condition_variable changed;
        int busy = 0;
        std::atomic<bool> stop = false;
        std::exception_ptr failure;
        auto work = [&](SelectionResult& out, bool here) {
            std::unique_lock lock(mutex);
            for (;;) {
                changed.wait(lock, [&] { return stop || !todo.empty() || busy == 0; });
                if (stop || todo.empty())
                    return;
                const Folder folder = std::move(todo.back());
                todo.pop_back();
                ++busy;
                lock.unlock();
                std::vector<Folder> found;
                try {
                    listFolder(folder, item, out, found, here ? nullptr : &stop);
                } catch (...) {
                    lock.lock();
                    if (!failure)
                        failure = std::current_exception();
                    stop = true;
                    --busy;
                    changed.notify_all();
                    return;
                }
                lock.lock();
                --busy;
                // The first subfolder on top: each thread goes on depth-first, near its last folder.
                std::move(found.rbegin(), found.rend(), std::back_inserter(todo));
                changed.notify_all();
            }
        };
        const size_t listed[] = {m_result.skippedSpecial.size(), m_result.skippedOwn.size(),
                                 m_result.unreadable.size(), m_result.unlistedFolders.size()};
        SelectionResult helperFound;
        std::thread helper;
        try {
            helper = std::thread([&] { work(helperFound, false); });
        } catch (const std::system_error&) {
            // No thread to be had: this one walks alone.
        }
        work(m_result, true);
        if (helper.joinable())
            helper.join();
        if (failure)
            std::rethrow_exception(failure);
        std::move(helperFound.entries.begin(), helperFound.entries.end(), std::back_inserter(m_result.entries));
        // The paths this walk met, in the same order however the threads shared it.
        int i = 0;
        for (auto list : {&SelectionResult::skippedSpecial, &SelectionResult::skippedOwn, &SelectionResult::unreadable,
                          &SelectionResult::unlistedFolders}) {
            std::vector<std::string>& to = m_result.*list;
            std::vector<std::string>& from = helperFound.*list;
            std::move(from.begin(), from.end(), std::back_inserter(to));
            std::sort(to.begin() + static_cast<std::ptrdiff_t>(listed[i++]), to.end());
        }
    }

    // Lists one folder: its entries go to `out`, its subfolders to `subfolders`. On the
    // helper thread, `stop` ends it early (the run was cancelled or the other thread failed).
    void listFolder(const Folder& folder, const IncludeItem& item, SelectionResult& out,
                    std::vector<Folder>& subfolders, const std::atomic<bool>* stop)
    {
        const std::string& dirPath = folder.path;
        const std::string& rel = folder.rel;
        // Closed however the listing ends: a cancelled run throws from inside it.
        const std::unique_ptr<DIR, int (*)(DIR*)> guard(openFolder(dirPath, folder.inode != 0), ::closedir);
        DIR* dir = guard.get();
        if (!dir) {
            if (errno != ENOENT) {
                out.unreadable.push_back(dirPath + ": " +
                                         (errno == ELOOP ? "it was replaced by a link" : std::strerror(errno)));
                out.unlistedFolders.push_back(dirPath);
            }
            return;
        }
        // A folder on the way replaced by a link since its parent was listed leads elsewhere.
        // (Another device is no sign of that: a folder that is mounted when opened shows so.)
        struct stat opened {};
        if (folder.inode != 0 && (::fstat(::dirfd(dir), &opened) != 0 ||
                                  (opened.st_dev == folder.device && opened.st_ino != folder.inode))) {
            out.unreadable.push_back(dirPath + ": it was replaced while it was being listed");
            out.unlistedFolders.push_back(dirPath);
            return;
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
                names.emplace_back(d->d_name);
        }
        const int readError = errno;
        const int fd = ::dirfd(dir);
        std::sort(names.begin(), names.end());
        if (readError != 0) {
            out.unreadable.push_back(dirPath + ": " + std::strerror(readError));
            out.unlistedFolders.push_back(dirPath);
        }

        size_t examined = 0;
        for (const auto& name : names) {
            if (!stop)
                checkCancel();
            else if (++examined % 256 == 0 && *stop)
                throw zip::Cancelled();
            struct stat st {};
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    out.unreadable.push_back(dirPath + "/" + name + ": " + std::strerror(errno));
                continue;
            }
            const std::string childRel = rel.empty() ? name : rel + "/" + name;
            std::string childPath = dirPath == "/" ? "/" + name : dirPath + "/" + name;
            const bool isDir = S_ISDIR(st.st_mode);
            if (excluded(childRel, name, isDir))
                continue;
            const bool named = item.kind == ItemKind::Folder || matchMask(item.mask, name);
            if (isDir) {
                if (!m_own.empty() && m_own.count({st.st_dev, st.st_ino})) {
                    out.skippedOwn.push_back(childPath);
                    continue;
                }
                if (named)
                    addEntry(childRel, childPath, st, out);
                subfolders.push_back({std::move(childPath), childRel, st.st_dev, st.st_ino});
            } else if (named) {
                addEntry(childRel, childPath, st, out);
            }
        }
    }

    // Sorts the entries by name in place (they are the one list of the run, and large); of
    // entries with the same name, the one added last stays.
    void sortByName()
    {
        auto& entries = m_result.entries;
        std::vector<uint32_t> order(entries.size());
        for (uint32_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&entries](uint32_t a, uint32_t b) { return entries[a].name < entries[b].name; });
        // Moves entries[order[i]] to position i, cycle by cycle.
        for (uint32_t i = 0; i < order.size(); ++i) {
            if (order[i] == i)
                continue;
            SelectedEntry held = std::move(entries[i]);
            uint32_t to = i;
            for (;;) {
                const uint32_t from = order[to];
                order[to] = to;
                if (from == i) {
                    entries[to] = std::move(held);
                    break;
                }
                entries[to] = std::move(entries[from]);
                to = from;
            }
        }
        size_t kept = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i + 1 < entries.size() && entries[i + 1].name == entries[i].name)
                continue;
            if (kept != i)
                entries[kept] = std::move(entries[i]);
            ++kept;
        }
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
    }

    bool selected(const std::string& name) const
    {
        const auto& entries = m_result.entries;
        const auto it = std::lower_bound(entries.begin(), entries.end(), name,
                                         [](const SelectedEntry& e, const std::string& n) { return e.name < n; });
        return it != entries.end() && it->name == name;
    }

    // A folder holding a selected entry has an entry of its own. The entries are sorted.
    void addMissingParents()
    {
        std::vector<std::string> missing;
        std::string last;
        for (const auto& entry : m_result.entries) {
            const std::string& name = entry.name;
            for (size_t pos = name.rfind('/'); pos != std::string::npos && pos > 0; pos = name.rfind('/', pos - 1)) {
                const std::string parent = name.substr(0, pos);
                if (parent == last || selected(parent))
                    break;
                missing.push_back(parent);
                last = parent;
            }
        }
        if (missing.empty())
            return;
        std::sort(missing.begin(), missing.end());
        missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
        for (const auto& parent : missing) {
            const fs::path path = m_result.base / parent;
            struct stat st {};
            if (statLong(path.string(), &st) == 0 && S_ISDIR(st.st_mode))
                addEntry(parent, path.string(), st);
        }
        sortByName();
    }

    const SelectionOptions& m_options;
    SelectionResult& m_result;
    std::vector<ExcludeMask> m_excludes;
    std::set<std::pair<dev_t, ino_t>> m_own;
    uint64_t m_visited = 0;
};

} // namespace

bool matchMask(std::string_view mask, std::string_view text, bool stopAtSlash)
{
    size_t m = 0;
    size_t t = 0;
    size_t starMask = std::string_view::npos;
    size_t starText = 0;
    while (t < text.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starText = t;
            continue;
        }
        if (m < mask.size() && mask[m] == '?' && !(stopAtSlash && text[t] == '/')) {
            ++m;
            t = nextChar(text, t);
            continue;
        }
        if (m < mask.size() && mask[m] != '?' && mask[m] == text[t]) {
            ++m;
            ++t;
            continue;
        }
        if (starMask != std::string_view::npos && !(stopAtSlash && text[starText] == '/')) {
            m = starMask + 1;
            starText = nextChar(text, starText);
            t = starText;
            continue;
        }
        return false;
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

std::string SelectionResult::pathOf(const SelectedEntry& e) const
{
    std::string path = base.string();
    if (e.name.empty())
        return path;
    if (path.back() != '/')
        path += '/';
    return path += e.name;
}

SelectionResult resolveSelection(const SelectionOptions& options)
{
    SelectionResult result;
    Resolver(options, result).run();
    return result;
}

} // namespace stowkeep::engine
