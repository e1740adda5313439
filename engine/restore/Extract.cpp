// The folders first, then the files and links of each archive, inflated and written by
// workers on every core (each into a temporary file in its folder, renamed into place),
// then the folders' modes and times, deepest first, so that writing into them changes
// neither.

#include "restore/Restorer.h"

#include "run/RunSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <thread>

namespace stowkeep::engine::detail {

namespace fs = std::filesystem;

namespace {

// Files go to the workers in batches of one folder: one walk to the folder per batch, and
// the two workers mostly in different folders (the folder is locked while a name is added).
constexpr size_t kBatchFiles = 256;
constexpr uint64_t kBatchBytes = uint64_t{4} << 20;

std::string_view parentOf(std::string_view path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view nameOf(std::string_view path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Errors after which no other file can be written either.
bool stopsEverything(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EROFS || error == EIO;
}

// A path as drives that do not tell upper from lower case (exFAT, FAT, NTFS) compare it:
// each letter of Unicode's first plane in upper case, as their tables hold it. Bytes that
// are not UTF-8 stay as they are (and, without the C.UTF-8 locale, all but ASCII).
std::string foldedCase(std::string_view path)
{
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t {});
    std::string folded;
    folded.reserve(path.size());
    for (size_t i = 0; i < path.size();) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (byte < 0x80) {
            folded += static_cast<char>(byte >= 'a' && byte <= 'z' ? byte - 'a' + 'A' : byte);
            ++i;
            continue;
        }
        const size_t length = (byte & 0xe0) == 0xc0 ? 2 : (byte & 0xf0) == 0xe0 ? 3 : 0;
        char32_t c = length == 2 ? byte & 0x1f : byte & 0x0f;
        bool valid = utf8 && length > 0 && i + length <= path.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(path[i + k]);
            valid = (next & 0xc0) == 0x80;
            c = c << 6 | (next & 0x3f);
        }
        if (!valid || (length == 2 && c < 0x80) || (length == 3 && (c < 0x800 || (c >= 0xd800 && c < 0xe000)))) {
            folded += path[i++]; // not UTF-8 (four-byte letters are left as they are too)
            continue;
        }
        if (const auto upper = static_cast<char32_t>(::towupper_l(static_cast<wint_t>(c), utf8)); upper <= 0xffff)
            c = upper;
        if (c < 0x80) {
            folded += static_cast<char>(c);
        } else if (c < 0x800) {
            folded += static_cast<char>(0xc0 | c >> 6);
            folded += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            folded += static_cast<char>(0xe0 | c >> 12);
            folded += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            folded += static_cast<char>(0x80 | (c & 0x3f));
        }
        i += length;
    }
    return folded;
}

// Whether the folder, which finds an item at name, lists none under that very name.
bool takenInOtherCase(int folder, const std::string& name)
{
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    bool listed = false;
    while (const dirent* entry = ::readdir(dir))
        if (name == entry->d_name) {
            listed = true;
            break;
        }
    ::closedir(dir);
    return !listed;
}

std::string sameNameText(const std::string& twin)
{
    return "this drive does not tell upper from lower case, and " + twin +
           " of the backup, restored already, has the same name there";
}

} // namespace

bool Restorer::blockedAbove(std::string_view path)
{
    for (size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
        const auto it = m_blocked.find(path.substr(0, slash));
        if (it != m_blocked.end()) {
            ++it->second.below;
            return true;
        }
    }
    return false;
}

void Restorer::block(const std::string& path, Fate fate, std::string detail, bool isItem)
{
    m_blocked[path] = Block {fate, std::move(detail), 0, isItem};
}

void Restorer::makeFolders()
{
    try {
        m_target = std::make_unique<TargetFolder>(m_job.targetFolder());
    } catch (const TargetError& e) {
        // A sentence of its own in the restore's summary.
        const bool sentence = !e.text.empty() && e.text.back() == '.';
        throw RunFailure {e.error == EINVAL ? InvalidJob : CannotWriteTarget, sentence ? e.text : e.text + "."};
    }
    std::set<std::string, std::less<>> made;
    std::set<std::string, std::less<>> ready; // folders there or made
    for (Item& item : m_items) {
        if (item.fate != Fate::Pending)
            continue;
        checkCancel();
        if (blockedAbove(item.row.path)) {
            item.fate = Fate::Below;
            continue;
        }
        const bool isFolder = item.row.kind == ManifestKind::Directory;
        const std::string path(isFolder ? std::string_view(item.row.path) : parentOf(item.row.path));
        if (path.empty() || ready.count(path))
            continue;
        TargetFolder::Stop stop;
        if (m_target->openFolder(path, true, 0700, stop, [&made](const std::string& p) { made.insert(p); })) {
            ready.insert(path);
            if (isFolder)
                item.fate = made.count(path) ? Fate::Made : Fate::Merged;
            continue;
        }
        Fate fate = Fate::Failed;
        std::string detail;
        if (stop.found == Found::Link && stop.at != path) {
            fate = Fate::Refused;
            detail = "it passes through the link " + stop.at + " in the target folder";
        } else if (stop.found != Found::Nothing) {
            fate = Fate::InTheWay;
            detail = std::string(foundText(stop.found)) + " is in the way" + (stop.at == path ? "" : " at " + stop.at);
        } else {
            detail = "the folder " + (stop.at.empty() ? m_target->path() : stop.at) +
                     " cannot be made: " + std::strerror(stop.error);
        }
        block(path, fate, detail, isFolder);
        if (isFolder) {
            item.fate = fate;
            item.detail = std::move(detail);
        } else {
            item.fate = Fate::Below;
            ++m_blocked[path].below;
        }
    }
    std::set<std::string_view> folderItems;
    for (const Item& item : m_items)
        if (item.row.kind == ManifestKind::Directory)
            folderItems.insert(item.row.path);
    for (const auto& path : made)
        if (!folderItems.count(path))
            m_madeFolders.push_back(path);
    m_freshFolders = std::move(made);
}

void Restorer::extract(PasswordBook& passwords)
{
    std::vector<size_t> loose; // need no archive: empty files, links whose target the run lists
    for (size_t i = 0; i < m_items.size(); ++i) {
        const Item& item = m_items[i];
        if (item.fate != Fate::Pending || item.row.kind == ManifestKind::Directory)
            continue;
        ++m_progress.filesTotal;
        m_progress.bytesTotal += item.row.size;
        if (item.archive == UINT32_MAX)
            loose.push_back(i);
    }
    reportProgress();
    extractGroup(loose, nullptr, nullptr);
    for (Archive& archive : m_archives) {
        if (m_stop)
            break;
        if (archive.items.empty())
            continue;
        std::unique_ptr<zip::ZipReader> reader;
        try {
            reader = passwords.open((fs::path(m_history->folder()) / archive.name).string(), archive.name);
        } catch (const zip::ZipError& e) {
            for (size_t i : archive.items) {
                m_items[i].fate = Fate::Failed;
                m_items[i].detail = "its archive " + archive.name + " cannot be read (" + e.what() + ")";
            }
            continue;
        }
        if (m_state.readFault)
            reader->setReadFault(m_state.readFault);
        extractGroup(archive.items, reader.get(), &archive);
    }
    checkCancel();
}

void Restorer::extractGroup(const std::vector<size_t>& items, const zip::ZipReader* reader, Archive* archive)
{
    struct Batch
    {
        std::string_view folder;
        size_t begin = 0;
        size_t end = 0;
    };
    std::vector<size_t> order;
    for (size_t i : items)
        if (m_items[i].fate == Fate::Pending)
            order.push_back(i);
    std::sort(order.begin(), order.end(), [this](size_t a, size_t b) {
        const std::string_view pa = parentOf(m_items[a].row.path), pb = parentOf(m_items[b].row.path);
        return pa != pb ? pa < pb : m_items[a].row.path < m_items[b].row.path;
    });
    std::vector<Batch> batches;
    uint64_t batchBytes = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        const std::string_view folder = parentOf(m_items[order[k]].row.path);
        if (batches.empty() || batches.back().folder != folder || batches.back().end - batches.back().begin >= kBatchFiles ||
            batchBytes >= kBatchBytes) {
            batches.push_back({folder, k, k});
            batchBytes = 0;
        }
        ++batches.back().end;
        batchBytes += m_items[order[k]].row.size;
    }
    if (batches.empty())
        return;

    std::atomic<size_t> next {0};
    std::mutex mutex;
    std::condition_variable finishedOne;
    unsigned finished = 0;
    std::exception_ptr failure;
    auto work = [&] {
        try {
            for (size_t b; !m_stop && (b = next.fetch_add(1)) < batches.size();) {
                const Batch& batch = batches[b];
                TargetFolder::Stop stop;
                const Fd folder = m_target->openFolder(batch.folder, false, 0, stop);
                const bool fresh = m_freshFolders.count(batch.folder) != 0;
                for (size_t k = batch.begin; k < batch.end && !m_stop; ++k) {
                    Item& item = m_items[order[k]];
                    if (!folder) {
                        item.fate = stop.found == Found::Link ? Fate::Refused : Fate::Failed;
                        item.detail = stop.found == Found::Link
                                          ? "it passes through the link " + stop.at + " in the target folder"
                                          : "its folder cannot be opened: " + std::string(std::strerror(stop.error));
                    } else {
                        restoreItem(item, folder.get(), fresh, reader);
                    }
                    ++m_filesDone;
                }
            }
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!failure)
                failure = std::current_exception();
            m_stop = true;
        }
        std::lock_guard lock(mutex);
        ++finished;
        finishedOne.notify_all();
    };

    std::string authError;
    bool authDone = false;
    std::thread auth;
    std::vector<std::thread> pool;
    // More workers than this mostly wait for the folders' locks.
    constexpr size_t kMaxWorkers = 8;
    const unsigned threads = static_cast<unsigned>(
        std::clamp<size_t>(std::thread::hardware_concurrency(), 1, std::min(batches.size(), kMaxWorkers)));
    try {
        if (archive && archive->authenticate)
            auth = std::thread([&] {
                try {
                    reader->authenticate([this] { return m_stop.load() || cancelled(); });
                    authDone = true;
                } catch (const zip::Cancelled&) {
                } catch (const zip::ReadError& e) {
                    stopReading(e);
                } catch (const std::exception& e) {
                    authError = e.what();
                }
            });
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back(work);
    } catch (...) {
        m_stop = true;
        for (auto& t : pool)
            t.join();
        if (auth.joinable())
            auth.join();
        throw;
    }
    auto joinAll = [&] {
        for (auto& t : pool)
            t.join();
        if (auth.joinable())
            auth.join();
    };
    try {
        std::unique_lock lock(mutex);
        while (finished < pool.size()) {
            finishedOne.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            if (cancelled())
                m_stop = true;
            reportProgress();
            lock.lock();
        }
    } catch (...) {
        // The caller's progress handler threw: the workers stop before it goes on.
        m_stop = true;
        joinAll();
        throw;
    }
    joinAll();
    if (failure)
        std::rethrow_exception(failure);
    if (archive && archive->authenticate) {
        if (authDone)
            m_report.authenticated.push_back(archive->name);
        else if (!authError.empty())
            m_unauthentic.push_back(archive->name + " (" + authError + ")");
    }
}

void Restorer::stopReading(const zip::ReadError& e)
{
    std::lock_guard lock(m_mutex);
    if (!m_readError)
        m_readError = e.what();
    m_stop = true;
}

std::string Restorer::placedAt(int folder, std::string_view path, const std::string& name)
{
    const std::string_view parent = parentOf(path);
    const std::string folded = foldedCase(std::string(parent) + (parent.empty() ? "" : "/") + name);
    std::string twin;
    {
        std::lock_guard lock(m_mutex);
        const auto [first, last] = m_placed.equal_range(std::hash<std::string> {}(folded));
        for (auto it = first; it != last && twin.empty(); ++it)
            if (const std::string& other = m_items[it->second].row.path; other != path && foldedCase(other) == folded)
                twin = other;
    }
    // Listed under that very name, it is something else: the drive tells the cases apart.
    return !twin.empty() && takenInOtherCase(folder, name) ? twin : std::string();
}

void Restorer::notePlaced(const Item& item)
{
    const size_t hash = std::hash<std::string> {}(foldedCase(item.row.path));
    std::lock_guard lock(m_mutex);
    m_placed.emplace(hash, static_cast<size_t>(&item - m_items.data()));
}

void Restorer::restoreItem(Item& item, int folder, bool fresh, const zip::ZipReader* reader)
{
    const ManifestRow& row = item.row;
    const std::string name(nameOf(row.path));
    const bool isLink = row.kind == ManifestKind::Symlink;
    {
        std::lock_guard lock(m_mutex);
        m_progress.currentFile = row.path;
    }
    uint64_t written = 0;
    try {
        const std::string target = !isLink ? std::string() : row.mode != 0 ? row.linkTarget
                                                                             : reader->readLinkTarget(item.entry);
        if (target.find('\0') != std::string::npos)
            throw zip::ZipError("its link target holds a NUL character");
        struct stat st {};
        Found found = Found::Nothing;
        // In a folder this restore made, nothing was there to look for (should another
        // program put something there meanwhile, place() finds it).
        if (!fresh && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            found = S_ISREG(st.st_mode) ? Found::File : S_ISDIR(st.st_mode) ? Found::Folder
                                                    : S_ISLNK(st.st_mode)   ? Found::Link
                                                                            : Found::Other;
        const Found wanted = isLink ? Found::Link : Found::File;
        const ExistingFiles existing = m_job.existingFiles();
        std::string placeName = name;
        // Never skipped for, nor replaced by, another item of this backup.
        const std::string twin = found == Found::Nothing ? std::string() : placedAt(folder, row.path, name);
        if (!twin.empty() && existing != ExistingFiles::KeepBoth) {
            item.fate = Fate::Failed;
            item.detail = sameNameText(twin);
        } else if (!twin.empty()) {
            placeName = restoredName(name, 1);
        } else if (found != Found::Nothing && found != wanted) {
            item.fate = Fate::InTheWay;
            item.detail = std::string(foundText(found)) + " is in the way";
        } else if (found != Found::Nothing && existing == ExistingFiles::Skip) {
            item.fate = Fate::Skipped;
            item.detail = "it exists";
        } else if (found != Found::Nothing && existing == ExistingFiles::KeepBoth) {
            // A copy of what is there already would only be clutter.
            char link[4096];
            const ssize_t n = isLink ? ::readlinkat(folder, name.c_str(), link, sizeof link) : -1;
            const bool same = isLink ? n >= 0 && std::string_view(link, static_cast<size_t>(n)) == target
                                     : static_cast<uint64_t>(st.st_size) == row.size &&
                                           static_cast<int64_t>(st.st_mtim.tv_sec) == floorSeconds(row.mtimeNs);
            if (same) {
                item.fate = Fate::Skipped;
                item.detail = "it is there as in the backup";
            }
            placeName = restoredName(name, 1);
        }
        if (item.fate == Fate::Pending) {
            const bool replace = found != Found::Nothing && existing == ExistingFiles::Replace;
            TempItem temp(folder, m_state.writeFault);
            if (isLink) {
                temp.createLink(target);
            } else {
                temp.createFile();
                if (row.size > 0) {
                    const uint32_t crc = reader->read(item.entry, [&](const char* data, size_t n) {
                        if (m_stop.load(std::memory_order_relaxed) || cancelled())
                            throw zip::Cancelled();
                        temp.write(data, n);
                        written += n;
                        m_bytesDone += n;
                    });
                    if (crc != row.crc)
                        throw zip::ZipError("its content does not match its checksum");
                }
            }
            // Replacing a file: the old one goes only once the new one is on the disk.
            temp.finish(row.mode, row.mtimeNs, replace);
            for (int n = 1; temp.place(placeName, replace) == TempItem::Placed::Exists;) {
                if (existing != ExistingFiles::KeepBoth || n >= 1000) {
                    if (const std::string other = placedAt(folder, row.path, placeName); !other.empty()) {
                        item.fate = Fate::Failed;
                        item.detail = sameNameText(other);
                        break;
                    }
                    const Found now = lookAt(folder, placeName);
                    item.fate = now == wanted && !replace ? Fate::Skipped : Fate::InTheWay;
                    item.detail = now == wanted && !replace ? "it exists" : std::string(foundText(now)) + " is in the way";
                    break;
                }
                placeName = restoredName(name, ++n);
            }
        }
        if (item.fate == Fate::Pending) {
            if (placeName == name)
                notePlaced(item);
            item.fate = placeName == name ? Fate::Restored : Fate::RestoredAs;
            if (placeName != name) {
                const std::string_view parent = parentOf(row.path);
                item.detail = parent.empty() ? placeName : std::string(parent) + "/" + placeName;
            }
        }
    } catch (const zip::Cancelled&) {
        m_stop = true; // not restored, nothing left of it
    } catch (const zip::ReadError& e) {
        item.fate = Fate::Failed;
        item.detail = std::string("its archive could not be read (") + e.what() + ")";
        stopReading(e);
    } catch (const zip::ZipError& e) {
        item.fate = Fate::Failed;
        item.detail = "it is damaged in its archive " +
                      (item.archive < m_archives.size() ? m_archives[item.archive].name : std::string()) + " (" +
                      e.what() + ")";
    } catch (const TargetError& e) {
        item.fate = Fate::Failed;
        item.detail = e.text;
        if (stopsEverything(e.error)) {
            std::lock_guard lock(m_mutex);
            if (!m_targetError)
                m_targetError = e;
            m_stop = true;
        }
    }
    m_bytesDone += row.size - std::min(written, row.size);
}

void Restorer::finishFolders()
{
    struct Folder
    {
        std::string_view path;
        uint32_t mode;
        std::optional<int64_t> mtimeNs;
    };
    std::vector<Folder> folders;
    for (const Item& item : m_items)
        if (item.row.kind == ManifestKind::Directory &&
            (item.fate == Fate::Made || (item.fate == Fate::Merged && m_job.existingFiles() == ExistingFiles::Replace)))
            folders.push_back({item.row.path, item.row.mode, item.row.mtimeNs});
    for (const auto& path : m_madeFolders)
        folders.push_back({path, 0, std::nullopt});
    // Deepest first: a folder that the run had read-only is closed only once all below it is done.
    std::sort(folders.begin(), folders.end(), [](const Folder& a, const Folder& b) { return a.path > b.path; });
    for (const Folder& f : folders) {
        TargetFolder::Stop stop;
        const Fd parent = m_target->openFolder(parentOf(f.path), false, 0, stop);
        const std::string name(nameOf(f.path));
        const Fd self(parent ? ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                             : -1);
        const mode_t mode = f.mode == 0 ? 0755 : static_cast<mode_t>(f.mode & 03777 & ~04000);
        const auto times = f.mtimeNs ? restoredTimes(*f.mtimeNs)
                                     : std::array {timespec {0, UTIME_OMIT}, timespec {0, UTIME_OMIT}};
        if (!self || ::fchmod(self.get(), mode) != 0 || ::futimens(self.get(), times.data()) != 0)
            m_log->warning("Cannot set the permissions and time of the folder " + std::string(f.path) + ": " +
                           std::strerror(errno));
    }
}

void Restorer::reportProgress()
{
    if (!m_control.onProgress)
        return;
    Progress p;
    {
        std::lock_guard lock(m_mutex);
        p = m_progress;
    }
    p.filesDone = m_filesDone;
    p.bytesDone = m_bytesDone;
    m_control.onProgress(p);
}

} // namespace stowkeep::engine::detail
